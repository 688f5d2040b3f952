// tavrel-demo-app: a small stand-in for the Tavrel application, the other party of every
// end-to-end run of the updater. It follows the application's side of the protocol.
//
//   tavrel-demo-app update UPDATER APP_DIR ARCHIVE SIGNATURE SIZE VERSION [--exit-at-ready]
//       start the updater, wait for "ready", print the updater's process id, wait for
//       "prepared" (unless --exit-at-ready) and exit
//   tavrel-demo-app recover UPDATER APP_DIR DOWNLOAD_DIR
//       the same in recovery mode
//   tavrel-demo-app parent DOWNLOAD_DIR [--cancel] [--wait-prepared] [--exit-after-ms N]
//       play the application that started an updater: wait for "ready", optionally wait for
//       "prepared", optionally place "cancel", wait N ms, then exit
//   tavrel-demo-app version FILE
//       print the file version of an executable
//   tavrel-demo-app fits-delta APP_DIR DELTA_ARCHIVE
//       whether the installation is the base of a downloaded delta package: print "fits"
//       (exit 0), or the reason (exit 1), when the application takes the full package instead
//   tavrel-demo-app --disable-splash [--tavrel-update-event=NAME]
//       how the updater starts the application; with an event name it confirms its start
//
// Started by the updater, it appends "start <arguments>|<working directory>" to the file
// named by TAVREL_DEMO_LOG. TAVREL_DEMO_BEHAVIOUR makes it misbehave for tests:
// "confirm" (default), "hang" (never confirm), "exit" (end without confirming),
// "confirm-exit" (confirm and end in the same instant: a helper process signals the event
// right after this one has ended, so the updater always finds the application gone).
// TAVREL_DEMO_LIFETIME_MS: how long it runs after confirming (default 3000).
// With TAVREL_DEMO_DOWNLOAD_DIR, as the application it prints the failure record of the last
// update found there ("update failed: code N, "message", installed A.B.C, rolled back R").
// TAVREL_DEMO_TIMES names a file to which it appends "<event> <microseconds>" (the system clock
// since 1970): "ready" and "prepared" as the update command sees those markers, "exit" as the
// update and parent commands exit, "start" as it starts as the application; so that a bench can
// measure the gap between the exit and the start.
#include "app/app_side.h"
#include "auth/version.h"
#include "common/text.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#ifndef _WIN32
// The file version of the Linux build, read by the updater like a Windows version resource.
// Tests give copies of this program other versions with tavrel-set-version.
asm(".pushsection .note.tavrel.version,\"a\",@note\n"
    ".balign 4\n"
    ".long 7\n"
    ".long 52\n"
    ".long 0x56534649\n"
    ".asciz \"Tavrel\"\n"
    ".balign 4\n"
    ".long 0xFEEF04BD, 0x00010000, 0x00020000, 0x00030000, 0x00020000, 0x00030000\n"
    ".long 0x3F, 0, 0x40004, 1, 0, 0, 0\n"
    ".popsection\n");
#endif

namespace {

using tavrel::path;
using native_text = platform::native_text;
namespace app_side = tavrel::app_side;

std::uint32_t env_number(const char* name, std::uint32_t fallback) {
    const char* value = std::getenv(name);
    return value ? static_cast<std::uint32_t>(std::strtoul(value, nullptr, 10)) : fallback;
}

void sleep_ms(std::uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void log_start(const std::vector<native_text>& args) {
    const char* log = std::getenv("TAVREL_DEMO_LOG");
    if (!log)
        return;
    std::string line = "start";
    for (std::size_t i = 1; i < args.size(); ++i)
        line += " " + tavrel::native_to_utf8(args[i]);
    std::error_code ec;
    line += "|" + tavrel::path_to_utf8(std::filesystem::current_path(ec));
    std::ofstream(log, std::ios::app) << line << "\n";
}

void log_instant(const char* what) {
    const char* log = std::getenv("TAVREL_DEMO_TIMES");
    if (!log)
        return;
    const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    std::ofstream(log, std::ios::app) << what << " " << now.count() << "\n";
}

// As Tavrel would at its start: a failed update, reported (here printed) from the record in
// the download directory that TAVREL_DEMO_DOWNLOAD_DIR names.
void report_failed_update() {
    const char* download_dir = std::getenv("TAVREL_DEMO_DOWNLOAD_DIR");
    if (!download_dir)
        return;
    if (const auto record = app_side::read_failure_record(tavrel::path_from_utf8(download_dir)))
        std::cout << "update failed: code " << record->code << ", \"" << record->message
                  << "\", installed " << record->installed << ", rolled back "
                  << record->rolled_back << std::endl;
}

int run_as_application(const std::vector<native_text>& args) {
    log_instant("start");
    log_start(args);
    report_failed_update();
    const std::string behaviour =
        std::getenv("TAVREL_DEMO_BEHAVIOUR") ? std::getenv("TAVREL_DEMO_BEHAVIOUR") : "confirm";
    const auto event = app_side::startup_event_from_arguments(args);
    if (behaviour == "exit")
        return 0;
    if (behaviour == "hang") {
        sleep_ms(env_number("TAVREL_DEMO_HANG_MS", 120000));
        return 0;
    }
    if (behaviour == "confirm-exit" && event) {
        platform::process_info helper;
        const native_text command_line =
            tavrel::to_native("\"") + args[0] + tavrel::to_native("\" signal-after-exit ") +
            tavrel::decimal_text(platform::current_process_id()) + tavrel::to_native(" ") + *event;
        if (!platform::create_process(args[0], command_line, path(args[0]).parent_path(), helper))
            return 3;
        platform::close_handle(helper.process);
        if (helper.thread != platform::no_handle)
            platform::close_handle(helper.thread);
        return 0;
    }
    if (event && !app_side::confirm_startup(*event))
        return 3;
    sleep_ms(env_number("TAVREL_DEMO_LIFETIME_MS", 3000));
    return 0;
}

int start_and_leave(bool started, const platform::process_info& updater, const path& download_dir,
                    bool exit_at_ready) {
    if (!started) {
        std::cerr << "tavrel-demo-app: the updater could not be started\n";
        return 3;
    }
    std::cout << updater.process_id << std::endl;
    const bool ready =
        app_side::wait_for_ready(download_dir, updater.process, std::chrono::seconds(60));
    if (ready)
        log_instant("ready");
    // Exiting once the update is prepared leaves the user without the application for the
    // moves alone; a preparation that fails or takes too long still ends in an exit.
    if (ready && !exit_at_ready &&
        app_side::wait_for_prepared(download_dir, updater.process, std::chrono::minutes(5)))
        log_instant("prepared");
    log_instant("exit");
    platform::close_handle(updater.process);
    if (updater.thread != platform::no_handle)
        platform::close_handle(updater.thread);
    if (!ready) {
        std::cerr << "tavrel-demo-app: the updater did not get ready\n";
        return 3;
    }
    return 0; // exiting lets the updater go on
}

int run_command(const std::vector<native_text>& args) {
    const std::string command = tavrel::native_to_utf8(args[1]);
    if (command == "update" &&
        (args.size() == 8 ||
         (args.size() == 9 && args[8] == tavrel::to_native("--exit-at-ready")))) {
        app_side::update_request request;
        request.updater = args[2];
        request.app_dir = args[3];
        request.archive = args[4];
        request.signature_base64 = tavrel::native_to_utf8(args[5]);
        request.size = std::strtoull(tavrel::native_to_utf8(args[6]).c_str(), nullptr, 10);
        request.version = tavrel::native_to_utf8(args[7]);
        platform::process_info updater;
        const bool started = app_side::start_update(request, updater);
        return start_and_leave(started, updater, request.archive.parent_path(), args.size() == 9);
    }
    if (command == "recover" && args.size() == 5) {
        platform::process_info updater;
        const bool started = app_side::start_recovery(args[2], args[3], args[4], updater);
        return start_and_leave(started, updater, args[4], false);
    }
    if (command == "parent" && args.size() >= 3) {
        const path download_dir = args[2];
        bool cancel = false;
        bool wait_prepared = false;
        std::uint32_t exit_after = 0;
        for (std::size_t i = 3; i < args.size(); ++i) {
            const std::string option = tavrel::native_to_utf8(args[i]);
            if (option == "--cancel")
                cancel = true;
            else if (option == "--wait-prepared")
                wait_prepared = true;
            else if (option == "--exit-after-ms" && i + 1 < args.size())
                exit_after = static_cast<std::uint32_t>(
                    std::strtoul(tavrel::native_to_utf8(args[++i]).c_str(), nullptr, 10));
        }
        if (!app_side::wait_for_ready(download_dir, platform::no_handle, std::chrono::seconds(60)))
            return 3;
        if (wait_prepared && !app_side::wait_for_prepared(download_dir, platform::no_handle,
                                                          std::chrono::minutes(5)))
            return 3;
        if (cancel && !app_side::place_cancel(download_dir))
            return 3;
        sleep_ms(exit_after);
        log_instant("exit");
        return 0;
    }
    if (command == "signal-after-exit" && args.size() == 4) {
        const auto pid = static_cast<std::uint32_t>(
            std::strtoul(tavrel::native_to_utf8(args[2]).c_str(), nullptr, 10));
        const platform::os_handle process = platform::open_process_for_wait(pid);
        if (process != platform::no_handle) {
            platform::wait_for_object(process, 60000);
            platform::close_handle(process);
        }
        return app_side::confirm_startup(args[3]) ? 0 : 3;
    }
    if (command == "fits-delta" && args.size() == 4) {
        const std::optional<std::string> refusal = app_side::delta_refusal(args[2], args[3]);
        std::cout << (refusal ? *refusal : "fits") << "\n";
        return refusal ? 1 : 0;
    }
    if (command == "version" && args.size() == 3) {
        try {
            const tavrel::app_version v = tavrel::read_file_version(args[2]);
            std::cout << v.major << "." << v.minor << "." << v.patch << "\n";
            return 0;
        } catch (const std::exception& e) {
            std::cerr << e.what() << "\n";
            return 1;
        }
    }
    std::cerr << "usage: tavrel-demo-app update|recover|parent|version ... (see the source)\n";
    return 2;
}

} // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
#else
int main(int argc, char** argv) {
#endif
    const std::vector<native_text> args(argv, argv + argc);
    if (args.size() >= 2 && args[1] == tavrel::to_native("--disable-splash"))
        return run_as_application(args);
    if (args.size() < 2)
        return run_as_application(args);
    return run_command(args);
}
