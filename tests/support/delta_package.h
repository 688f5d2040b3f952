// Delta packages as a publisher makes them, for the tests: the new version's files whole,
// patched from the installed ones or kept, with the full package's manifest.
#pragma once

#include "support/installation.h"

#include <string>

namespace tavrel::test {

// The files of a package archive, by name.
std::map<std::string, std::string> unpacked_archive(const fs::path& archive);

// A delta from the installation `base_dir` (version `base_version`, "A.B.C") to the full
// package `full_archive`: each file of the package (but its manifest) is kept where the base
// holds the same bytes, patched where it holds others, and whole where it holds none; the
// description says which, and `description_header` may replace its first line.
std::string delta_archive(const fs::path& base_dir, const std::string& base_version,
                          const fs::path& full_archive,
                          const std::string& description_header = "tavrel-delta 1");

// The scenario's update as a delta from its old version (Tavrel.exe 2.0.3).
void use_delta(update_scenario& scenario);

} // namespace tavrel::test
