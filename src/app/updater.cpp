#include "app/updater.h"

#include "app/command_line.h"
#include "app/failure_record.h"
#include "app/installation_lock.h"
#include "app/progress_window.h"
#include "auth/update_signature.h"
#include "auth/version.h"
#include "common/text.h"
#include "install/commit.h"
#include "install/recovery.h"
#include "staging/stage_update.h"

#include <stdexcept>

namespace tavrel {

namespace {

enum class run_mode { update, recovery };

inline constexpr char download_dir_prefix[] = "tavrel-download-";
inline constexpr std::uint64_t max_archive_size = 0x20000000;

// An existing directory that is not a reparse point.
bool is_plain_directory(const path& p) {
    std::uint32_t attributes = 0;
    if (!platform::get_file_attributes(p, attributes))
        return false;
    return (attributes & (platform::attribute_directory | platform::attribute_reparse_point)) ==
           platform::attribute_directory;
}

bool starts_with(const platform::native_text& text, std::string_view ascii_prefix) {
    return text.size() >= ascii_prefix.size() &&
           text.compare(0, ascii_prefix.size(), to_native(ascii_prefix)) == 0;
}

void raise_if_false(bool ok, const std::string& error) {
    if (!ok)
        throw std::runtime_error(error);
}

// What the failure handler needs of a run that failed.
struct run_facts {
    path app_dir;
    path download_dir;
    bool parent_exited = false;
    std::string rolled_back = "no"; // as the failure record says it
};

// What the run did while the application still ran.
struct preparation {
    verified_archive archive; // checked; released once staged
    std::string failure;      // shown once the application has gone, as if found then
};

// The download check, and, unless an earlier run left a staging directory (whose recovery
// could touch files the running application uses), the staging with its flush and the version
// checks: nothing installed changes, so it all runs before the application exits. A cancel
// cuts it short; the wait that follows honours it.
preparation prepare_update(const path& archive_path, const std::string& signature_text,
                           std::uint64_t expected_size, std::string_view public_keys,
                           const app_version& requested_version, const path& download_dir,
                           update_transaction& transaction) {
    preparation prepared;
    try {
        if (!check_update_signature(archive_path, signature_text, expected_size, public_keys,
                                    prepared.archive, prepared.failure) ||
            cancel_placed(download_dir) || holds_staging_directory(transaction.app_dir))
            return prepared;
        if (!stage_update(transaction, prepared.archive.bytes(), prepared.failure))
            return prepared;
        prepared.archive = {}; // staged: its memory is no longer needed
        check_version_rule(read_file_version(staged_executable_path(transaction)),
                           requested_version);
    } catch (const std::exception& failure) {
        prepared.failure = failure.what();
    }
    return prepared;
}

failure_record failure_of(const std::string& message, const run_facts& facts) {
    failure_record record{failure_code(message), message, "unknown", facts.rolled_back};
    try {
        const app_version installed = read_file_version(join(facts.app_dir, path("Tavrel.exe")));
        record.installed = std::to_string(installed.major) + "." + std::to_string(installed.minor) +
                           "." + std::to_string(installed.patch);
    } catch (const std::exception&) {
        // "unknown": the record says what it can.
    }
    return record;
}

// Steps 2 to the end of the mode's sequence; everything created here is released before
// the caller's failure handler runs.
int run_protected(const std::vector<platform::native_text>& args, run_mode mode,
                  std::string_view public_keys, const run_limits& limits, std::string& error,
                  run_facts& facts) {
    std::size_t consumed = 0;
    const std::uint32_t parent_pid = parse_stoul(args[1], consumed);
    if (parent_pid == 0 || consumed != args[1].size())
        return exit_rejected;

    const scoped_handle parent(platform::open_process_for_wait(parent_pid));
    if (!parent.valid())
        return exit_rejected;

    const path app_dir = canonical_path(path(args[2]));
    path archive_path;
    path download_dir;
    if (mode == run_mode::update) {
        archive_path = canonical_path(path(args[3]));
        download_dir = parent_path(archive_path);
    } else {
        download_dir = current_directory();
    }
    if (!is_plain_directory(app_dir) || !is_plain_directory(download_dir))
        return exit_rejected;
    if (!starts_with(file_name(download_dir).native(), download_dir_prefix))
        return exit_rejected;

    std::string signature_text;
    std::uint64_t expected_size = 0;
    app_version requested_version;
    if (mode == run_mode::update) {
        if (file_name(archive_path).native() != to_native("update.zip"))
            return exit_rejected;
        if (!is_signature_argument(args[4]))
            return exit_rejected;
        for (const auto c : args[4])
            signature_text.push_back(static_cast<char>(c & 0xFF));
        expected_size = parse_stoull(args[5], consumed);
        if (expected_size < 1 || expected_size > max_archive_size || consumed != args[5].size())
            return exit_rejected;
        requested_version = parse_version(args[6]);
    }

    // Held to the end of the run; a second updater on the same installation changes nothing.
    const scoped_handle installation_lock = lock_installation(app_dir);
    if (!installation_lock.valid())
        return exit_rejected;

    if (!write_ready_marker(download_dir))
        return exit_rejected;
    facts.app_dir = app_dir;
    facts.download_dir = download_dir;
    remove_failure_record(download_dir); // an earlier run's, which this one supersedes
    // A cancel removes the staging directory with the transaction, when the run ends.
    update_transaction transaction(app_dir);
    preparation prepared;
    if (mode == run_mode::update)
        prepared = prepare_update(archive_path, signature_text, expected_size, public_keys,
                                  requested_version, download_dir, transaction);
    write_prepared_marker(download_dir);
    // The application's time to exit counts from here, whatever the preparation took.
    switch (wait_for_parent_exit(download_dir, parent.get(), limits.exit_wait)) {
    case handshake_result::cancelled:
        return exit_failure;
    case handshake_result::parent_exited:
        facts.parent_exited = true;
        break;
    }

    // Shown if the run takes a while from here; closed before the application starts, and
    // before any message box, since it goes out of scope first.
    progress_meter progress;
    progress_window window(progress);
    const auto before_the_application_starts = [&] {
        progress.finish();
        window.close();
    };

    // An earlier run's transaction that cannot be settled keeps its backups.
    const auto recover = [&](progress_meter* meter) {
        if (!recover_transaction(transaction, error, meter)) {
            facts.rolled_back = "incomplete";
            throw std::runtime_error(error);
        }
    };
    if (mode == run_mode::recovery) {
        recover(&progress);
        before_the_application_starts();
        if (!launch_application_unconfirmed(app_dir))
            throw std::runtime_error("The restored application could not be launched.");
        return exit_success;
    }

    raise_if_false(prepared.failure.empty(), prepared.failure);
    if (!transaction.prepared) {
        // An earlier run's staging directory: settled now that the application has gone.
        recover(nullptr);
        raise_if_false(stage_update(transaction, prepared.archive.bytes(), error, &progress),
                       error);
        prepared.archive = {};
        check_version_rule(read_file_version(staged_executable_path(transaction)),
                           requested_version);
    }

    const platform::native_text startup_event_name = make_startup_event_name();
    const scoped_handle startup_event = create_startup_event(startup_event_name);
    if (!startup_event.valid())
        throw std::runtime_error("Could not create the update startup confirmation.");
    {
        const relaunch_handler relaunch{startup_event_name, startup_event, limits.confirmation};
        const relaunch_callable handler = [&](const path& executable) {
            before_the_application_starts();
            return relaunch(executable);
        };
        if (!commit_update(transaction, handler, error, &progress)) {
            facts.rolled_back = !transaction.moves_began        ? "no"
                                : transaction.keep_for_recovery ? "incomplete"
                                                                : "yes";
            throw std::runtime_error(error);
        }
    }
    if (!error.empty()) {
        // Installed, confirmed, running, but not recorded for sure: a failure, without a second
        // start of the application; the download stays for another try.
        write_failure_record(download_dir, failure_of(error, facts));
        platform::show_error_message(widen_message(error));
        return exit_failure;
    }
    remove_download_directory(download_dir); // a leftover download directory is no failure
    return exit_success;
}

} // namespace

int run_updater(const std::vector<platform::native_text>& args, std::string_view public_keys,
                const run_limits& limits) {
    run_mode mode;
    if (args.size() == 4 && args[3] == to_native("--recover"))
        mode = run_mode::recovery;
    else if (args.size() == 7)
        mode = run_mode::update;
    else
        return exit_rejected;

    run_facts facts;
    std::string error;
    try {
        return run_protected(args, mode, public_keys, limits, error, facts);
    } catch (const std::exception& failure) {
        error = failure.what();
    }
    // Once the application has gone, it learns of the failure from the record at its next
    // start, and the user gets it back, whatever went wrong.
    if (facts.parent_exited)
        write_failure_record(facts.download_dir, failure_of(error, facts));
    platform::show_error_message(widen_message(error));
    if (facts.parent_exited)
        launch_application_unconfirmed(facts.app_dir);
    return exit_failure;
}

} // namespace tavrel
