#include "platform/fault_hooks.h"

#ifdef TAVREL_FAULT_HOOKS

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

namespace platform::hooks {

namespace {

// The one piece of mutable state in the program, and only in the test build: the counters
// that let a test pick "the K-th rename" or "right after the N-th change".
struct counters {
    unsigned long changes = 0;
    std::map<std::string, unsigned long> calls;
    std::map<std::string, unsigned long> settled_calls; // calls that retry transient failures
};

counters& state() {
    static counters c;
    return c;
}

unsigned long env_number(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::strtoul(value, nullptr, 10) : 0;
}

// An error code that no caller treats as "not found": EIO / ERROR_ACCESS_DENIED. It is
// injected before an operation's retries, so it fails the operation at once on Windows too.
constexpr int injected_code = 5;
#ifdef _WIN32
constexpr int transient_code = 32; // ERROR_SHARING_VIOLATION
#else
constexpr int transient_code = 16; // EBUSY
#endif

void log_call(const char* kind, const char* operation) {
    if (const char* log = std::getenv("TAVREL_CALL_LOG")) {
        if (std::FILE* f = std::fopen(log, "a")) {
            std::fprintf(f, "%s%s\n", kind, operation);
            std::fclose(f);
        }
    }
}

} // namespace

int injected_error(const char* operation) {
    log_call("", operation);
    const char* spec = std::getenv("TAVREL_FAIL_OPERATION");
    if (!spec)
        return 0;
    const char* colon = std::strchr(spec, ':');
    if (!colon || std::string(spec, colon) != operation)
        return 0;
    const unsigned long wanted = std::strtoul(colon + 1, nullptr, 10);
    const unsigned long call = ++state().calls[operation];
    return call == wanted ? injected_code : 0;
}

int injected_transient_error(const char* operation, unsigned attempt) {
    unsigned long& calls = state().settled_calls[operation];
    if (attempt == 0) {
        ++calls;
        log_call("retried ", operation);
    }
    // op:K:N, several separated by commas
    const char* spec = std::getenv("TAVREL_FAIL_TRANSIENTLY");
    for (; spec && *spec; spec = std::strchr(spec, ',') ? std::strchr(spec, ',') + 1 : nullptr) {
        const char* colon = std::strchr(spec, ':');
        if (!colon || std::string(spec, colon) != operation)
            continue;
        char* end = nullptr;
        const unsigned long wanted = std::strtoul(colon + 1, &end, 10);
        const unsigned long failures = *end == ':' ? std::strtoul(end + 1, nullptr, 10) : 0;
        if (calls == wanted && attempt < failures)
            return transient_code;
    }
    return 0;
}

retry_limits retry_limits_for_this_build(retry_limits product) {
    if (const unsigned long ms = env_number("TAVREL_TEST_RETRY_OPERATION_MS"))
        product.per_operation = std::chrono::milliseconds(ms);
    if (const unsigned long ms = env_number("TAVREL_TEST_RETRY_RUN_MS"))
        product.per_run = std::chrono::milliseconds(ms);
    return product;
}

namespace {

// Test-only SIGSTOP for the power-cut test, announced by one line in TAVREL_STOP_LOG first
// ("change N op path" or "flush path"): the test tells a new stop from the last one by the
// log's length, and knows what the disk was last asked to hold.
void stop_for_copy([[maybe_unused]] const char* what, [[maybe_unused]] const std::string& line) {
#ifndef _WIN32
    const unsigned long wanted = env_number(what);
    if (wanted == 0)
        return;
    if (const char* log = std::getenv("TAVREL_STOP_LOG")) {
        if (std::FILE* f = std::fopen(log, "a")) {
            std::fprintf(f, "%s\n", line.c_str());
            std::fclose(f);
        }
    }
    std::raise(SIGSTOP); // the test copies the disk image, then lets the run go on
#endif
}

} // namespace

void after_change(const char* operation, const std::filesystem::path& p) {
    const unsigned long n = ++state().changes;
    if (const char* log = std::getenv("TAVREL_CHANGE_LOG")) {
        if (std::FILE* f = std::fopen(log, "a")) {
            std::fprintf(f, "%lu %s %s\n", n, operation, p.string().c_str());
            std::fclose(f);
        }
    }
    const unsigned long crash_after = env_number("TAVREL_CRASH_AFTER_CHANGE");
    if (crash_after != 0 && n == crash_after)
        std::_Exit(86); // no destructors, no flushing: as abrupt as a crash
    const std::string line = "change " + std::to_string(n) + " " + operation + " " + p.string();
    stop_for_copy("TAVREL_STOP_AFTER_CHANGE", line);
    // One stop, for a test that acts at a chosen point of the run and then lets it go on.
    if (env_number("TAVREL_STOP_AT_CHANGE") == n)
        stop_for_copy("TAVREL_STOP_AT_CHANGE", line);
}

void after_flush(const std::filesystem::path& p) {
    const std::string line = "flush " + p.string();
    stop_for_copy("TAVREL_STOP_AFTER_FLUSH", line);
    stop_for_copy("TAVREL_STOP_AFTER_CHANGE", line);
}

void reset_counters() {
    state() = counters{};
}

} // namespace platform::hooks

#endif
