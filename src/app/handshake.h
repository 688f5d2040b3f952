// The handshake with the application: the "ready" marker, the "cancel" marker and the wait
// for the application process to end.
#pragma once

#include "common/paths.h"

#include <cstdint>

namespace tavrel {

struct exit_wait_limits {
    std::uint32_t poll_milliseconds = 100;
    std::uint32_t polls = 600;
};

enum class handshake_result { ready_not_written, cancelled, parent_exited };

// Raises "Tavrel did not exit. No installed files were changed." after the last poll,
// "Could not wait for Tavrel to exit." when the wait fails, and the "exists" error of the
// cancel test. A cancel removes the download directory (errors ignored).
handshake_result wait_for_parent_exit(const path& download_dir, platform::os_handle parent_process,
                                      const exit_wait_limits& limits = {});

} // namespace tavrel
