#include "app/handshake.h"

#include <stdexcept>

namespace tavrel {

handshake_result wait_for_parent_exit(const path& download_dir, platform::os_handle parent_process,
                                      const exit_wait_limits& limits) {
    // "ready" and a CR LF line break, as a text-mode stream writes it on Windows.
    static constexpr char ready_text[] = "ready\r\n";
    if (platform::write_file(join(download_dir, "ready"), ready_text, sizeof ready_text - 1) != 0)
        return handshake_result::ready_not_written;

    const path cancel_marker = join(download_dir, "cancel");
    std::uint32_t timeouts = 0;
    for (;;) {
        // Tested before every wait, so a cancel placed before we started is honoured at once.
        if (path_exists(cancel_marker)) {
            remove_download_directory(download_dir);
            return handshake_result::cancelled;
        }
        const std::uint32_t result =
            platform::wait_for_object(parent_process, limits.poll_milliseconds);
        if (result == platform::wait_object_0)
            return handshake_result::parent_exited;
        if (result != platform::wait_timeout)
            throw std::runtime_error("Could not wait for Tavrel to exit.");
        if (++timeouts >= limits.polls)
            throw std::runtime_error("Tavrel did not exit. No installed files were changed.");
    }
}

} // namespace tavrel
