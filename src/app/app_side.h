// The application's side of the update protocol, for Tavrel to link: start the updater in
// either mode, wait for its "ready" and "prepared" markers, call the update off with "cancel", and
// confirm a start that the updater asked to be confirmed.
#pragma once

#include "app/failure_record.h"
#include "common/paths.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace tavrel::app_side {

struct update_request {
    path updater; // the updater's executable
    path app_dir; // the installation directory
    path archive; // <download dir whose name begins with "tavrel-download-">/update.zip
    std::string signature_base64; // 88 characters
    std::uint64_t size = 0;
    std::string version; // "major.minor.patch" as the update feed names it
};

// One argument as the Windows C runtime and CommandLineToArgvW split it back: quoted when it
// is empty or holds white space or a quote, with backslashes doubled before a quote (and
// before the closing quote) and quotes escaped.
platform::native_text command_line_argument(const platform::native_text& argument);

// Starts the updater in update mode with this process as its parent.
bool start_update(const update_request& request, platform::process_info& updater);
// Starts the updater in recovery mode; its working directory is the download directory.
bool start_recovery(const path& updater_executable, const path& app_dir, const path& download_dir,
                    platform::process_info& updater);

// Waits until the updater has written "ready", or it ended, or `limit` passed.
bool wait_for_ready(const path& download_dir, platform::os_handle updater_process,
                    std::chrono::milliseconds limit);
// After "ready": waits until the updater has written "prepared" (it has checked and unpacked
// the update while the application ran), or it ended, or `limit` passed. An application that
// exits only then is gone for the moves alone; one that exits at "ready" works too.
bool wait_for_prepared(const path& download_dir, platform::os_handle updater_process,
                       std::chrono::milliseconds limit);
// Creates the "cancel" marker; the updater then removes the download directory and ends.
bool place_cancel(const path& download_dir);

// Before it installs a downloaded delta package (update-from-B.B.B.zip of the feed's "deltas"),
// the application asks whether this installation is its base: the installed Tavrel.exe of
// version B.B.B and every file that the delta patches or keeps with its recorded hash. Nothing
// when it is; otherwise the reason (the updater's own message), and the application downloads
// the full package instead.
std::optional<std::string> delta_refusal(const path& app_dir, const path& delta_archive);

// At its start, the application asks whether the last update failed after it had exited: the
// record the updater left in the download directory (a stable code, the message shown, the
// version installed after the run, whether anything was rolled back), if there is a whole one.
// The application removes the download directory once it has reported it.
std::optional<failure_record> read_failure_record(const path& download_dir);

// The event name of "--tavrel-update-event=NAME" among the arguments, if there is one.
std::optional<platform::native_text>
startup_event_from_arguments(const std::vector<platform::native_text>& arguments);
// Signals the updater that the application has started.
bool confirm_startup(const platform::native_text& event_name);

} // namespace tavrel::app_side
