// Undoes, within the run, what a commit moved, from the entries' flags.
#pragma once

#include "install/transaction.h"

#include <string>

namespace tavrel {

// False: something could not be restored; keep_for_recovery is set and a sentence naming
// the staging directory is appended to `error`.
bool restore_backups(update_transaction& transaction, std::string& error);

} // namespace tavrel
