#include "install/recovery.h"

#include "common/paths.h"
#include "install/commit.h"
#include "install/journal.h"
#include "platform/transient_retry.h"
#include "staging/destination.h"
#include "staging/package_path.h"
#include "staging/stage_update.h"

#include <cstdint>
#include <cstring>
#include <set>
#include <stdexcept>
#include <vector>

namespace tavrel {

namespace {

struct journal_entry {
    path relative_path;
    bool existed = false;
};

bool is_link_status(const platform::file_status& status) {
    return status.kind == platform::file_kind::symlink ||
           ((status.attributes & platform::attribute_reparse_point) != 0 &&
            status.reparse_tag == platform::reparse_tag_symlink);
}

bool has_reparse_attribute(const path& p) {
    std::uint32_t attributes = 0;
    return platform::get_file_attributes(p, attributes) &&
           (attributes & platform::attribute_reparse_point) != 0;
}

// True when `p` is a symbolic link or any other reparse point; a missing path is neither.
bool is_link_or_reparse(const path& p) {
    platform::file_status status;
    const int code = platform::query_status(p, false, status);
    if (code != 0 && !platform::is_not_found(code))
        throw file_system_error("symlink_status", code, p);
    if (code == 0 && is_link_status(status))
        return true;
    return has_reparse_attribute(p);
}

[[noreturn]] void unsafe_entry() {
    throw std::runtime_error("The update recovery journal contains an unsafe entry.");
}

// The backup and staged trees must lead to the entry without passing through a link, so that
// the undo never moves or deletes anything outside the staging directory.
void check_recovery_paths(const path& directory, const path& relative_path) {
    for (const char* tree : {"old", "new"}) {
        path current = join(directory, tree);
        if (is_link_or_reparse(current))
            throw std::runtime_error("Unsafe recovery directory.");
        for (const path& component : relative_path) {
            current = join(current, component);
            if (is_link_or_reparse(current))
                throw std::runtime_error("Unsafe recovery path.");
        }
    }
}

void check_journal_file(const path& journal) {
    platform::file_status status;
    const int code = platform::query_status(journal, false, status);
    if (code != 0 && !platform::is_not_found(code))
        throw file_system_error("symlink_status", code, journal);
    bool unsafe = (code == 0 && is_link_status(status)) || has_reparse_attribute(journal);
    if (!unsafe) {
        std::uint64_t size = 0;
        if (const int size_code = platform::query_file_size(journal, size))
            throw file_system_error("file_size", size_code, journal);
        unsafe = size > max_journal_size;
    }
    if (unsafe)
        throw std::runtime_error("The update recovery journal has an unsafe path or size.");
}

// Reads and validates the whole journal before anything on disk is changed.
std::vector<journal_entry> read_journal(const path& app_dir, const path& directory) {
    const path journal = join(directory, journal_file_name);
    check_journal_file(journal);
    std::vector<journal_entry> entries;
    std::set<std::string> seen_paths;
    read_recovery_journal(journal, [&](long long existed, const std::string& text) {
        if (static_cast<unsigned long long>(existed) > 1)
            unsafe_entry();
        if (!is_safe_package_path(text))
            unsafe_entry();
        // Names that differ in case only are two files where the file system tells case apart
        // (a case-only rename: the old name removed, the new one installed).
        if (entries.size() >= max_journal_entries || !seen_paths.insert(text).second)
            unsafe_entry();
        journal_entry entry{path_from_utf8(text), existed == 1};
        // Kinds may be half-swapped (a removed file's place taken by a directory), links never.
        std::string message;
        if (!check_destination_path(app_dir, entry.relative_path, message))
            throw std::runtime_error(message);
        check_recovery_paths(directory, entry.relative_path);
        entries.push_back(std::move(entry));
    });
    if (entries.empty())
        throw std::runtime_error("The update recovery journal is incomplete.");
    return entries;
}

bool is_file_like(const platform::file_status& status) {
    if (status.kind == platform::file_kind::not_found ||
        status.kind == platform::file_kind::directory)
        return false;
    const bool reparse = (status.attributes & platform::attribute_reparse_point) != 0;
    return !(reparse && (status.reparse_tag == platform::reparse_tag_symlink ||
                         status.reparse_tag == platform::reparse_tag_mount_point));
}

void undo_entry(const path& app_dir, const path& directory, const journal_entry& entry) {
    const path target = join(app_dir, entry.relative_path);
    const path backup = join(join(directory, "old"), entry.relative_path);
    platform::file_status status;
    const int code = platform::query_status(backup, true, status);
    if (code != 0 && !platform::is_not_found(code))
        throw file_system_error("status", code, backup);
    if (code == 0 && is_file_like(status)) {
        // What the update put in its place, a file or the directories of a swap, goes first.
        if (const int clear_code = clear_for_file(target))
            throw file_system_error("remove", clear_code, target);
        tavrel::create_directories(parent_path(target));
        rename_path(backup, target);
        return;
    }
    if (entry.existed)
        return; // the installed file was never moved away
    // A staged file still in new/ was never moved in, so what stands at the target is not ours;
    // nor is a directory, which only a folder that a swap restored can be.
    if (!path_exists(join(join(directory, "new"), entry.relative_path)) &&
        !tavrel::is_directory(target))
        remove_path(target);
}

void remove_staging_directory(const path& directory) {
    int code = platform::remove_entry(directory);
    if (code != 0 && platform::is_directory_not_empty(code))
        code = platform::remove_tree(directory);
    if (code != 0)
        throw file_system_error("remove_all", code, directory);
}

void undo_transaction(const path& app_dir, const path& directory, progress_meter* progress) {
    const platform::undo_retry_scope undo_budget;
    const std::vector<journal_entry> entries = read_journal(app_dir, directory);
    if (progress)
        progress->begin(progress_stage::recovery, entries.size());
    for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
        undo_entry(app_dir, directory, *entry);
        if (progress)
            progress->advance(1);
    }
    // The undo must be on disk before the journal goes with the staging directory.
    if (const int code = platform::flush_tree(app_dir))
        throw file_system_error("flush", code, app_dir);
    remove_staging_directory(directory);
}

bool is_staging_candidate(const path& child, const path& name) {
    // Staging directories have pure ASCII names, so a name without a narrow form is never one
    // of ours; it must not stop the recovery of the directories that are.
    std::string text;
    if (platform::path_to_fs_narrow(name, text) != 0)
        return false;
    const std::size_t prefix_length = std::strlen(staging_directory_prefix);
    if (text.size() < prefix_length ||
        text.compare(0, prefix_length, staging_directory_prefix) != 0)
        return false;
    platform::file_status own;
    int code = platform::query_status(child, false, own);
    if (code != 0 && !platform::is_not_found(code))
        throw file_system_error("directory_entry::symlink_status", code, child);
    if (code != 0 || is_link_status(own) || has_reparse_attribute(child))
        return false;
    platform::file_status followed;
    code = platform::query_status(child, true, followed);
    if (code != 0 && !platform::is_not_found(code))
        throw file_system_error("directory_entry::status", code, child);
    return code == 0 && followed.kind == platform::file_kind::directory;
}

} // namespace

bool recover_transaction(update_transaction& transaction, std::string& error,
                         progress_meter* progress) {
    error.clear();
    try {
        const path& app_dir = transaction.app_dir;
        std::vector<path> children;
        bool advancing = false;
        if (const int code = platform::list_directory(app_dir, children, advancing))
            throw file_system_error(advancing ? "directory_iterator::operator++"
                                              : "directory_iterator::directory_iterator",
                                    code, app_dir);
        for (const path& name : children) {
            const path child = join(app_dir, name);
            if (!is_staging_candidate(child, name))
                continue;
            if (has_acceptance_marker(child)) {
                // The update it belongs to stands; its clean-up was cut short.
                remove_transaction_directory(child, true);
                continue;
            }
            if (path_exists(join(child, journal_file_name)))
                undo_transaction(app_dir, child, progress);
            else
                remove_all_quietly(child); // its moves never began; what stays blocks nothing
        }
        return true;
    } catch (const std::exception& failure) {
        error = failure.what();
        error += " Backups were retained for recovery.";
        return false;
    }
}

bool holds_staging_directory(const path& app_dir) noexcept {
    try {
        std::vector<path> children;
        bool advancing = false;
        if (platform::list_directory(app_dir, children, advancing) != 0)
            return true;
        for (const path& name : children)
            if (is_staging_candidate(join(app_dir, name), name))
                return true;
        return false;
    } catch (...) {
        return true;
    }
}

bool has_acceptance_marker(const path& directory) {
    const path marker = join(directory, acceptance_marker_name);
    try {
        platform::file_status own;
        if (platform::query_status(marker, false, own) == 0 && is_link_status(own))
            return false;
        if (has_reparse_attribute(marker))
            return false;
        platform::file_status followed;
        if (platform::query_status(marker, true, followed) != 0 || !is_file_like(followed))
            return false;
        const std::size_t expected = std::strlen(acceptance_marker_text);
        std::uint64_t size = 0;
        if (platform::query_file_size(marker, size) != 0 || size != expected)
            return false;
    } catch (...) {
        return false;
    }
    // A marker that is there but cannot be read must not pass for none: that would undo an
    // accepted update over the installation that replaced it.
    std::string content;
    if (const int code = platform::read_file(marker, std::strlen(acceptance_marker_text), content))
        throw file_system_error("read", code, marker);
    return content == acceptance_marker_text;
}

} // namespace tavrel
