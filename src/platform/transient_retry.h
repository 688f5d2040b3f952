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

} // namespace platform
