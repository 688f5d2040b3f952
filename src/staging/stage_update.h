// Unpacks the authenticated archive into a fresh staging directory and fills the transaction.
#pragma once

#include "common/progress.h"
#include "staging/staged_update.h"

#include <span>
#include <string>

namespace tavrel {

inline constexpr char staging_directory_prefix[] = ".tavrel-update-";

// Unpacks `archive`, the bytes that the download check verified; `progress`, when given,
// follows the bytes written. False: `error` holds the user's message. Raises nothing derived
// from std::exception.
bool stage_update(staged_update& transaction, std::span<const unsigned char> archive,
                  std::string& error, progress_meter* progress = nullptr);
// staging_dir/new/Tavrel.exe once prepared, otherwise empty.
path staged_executable_path(const staged_update& transaction);

} // namespace tavrel
