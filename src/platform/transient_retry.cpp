#include "platform/transient_retry.h"

#include "platform/fault_hooks.h"
#include "platform/platform.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace platform {

namespace {

// The product's one piece of mutable state: how long this run has already waited for files
// that others held, in its forward work and in undoing it. It bounds the whole run, so that
// thousands of held files cannot stretch it without end.
std::atomic<std::int64_t> waited_forward_ms{0};
std::atomic<std::int64_t> waited_undoing_ms{0};
thread_local bool undoing = false;

} // namespace

int retry_transient(const char* operation, const std::function<int()>& attempt) {
    const retry_limits limits = hooks::retry_limits_for_this_build(retry_limits{});
    std::atomic<std::int64_t>& waited_in_run_ms = undoing ? waited_undoing_ms : waited_forward_ms;
    const auto started = std::chrono::steady_clock::now();
    auto wait = limits.first_wait;
    for (unsigned tries = 0;; ++tries) {
        int code = hooks::injected_transient_error(operation, tries);
        if (code == 0)
            code = attempt();
        if (code == 0 || !is_transient(code))
            return code;
        const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - started);
        const auto left_in_run =
            limits.per_run - std::chrono::milliseconds(waited_in_run_ms.load());
        const auto pause = std::min({wait, limits.per_operation - spent, left_in_run});
        if (pause <= std::chrono::milliseconds::zero())
            return code; // reported exactly as if it had failed at once
        std::this_thread::sleep_for(pause);
        waited_in_run_ms.fetch_add(pause.count());
        wait = std::min(wait * 2, limits.longest_wait);
    }
}

undo_retry_scope::undo_retry_scope() : outer_(undoing) {
    undoing = true;
}

undo_retry_scope::~undo_retry_scope() {
    undoing = outer_;
}

} // namespace platform
