// The whole run of the updater, from the command line to the exit code.
#pragma once

#include "app/handshake.h"
#include "app/launch.h"

#include <string_view>
#include <vector>

namespace tavrel {

inline constexpr int exit_success = 0;
inline constexpr int exit_failure = 1;  // a failure that was shown, or a cancel
inline constexpr int exit_rejected = 2; // the invocation was refused; nothing shown or changed

struct run_limits {
    exit_wait_limits exit_wait;
    confirmation_limits confirmation;
};

// `arguments` includes the program name at index 0, which is not used. `public_keys`: the
// trusted update keys, Base64, separated by "," (the current key first).
int run_updater(const std::vector<platform::native_text>& arguments, std::string_view public_keys,
                const run_limits& limits = {});

} // namespace tavrel
