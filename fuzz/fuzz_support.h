// Helpers of the fuzz targets: a private working directory in memory, the outcome of each input
// on request, and invariants that abort, so that libFuzzer keeps the input as a crash.
#pragma once

#include "support/temp_tree.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

// For a helper of temp_tree.cpp that no target calls: the product here has no fault hooks.
namespace platform::hooks {
void reset_counters() {}
} // namespace platform::hooks

namespace tavrel::fuzz {

namespace fs = std::filesystem;

inline void require(bool condition, std::string_view what) {
    if (condition)
        return;
    std::fprintf(stderr, "\nINVARIANT BROKEN: %.*s\n", static_cast<int>(what.size()), what.data());
    std::abort();
}

// With TAVREL_FUZZ_VERBOSE set, prints each input's outcome (for reading reproducers).
inline void report(std::string_view outcome) {
    static const bool verbose = std::getenv("TAVREL_FUZZ_VERBOSE") != nullptr;
    if (verbose)
        std::fprintf(stderr, "outcome: %.*s\n", static_cast<int>(outcome.size()), outcome.data());
}

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// A directory of this process below $TAVREL_FUZZ_WORK_DIR, else /dev/shm, so that the file work
// per input stays in memory; removed when the process exits normally.
inline const fs::path& work_dir() {
    static const test::temp_dir directory = [] {
        const char* base = std::getenv("TAVREL_FUZZ_WORK_DIR");
        ::setenv("TMPDIR", base && *base ? base : "/dev/shm", 1);
        return test::temp_dir(); // made below TMPDIR
    }();
    return directory.path();
}

} // namespace tavrel::fuzz
