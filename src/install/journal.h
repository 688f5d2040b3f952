// The recovery journal ".transaction": written whole under a temporary name, forced to disk
// and renamed into place before the first move, read by the recovery of a later run.
#pragma once

#include "common/paths.h"
#include "install/transaction.h"
#include "staging/staged_update.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tavrel {

inline constexpr char journal_file_name[] = ".transaction";
void write_recovery_journal(const update_transaction& transaction);
// Reopens an existing file and forces it to the storage device.
void flush_file_to_disk(const path& file);

// Reads the header and every (existed, path) pair in file order, handing each to `on_entry`
// as extracted. Raises "The update recovery journal is invalid." or "... is incomplete.".
void read_recovery_journal(
    const path& file,
    const std::function<void(long long existed, const std::string& path)>& on_entry);

} // namespace tavrel
