#include "install/rollback.h"

#include "common/paths.h"
#include "platform/transient_retry.h"

namespace tavrel {

namespace {

bool create_parent_directories(const path& target) noexcept {
    try {
        tavrel::create_directories(parent_path(target));
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace

bool restore_backups(update_transaction& transaction, std::string& error) {
    const platform::undo_retry_scope undo_budget;
    bool ok = true;
    const path backup_root = join(transaction.staging_dir, "old");
    for (auto entry = transaction.entries.rbegin(); entry != transaction.entries.rend(); ++entry) {
        const path target = join(transaction.app_dir, entry->relative_path);
        if (entry->installed) {
            const int code = platform::remove_entry(target);
            if (code != 0 && !platform::is_not_found(code)) {
                // The backup stays where it is rather than overwrite a file we could not
                // remove; the journal lets a later run finish this entry.
                ok = false;
                continue;
            }
            entry->installed = false;
        }
        if (entry->backed_up) {
            // A file whose place a directory took, or whose directory gave way to a file, needs
            // that place cleared and its directory back.
            if (clear_for_file(target) != 0 || !create_parent_directories(target) ||
                platform::rename_replace(join(backup_root, entry->relative_path), target) != 0)
                ok = false;
            else
                entry->backed_up = false;
        }
    }
    // The restored files must be back on disk before the staging directory, journal included,
    // may go.
    if (ok && platform::flush_tree(transaction.app_dir) == 0)
        return true;
    transaction.keep_for_recovery = true;
    std::string directory = path_to_utf8(transaction.staging_dir);
    for (char& c : directory)
        if (c == '\\')
            c = '/';
    error += " Previous files could not all be restored; backups remain in ";
    error += directory;
    error += '.';
    return false;
}

} // namespace tavrel
