// The one installation transaction of a run: what staging prepared, what the commit moved,
// and whether the staging directory must be kept for a later run's recovery.
#pragma once

#include "staging/staged_update.h"

namespace tavrel {

struct update_transaction : staged_update {
    explicit update_transaction(path application_directory);
    // Finishes an accepted transaction, undoes an unfinished one, or keeps it for recovery.
    // Never throws.
    ~update_transaction();
    update_transaction(const update_transaction&) = delete;
    update_transaction& operator=(const update_transaction&) = delete;

    bool moves_began = false; // the commit moved, or was about to move, an installed file
    bool committed = false;
    bool keep_for_recovery = false;
};

} // namespace tavrel
