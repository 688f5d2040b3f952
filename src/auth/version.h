// Versions: the requested one from the command line, the signed one from the staged
// executable's version resource, and the built-in current one.
#pragma once

#include "common/paths.h"

#include <cstdint>

namespace tavrel {

struct app_version {
    std::uint32_t major = 0;
    std::uint32_t minor = 0;
    std::uint32_t patch = 0;

    friend bool operator==(const app_version&, const app_version&) = default;
};

// Raises "The requested update version is invalid."
app_version parse_version(const platform::native_text& text);
// Raises "The application version could not be read." or
// "The application version resource is invalid."
app_version read_file_version(const path& executable);
app_version current_app_version();
// Raises "The signed update version does not match the feed or would downgrade Tavrel."
// unless `signed_version` equals `requested` and is newer than the current version (or than
// `installed`, for a publisher who asks about another installation).
void check_version_rule(const app_version& signed_version, const app_version& requested);
void check_version_rule(const app_version& signed_version, const app_version& requested,
                        const app_version& installed);

} // namespace tavrel
