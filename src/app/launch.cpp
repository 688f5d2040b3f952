#include "app/launch.h"

#include "common/text.h"

#include <chrono>

namespace tavrel {

bool launch_process(const path& executable, const platform::native_text& arguments,
                    platform::process_info& info) {
    const platform::native_text command_line =
        to_native("\"") + executable.native() + to_native("\" ") + arguments;
    return platform::create_process(executable, command_line, parent_path(executable), info);
}

bool launch_application_unconfirmed(const path& app_dir) {
    platform::process_info info;
    if (!launch_process(join(app_dir, "Tavrel.exe"), to_native(disable_splash_switch), info))
        return false;
    scoped_handle thread(info.thread);
    thread.reset();
    scoped_handle process(info.process);
    return true;
}

platform::native_text make_startup_event_name() {
    const std::int64_t clock = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count();
    return to_native("Local\\TavrelUpdate-") + decimal_text(platform::current_process_id()) +
           to_native("-") + decimal_text(clock);
}

scoped_handle create_startup_event(const platform::native_text& name) {
    int last_error = 0;
    scoped_handle event(platform::create_named_event(name, last_error));
    if (!event.valid() || platform::is_already_exists(last_error))
        return scoped_handle();
    return event;
}

bool relaunch_handler::operator()(const path& executable) const {
    const platform::native_text arguments = to_native(disable_splash_switch) + to_native(" ") +
                                            to_native(update_event_switch) + startup_event_name;
    platform::process_info info;
    if (!launch_process(executable, arguments, info))
        return false;
    scoped_handle thread(info.thread);
    scoped_handle process(info.process);

    const platform::os_handle handles[2] = {startup_event.get(), process.get()};
    const std::uint32_t result =
        platform::wait_for_any(handles, 2, limits.confirmation_milliseconds);
    // Confirmed only if the application is still running when we look.
    const bool confirmed = result == platform::wait_object_0 &&
                           platform::wait_for_object(process.get(), 0) == platform::wait_timeout;
    if (!confirmed && platform::wait_for_object(process.get(), 0) == platform::wait_timeout) {
        platform::terminate_process(process.get(), 1);
        platform::wait_for_object(process.get(), limits.termination_milliseconds);
    }
    thread.reset(); // the thread handle first, then the process handle
    process.reset();
    return confirmed;
}

} // namespace tavrel
