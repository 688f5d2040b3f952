// Creation of the staging directory, apart from stage_update so that its retries can be
// driven by a scripted source of numbers.
#pragma once

#include "common/paths.h"

#include <cstdint>
#include <functional>

namespace tavrel {

inline constexpr int staging_directory_attempts = 16;

// Creates app_dir/".tavrel-update-<second>-<first>" from two draws per attempt. A directory
// already bearing the name costs one attempt; anything else in the way raises the
// "create_directory" file-system error.
path create_staging_directory(const path& app_dir, const std::function<std::uint32_t()>& draw);

} // namespace tavrel
