// Starting the application, and the startup confirmation of an updated application through
// a named event that it must signal.
#pragma once

#include "common/paths.h"
#include "common/scoped_handle.h"

#include <cstdint>

namespace tavrel {

inline constexpr char disable_splash_switch[] = "--disable-splash";
inline constexpr char update_event_switch[] = "--tavrel-update-event=";

// Command line: the quoted executable, a blank, then `arguments` unchanged; the working
// directory is the executable's directory. The caller owns the returned handles.
bool launch_process(const path& executable, const platform::native_text& arguments,
                    platform::process_info& info);
// Starts `app_dir`/Tavrel.exe with "--disable-splash" and closes its handles at once.
bool launch_application_unconfirmed(const path& app_dir);

// "Local\TavrelUpdate-" + own process id + "-" + steady clock nanoseconds.
platform::native_text make_startup_event_name();
// No handle when the event could not be created or already existed.
scoped_handle create_startup_event(const platform::native_text& name);

struct confirmation_limits {
    std::uint32_t confirmation_milliseconds = 60000;
    std::uint32_t termination_milliseconds = 10000;
};

// Starts the updated application and says whether it confirmed its start and still runs;
// an application that does not confirm in time is terminated.
struct relaunch_handler {
    const platform::native_text& startup_event_name;
    const scoped_handle& startup_event;
    confirmation_limits limits;

    bool operator()(const path& executable) const;
};

} // namespace tavrel
