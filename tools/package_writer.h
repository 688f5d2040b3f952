// Writing an update package from a directory tree, as tavrel-pack and tavrel-release do: every
// regular file below the tree under its relative path, with the package file manifest that
// lists them, in a stable order with fixed time stamps (the same tree gives the same bytes).
// A tree that the updater would refuse is refused, naming the file at fault.
#pragma once

#include "auth/version.h"

#include <cstddef>
#include <filesystem>
#include <stdexcept>

namespace tavrel::tools {

using tavrel::app_version;

// A tree that cannot become a package; the text names the reason and the file.
class package_refusal : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct package_facts {
    std::size_t files = 0; // the tree's files; the manifest comes on top
};

// Raises package_refusal for a tree the updater would refuse, std::runtime_error when the
// archive cannot be written.
package_facts write_package(const std::filesystem::path& source,
                            const std::filesystem::path& output);

struct delta_facts {
    app_version base; // the version of the base's Tavrel.exe
    std::size_t whole = 0, patched = 0, kept = 0;
    std::size_t renamed = 0; // of the patched: patched from a removed file at another path
};

// A delta package of the tree `source` for installations that hold `base` (an installation
// directory): each file kept where the base holds the same bytes, patched where a patch is
// smaller than the file deflated (a file new at its path from a removed base file of a close
// name), otherwise whole; with the description and the same manifest
// as the full package. Refusals as write_package, and a base without a readable Tavrel.exe.
delta_facts write_delta_package(const std::filesystem::path& source,
                                const std::filesystem::path& base,
                                const std::filesystem::path& output);

} // namespace tavrel::tools
