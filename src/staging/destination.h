// The walk from the application directory to a destination that refuses links, reparse
// points and wrong types.
#pragma once

#include "common/paths.h"
#include "staging/staged_update.h"

#include <string>
#include <vector>

namespace tavrel {

// False: `error` holds the message; on true `error` is left as it was.
bool check_destination(const path& app_dir, const path& relative_path, std::string& error);
// Links and reparse points only, for paths whose kinds an interrupted update may have left
// half-swapped (a file where a directory will stand again).
bool check_destination_path(const path& app_dir, const path& relative_path, std::string& error);
// Every entry of one update, judged together: a removed file may give way to a directory of the
// same name, and a directory may give way to a file when every file below it is removed.
bool check_destinations(const path& app_dir, const std::vector<update_entry>& entries,
                        std::string& error);

} // namespace tavrel
