// The handshake with the application: the "ready" and "prepared" markers, the "cancel" marker
// and the wait for the application process to end.
#pragma once

#include "common/paths.h"

#include <cstdint>

namespace tavrel {

struct exit_wait_limits {
    std::uint32_t poll_milliseconds = 100;
    std::uint32_t polls = 600;
};

// "ready": the command line is accepted and the application may exit (or cancel). False when
// it cannot be written.
bool write_ready_marker(const path& download_dir);
// "prepared": what could be done while the application runs is done, successful or not; an
// application that exits only now leaves the shortest gap. Written once, errors ignored: an
// application that waits for it has a bound of its own.
void write_prepared_marker(const path& download_dir);
// Whether the application has placed "cancel".
bool cancel_placed(const path& download_dir);

enum class handshake_result { cancelled, parent_exited };

// Raises "Tavrel did not exit. No installed files were changed." after the last poll,
// "Could not wait for Tavrel to exit." when the wait fails, and the "exists" error of the
// cancel test. A cancel removes the download directory (errors ignored).
handshake_result wait_for_parent_exit(const path& download_dir, platform::os_handle parent_process,
                                      const exit_wait_limits& limits = {});

} // namespace tavrel
