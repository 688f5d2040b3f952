#include "install/commit.h"

#include "common/paths.h"
#include "install/journal.h"
#include "install/rollback.h"
#include "staging/destination.h"

#include <cstring>
#include <exception>
#include <stdexcept>

namespace tavrel {

namespace {

void check_destinations(const update_transaction& transaction) {
    std::string message;
    if (!check_destinations(transaction.app_dir, transaction.entries, message))
        throw std::runtime_error(message);
}

void move_files(update_transaction& transaction, progress_meter* progress) {
    const path backup_root = join(transaction.staging_dir, "old");
    const path staged_root = join(transaction.staging_dir, "new");
    if (progress)
        progress->begin(progress_stage::commit, transaction.entries.size());
    for (update_entry& entry : transaction.entries) {
        const path target = join(transaction.app_dir, entry.relative_path);
        tavrel::create_directories(parent_path(target));
        if (tavrel::is_directory(target)) {
            // What the removals emptied gives way to the file; an undo recreates it with the
            // files it held.
            if (const int code = clear_for_file(target))
                throw file_system_error("remove", code, target);
        } else if (path_exists(target)) {
            const path backup = join(backup_root, entry.relative_path);
            tavrel::create_directories(parent_path(backup));
            rename_path(target, backup);
            entry.backed_up = true;
        }
        if (!entry.remove) {
            rename_path(join(staged_root, entry.relative_path), target);
            entry.installed = true;
        }
        if (progress)
            progress->advance(1);
    }
}

// The moves are forced to disk first, then the marker is written and flushed: a marker on disk
// always stands for a complete new tree. If any step fails, the directory is kept whole, so that
// a later run decides from what reached the disk; the user hears of it now (the text, or "").
std::string record_acceptance(update_transaction& transaction) noexcept {
    try {
        if (const int code = platform::flush_tree(transaction.app_dir))
            throw file_system_error("flush", code, transaction.app_dir);
        const path marker = join(transaction.staging_dir, acceptance_marker_name);
        if (const int code = platform::write_file(marker, acceptance_marker_text,
                                                  std::strlen(acceptance_marker_text)))
            throw file_system_error("write", code, marker);
        if (platform::flush_file(marker) != platform::flush_result::ok)
            throw std::runtime_error("flush: the marker could not be forced to the disk: \"" +
                                     path_display_text(marker) + "\"");
        return {};
    } catch (const std::exception& failure) {
        transaction.keep_for_recovery = true;
        return failure.what();
    } catch (...) {
        transaction.keep_for_recovery = true;
        return "unknown error";
    }
}

bool is_not_found_or_ok(int code) {
    return code == 0 || platform::is_not_found(code);
}

} // namespace

bool commit_update(update_transaction& transaction, const relaunch_callable& relaunch_handler,
                   std::string& error, progress_meter* progress) {
    error.clear();
    if (!transaction.prepared || transaction.committed || !relaunch_handler) {
        error = "The update is not prepared or has no relaunch handler.";
        return false;
    }
    try {
        check_destinations(transaction);
        write_recovery_journal(transaction);
        transaction.moves_began = true;
        move_files(transaction, progress);
        if (!relaunch_handler(join(transaction.app_dir, "Tavrel.exe")))
            throw std::runtime_error("The updated application could not be launched.");
    } catch (const std::exception& failure) {
        error = failure.what();
        restore_backups(transaction, error);
        transaction.prepared = false;
        return false;
    }
    if (const std::string unrecorded = record_acceptance(transaction); !unrecorded.empty())
        error = "The update was installed and started, but it could not be recorded on the disk (" +
                unrecorded +
                "). The next run of the updater keeps it if the record reached the disk, and "
                "otherwise returns to the previous version.";
    transaction.committed = true;
    return true;
}

void remove_transaction_directory(const path& directory, bool accepted_last) noexcept {
    try {
        if (!accepted_last) {
            const int code = platform::remove_entry(directory);
            if (code != 0 && platform::is_directory_not_empty(code))
                remove_all_quietly(directory);
            return;
        }
        // The journal goes first and must be gone, on disk too, before the marker may go: a
        // journal without its marker would make a later run undo an accepted update from a
        // backup tree that this removal may already have thinned out.
        if (!is_not_found_or_ok(platform::remove_entry(join(directory, journal_file_name))) ||
            platform::flush_directory(directory) != 0)
            return;
        std::vector<path> children;
        bool advancing = false;
        if (platform::list_directory(directory, children, advancing) != 0)
            return;
        for (const path& child : children) {
            if (child == path(acceptance_marker_name))
                continue;
            const path full = join(directory, child);
            const int code = platform::remove_entry(full);
            if (code != 0 && platform::is_directory_not_empty(code))
                remove_all_quietly(full);
        }
        if (platform::remove_entry(join(directory, acceptance_marker_name)) == 0)
            platform::remove_entry(directory);
    } catch (...) {
        // Nothing is reported: what stays is left for a later run.
    }
}

} // namespace tavrel
