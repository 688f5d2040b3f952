// Retries of file-system calls that another program makes fail for a moment: a virus scanner,
// the search indexer, a backup or sync tool, or a helper of the application that outlives it
// holds a file that the updater renames, removes, writes or flushes. Shared by both back ends.
#pragma once

#include <chrono>
#include <functional>

namespace platform {

struct retry_limits {
    std::chrono::milliseconds first_wait{50};     // doubled after each try...
    std::chrono::milliseconds longest_wait{1000}; // ...up to this
    std::chrono::milliseconds per_operation{10000};
    std::chrono::milliseconds per_run{60000};
};

// Runs `attempt` (which returns 0 or an OS error) until it succeeds, fails with an error that
// is_transient does not count, or the waits for this operation or for the whole run are spent;
// the last error is returned as it came. `operation` names it for the test build's hooks.
int retry_transient(const char* operation, const std::function<int()>& attempt);

// While one lives, the retries of this thread draw on a budget of their own (the same limits):
// the undo of a commit that failed because the files were held too long must still get its
// retries, or one more brief hold would leave a mix of versions.
class undo_retry_scope {
  public:
    undo_retry_scope();
    ~undo_retry_scope();
    undo_retry_scope(const undo_retry_scope&) = delete;
    undo_retry_scope& operator=(const undo_retry_scope&) = delete;

  private:
    bool outer_;
};

} // namespace platform
