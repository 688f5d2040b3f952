// The package file manifest ".tavrel-package-files.txt": UTF-16LE with BOM, a header line,
// one package path per line.
#pragma once

#include "common/paths.h"

#include <string>
#include <vector>

namespace tavrel {

inline constexpr char package_manifest_name[] = ".tavrel-package-files.txt";

// Names that an update must never install or remove, so no manifest or delta description may
// list them at the root; `key` is a folded_path_key (names compared as Windows compares them).
bool is_reserved_key(const std::string& key);

// Raises std::runtime_error with the user's message; file-system and conversion errors
// raise their own errors. The paths are UTF-8 with "/" separators, as written.
void read_package_manifest(const path& file, std::vector<std::string>& package_manifest_paths);

} // namespace tavrel
