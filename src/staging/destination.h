// The walk from the application directory to a destination that refuses links, reparse
// points and wrong types.
#pragma once

#include "common/paths.h"

#include <string>

namespace tavrel {

// False: `error` holds the message; on true `error` is left as it was.
bool check_destination(const path& app_dir, const path& relative_path, std::string& error);

} // namespace tavrel
