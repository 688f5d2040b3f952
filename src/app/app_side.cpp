#include "app/app_side.h"

#include "app/launch.h"
#include "common/text.h"
#include "staging/delta_base.h"

#include <string>
#include <thread>

namespace tavrel::app_side {

platform::native_text command_line_argument(const platform::native_text& argument) {
    using text = platform::native_text;
    if (!argument.empty() && argument.find_first_of(to_native(" \t\n\v\"")) == text::npos)
        return argument;
    text out = to_native("\"");
    std::size_t backslashes = 0;
    for (const auto c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes count only before a quote: there they are doubled, and the quote escaped.
        out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        out.push_back(c);
        backslashes = 0;
    }
    out.append(2 * backslashes, '\\'); // before the closing quote
    out.push_back('"');
    return out;
}

namespace {

bool start(const path& updater, const platform::native_text& arguments,
           const path& working_directory, platform::process_info& info) {
    const platform::native_text command_line =
        to_native("\"") + updater.native() + to_native("\" ") + arguments;
    return platform::create_process(updater, command_line, working_directory, info);
}

} // namespace

bool start_update(const update_request& request, platform::process_info& updater) {
    const platform::native_text blank = to_native(" ");
    const platform::native_text arguments =
        decimal_text(platform::current_process_id()) + blank +
        command_line_argument(request.app_dir.native()) + blank +
        command_line_argument(request.archive.native()) + blank +
        to_native(request.signature_base64) + blank + to_native(std::to_string(request.size)) +
        blank + to_native(request.version);
    // Not the download directory: the updater removes it at the end.
    return start(request.updater, arguments, parent_path(request.updater), updater);
}

bool start_recovery(const path& updater_executable, const path& app_dir, const path& download_dir,
                    platform::process_info& updater) {
    const platform::native_text arguments =
        decimal_text(platform::current_process_id()) + to_native(" ") +
        command_line_argument(app_dir.native()) + to_native(" --recover");
    return start(updater_executable, arguments, download_dir, updater);
}

namespace {

// Waits for the marker `name` with its CR LF (written whole: a shorter file is still being
// written).
bool wait_for_marker(const path& download_dir, const char* name,
                     platform::os_handle updater_process, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    const path marker = join(download_dir, name);
    const std::uint64_t expected = std::char_traits<char>::length(name) + 2;
    for (;;) {
        std::uint64_t size = 0;
        if (platform::query_file_size(marker, size) == 0 && size == expected)
            return true;
        if (updater_process != platform::no_handle &&
            platform::wait_for_object(updater_process, 0) == platform::wait_object_0)
            return false;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

} // namespace

bool wait_for_ready(const path& download_dir, platform::os_handle updater_process,
                    std::chrono::milliseconds limit) {
    return wait_for_marker(download_dir, "ready", updater_process, limit);
}

bool wait_for_prepared(const path& download_dir, platform::os_handle updater_process,
                       std::chrono::milliseconds limit) {
    return wait_for_marker(download_dir, "prepared", updater_process, limit);
}

std::optional<failure_record> read_failure_record(const path& download_dir) {
    return tavrel::read_failure_record(download_dir);
}

std::optional<std::string> delta_refusal(const path& app_dir, const path& delta_archive) {
    constexpr std::size_t max_archive = 0x20000000; // what the updater takes
    std::string bytes;
    if (const int code = platform::read_file(delta_archive, max_archive, bytes))
        return "read: " + platform::error_description(code);
    if (bytes.size() > max_archive)
        return "The update archive exceeds the allowed size.";
    return delta_base_refusal(app_dir,
                              {reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()});
}

bool place_cancel(const path& download_dir) {
    return platform::write_file(join(download_dir, "cancel"), "", 0) == 0;
}

std::optional<platform::native_text>
startup_event_from_arguments(const std::vector<platform::native_text>& arguments) {
    const platform::native_text prefix = to_native(update_event_switch);
    for (const auto& argument : arguments)
        if (argument.size() > prefix.size() && argument.compare(0, prefix.size(), prefix) == 0)
            return argument.substr(prefix.size());
    return std::nullopt;
}

bool confirm_startup(const platform::native_text& event_name) {
    return platform::signal_named_event(event_name);
}

} // namespace tavrel::app_side
