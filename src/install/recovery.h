// Undoes the transactions that earlier runs left unfinished in the application directory.
#pragma once

#include "install/transaction.h"

#include <string>

namespace tavrel {

bool recover_transaction(update_transaction& transaction, std::string& error);
bool has_acceptance_marker(const path& directory);

} // namespace tavrel
