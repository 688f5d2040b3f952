// What staging hands to the installation: the destinations of one update, below the
// installation directory, and where their staged files lie. The transaction that commits,
// undoes or keeps them builds on it.
#pragma once

#include "common/paths.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tavrel {

// Recovery reads no larger journal and no more entries, so no update may need one.
inline constexpr std::uint64_t max_journal_size = 4194304;
inline constexpr std::size_t max_journal_entries = 20000;

struct update_entry {
    path relative_path;     // below app_dir and below the staged "new" tree, "/" between components
    bool backed_up = false; // the installed file was moved into the backup tree
    bool installed = false; // the staged file was moved into place
    bool remove = false;    // the update deletes the installed file
};

struct staged_update {
    path app_dir;
    path staging_dir;
    // The removals first, then the package's files in archive order: a file that gives way to
    // a directory of the same name (or a directory's files to a file) is gone before its
    // successor moves in, and the undo, in reverse order, puts it back after the successor left.
    std::vector<update_entry> entries;
    bool prepared = false;
};

// The recovery journal's format, here because staging refuses an update whose journal
// recovery could not read.
inline constexpr char journal_header[] = "Tavrel update transaction 1";

// One entry as written: "1 " or "0 ", the package path in double quotes ('"' and '\'
// escaped, so that std::quoted reads it back unchanged), a line break.
inline std::string journal_entry_line(bool existed, const path& relative_path) {
    std::string line = existed ? "1 \"" : "0 \"";
    for (char c : path_to_utf8(relative_path)) {
        if (c == '\\')
            c = '/';
        if (c == '"')
            line += '\\';
        line += c;
    }
    line += "\"\n";
    return line;
}

// The exact size of the journal of these entries (whether a destination exists changes no
// byte). Staging refuses an update whose journal recovery could not read.
inline std::uint64_t recovery_journal_size(const std::vector<update_entry>& entries) {
    std::uint64_t size = sizeof journal_header; // the header and its line break
    for (const update_entry& entry : entries)
        size += journal_entry_line(false, entry.relative_path).size();
    return size;
}

} // namespace tavrel
