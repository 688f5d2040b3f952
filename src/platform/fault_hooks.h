// Test-only fault injection for the platform layer. In the test build (TAVREL_FAULT_HOOKS)
// every file-system operation asks `injected_error` first and every change reports to
// `after_change`; environment variables choose a failing call or a simulated crash:
//   TAVREL_CRASH_AFTER_CHANGE=N   end the process abruptly right after the N-th change
//   TAVREL_FAIL_OPERATION=op:K    the K-th call of op fails (op: write, rename, remove,
//                                 remove_tree, create_directory, clear_read_only, flush,
//                                 flush_open, flush_tree, flush_directory, status, list,
//                                 create_event)
//   TAVREL_CHANGE_LOG=file        append one line per change ("N op path")
//   TAVREL_CALL_LOG=file          append one line per operation asked ("op"), failing or not
//   TAVREL_FAIL_TRANSIENTLY=op:K:N  the K-th call of op fails transiently N times in a row
//                                 (sharing violation; Linux: EBUSY), then goes through; several
//                                 such, separated by commas
//   TAVREL_TEST_RETRY_OPERATION_MS, TAVREL_TEST_RETRY_RUN_MS  shorter bounds for those retries
//   TAVREL_STOP_AFTER_FLUSH=1     (Linux) stop the process with SIGSTOP right after every
//                                 flush that reached the disk, so that a test can copy the
//                                 disk image as a power cut at that instant would leave it;
//   TAVREL_STOP_AFTER_CHANGE=1    (Linux) the same after every change and every flush;
//   TAVREL_STOP_AT_CHANGE=N       (Linux) one such stop, right after the N-th change
//   TAVREL_STOP_LOG=file          with any of them, one line appended before each stop,
//                                 "change N op path" or "flush path"
// The production build compiles all of this away.
#pragma once

#include "platform/transient_retry.h"

#include <filesystem>

namespace platform::hooks {

#ifdef TAVREL_FAULT_HOOKS
int injected_error(const char* operation);
// The error with which try `attempt` (0, 1, ...) of this call of `operation` fails, or 0.
int injected_transient_error(const char* operation, unsigned attempt);
retry_limits retry_limits_for_this_build(retry_limits product);
void after_change(const char* operation, const std::filesystem::path& p);
void after_flush(const std::filesystem::path& p);
// Forgets the counts, so that a test process can inject faults case after case.
void reset_counters();
#else
inline int injected_error(const char*) {
    return 0;
}
inline int injected_transient_error(const char*, unsigned) {
    return 0;
}
inline retry_limits retry_limits_for_this_build(retry_limits product) {
    return product;
}
inline void after_change(const char*, const std::filesystem::path&) {}
inline void after_flush(const std::filesystem::path&) {}
#endif

} // namespace platform::hooks
