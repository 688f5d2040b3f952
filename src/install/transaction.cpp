#include "install/transaction.h"

#include "install/commit.h"
#include "install/rollback.h"

#include <string>
#include <utility>

namespace tavrel {

update_transaction::update_transaction(path application_directory)
    : staged_update{std::move(application_directory), {}, {}, false} {}

update_transaction::~update_transaction() {
    if (staging_dir.empty() || keep_for_recovery)
        return;
    try {
        if (committed) {
            remove_transaction_directory(staging_dir, true);
            return;
        }
        std::string scratch;
        if (restore_backups(*this, scratch))
            remove_transaction_directory(staging_dir, false);
    } catch (...) {
        // A destructor runs while failures pass; whatever is left stays for a later run.
    }
}

} // namespace tavrel
