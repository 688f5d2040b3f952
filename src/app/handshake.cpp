#include "app/handshake.h"

#include <stdexcept>

namespace tavrel {

namespace {

// The marker's name and a CR LF line break, as a text-mode stream writes it on Windows.
bool write_marker(const path& download_dir, const std::string& name) {
    const std::string text = name + "\r\n";
    return platform::write_file(join(download_dir, name), text.data(), text.size()) == 0;
}

} // namespace

bool write_ready_marker(const path& download_dir) {
    return write_marker(download_dir, "ready");
}

void write_prepared_marker(const path& download_dir) {
    write_marker(download_dir, "prepared");
}

bool cancel_placed(const path& download_dir) {
    return path_exists(join(download_dir, "cancel"));
}

handshake_result wait_for_parent_exit(const path& download_dir, platform::os_handle parent_process,
                                      const exit_wait_limits& limits) {
    std::uint32_t timeouts = 0;
    for (;;) {
        // Tested before every wait, so a cancel placed before we started is honoured at once.
        if (cancel_placed(download_dir)) {
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
