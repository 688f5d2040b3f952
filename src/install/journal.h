// The recovery journal ".transaction": written whole under a temporary name, forced to disk
// and renamed into place before the first move, read by the recovery of a later run.
#pragma once

#include "common/paths.h"
#include "install/transaction.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tavrel {

inline constexpr char journal_file_name[] = ".transaction";
// Recovery reads no larger journal and no more entries, so no update may need one.
inline constexpr std::uint64_t max_journal_size = 4194304;
inline constexpr std::size_t max_journal_entries = 20000;

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

void write_recovery_journal(const update_transaction& transaction);
// Reopens an existing file and forces it to the storage device.
void flush_file_to_disk(const path& file);

// Reads the header and every (existed, path) pair in file order, handing each to `on_entry`
// as extracted. Raises "The update recovery journal is invalid." or "... is incomplete.".
void read_recovery_journal(
    const path& file,
    const std::function<void(long long existed, const std::string& path)>& on_entry);

} // namespace tavrel
