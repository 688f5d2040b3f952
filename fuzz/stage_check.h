// Staging an archive into the fixed installation of the staging targets, and what must hold
// afterwards, whatever the archive held.
#pragma once

#include "support/zip_builder.h"

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace tavrel::fuzz {

// Stages `archive` into root/app (see build_installation), ends the transaction and checks:
// the result and the error text agree; a staged transaction names safe paths, all staged as
// plain files (with `expected_contents`, name -> bytes, when given); and once the transaction
// has ended, nothing in or beside the installation has changed.
void stage_and_check(std::string_view archive,
                     const std::map<std::string, std::string>* expected_contents = nullptr);

// A package described as text, one entry per line: a flag byte, the name, a tab, the content.
// The flag's low bits: 1 directory entry, 2 deflated, 4 Unix symbolic link, 8 DOS directory
// attribute, 16 the package file manifest of every other file entry (or, if the content is not
// empty, of the paths that the content lists separated by "|"). A line without a tab has
// empty content.
std::vector<test::zip_entry_spec> parse_package(std::string_view description);

} // namespace tavrel::fuzz
