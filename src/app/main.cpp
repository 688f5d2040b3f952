// The updater's entry point: wmain on Windows, main on Linux, both handing the arguments to
// the same run. The test build can shorten the waits through the environment.
#include "app/updater.h"

#include <cstdlib>
#include <vector>

namespace {

tavrel::run_limits limits_for_this_build() {
    tavrel::run_limits limits;
#ifdef TAVREL_TEST_TIMING
    const auto number = [](const char* name, std::uint32_t fallback) {
        const char* value = std::getenv(name);
        return value ? static_cast<std::uint32_t>(std::strtoul(value, nullptr, 10)) : fallback;
    };
    limits.exit_wait.polls = number("TAVREL_TEST_EXIT_POLLS", limits.exit_wait.polls);
    limits.confirmation.confirmation_milliseconds =
        number("TAVREL_TEST_CONFIRMATION_MS", limits.confirmation.confirmation_milliseconds);
    limits.confirmation.termination_milliseconds =
        number("TAVREL_TEST_TERMINATION_MS", limits.confirmation.termination_milliseconds);
#endif
    return limits;
}

} // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
#else
int main(int argc, char** argv) {
#endif
    const std::vector<platform::native_text> arguments(argv, argv + argc);
    // The keys this build trusts (TAVREL_UPDATE_PUBLIC_KEY at configure time), "," between.
    return tavrel::run_updater(arguments, TAVREL_UPDATE_PUBLIC_KEYS, limits_for_this_build());
}
