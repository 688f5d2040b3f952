// The one installation transaction of a run: what staging prepared, what the commit moved,
// and whether the staging directory must be kept for a later run's recovery.
#pragma once

#include "common/paths.h"

#include <vector>

namespace tavrel {

struct update_entry {
    path relative_path;     // below app_dir and below the staged "new" tree, "/" between components
    bool backed_up = false; // the installed file was moved into the backup tree
    bool installed = false; // the staged file was moved into place
    bool remove = false;    // the update deletes the installed file
};

struct update_transaction {
    explicit update_transaction(path application_directory);
    // Finishes an accepted transaction, undoes an unfinished one, or keeps it for recovery.
    // Never throws.
    ~update_transaction();
    update_transaction(const update_transaction&) = delete;
    update_transaction& operator=(const update_transaction&) = delete;

    path app_dir;
    path staging_dir;
    std::vector<update_entry> entries;
    bool prepared = false;
    bool committed = false;
    bool keep_for_recovery = false;
};

} // namespace tavrel
