// Undoes the transactions that earlier runs left unfinished in the application directory.
#pragma once

#include "common/progress.h"
#include "install/transaction.h"

#include <string>

namespace tavrel {

// `progress`, when given, follows the entries undone.
bool recover_transaction(update_transaction& transaction, std::string& error,
                         progress_meter* progress = nullptr);
// Whether an earlier run left a staging directory in the installation (to undo, finish or
// remove); true as well when the installation cannot be listed, since then nobody knows.
bool holds_staging_directory(const path& app_dir) noexcept;
// Whether `directory` holds a valid acceptance marker; raises the file-system error "read" for
// one that is there but cannot be read.
bool has_acceptance_marker(const path& directory);

} // namespace tavrel
