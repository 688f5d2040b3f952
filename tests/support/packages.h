// Update packages for end-to-end runs: trees of files with the demo application as
// Tavrel.exe, packed with tavrel-pack and signed with the test key.
#pragma once

#include "support/installation.h"

#include <map>
#include <string>

namespace tavrel::test {

// Relative path -> content; the content "demo-app A.B.C.D" installs the demo application
// with that file version.
using tree_spec = std::map<std::string, std::string>;

void write_tree(const fs::path& root, const tree_spec& files);

struct signed_package {
    std::string signature;
    std::string size;
};
// Packs `tree` into `archive` (with its package file manifest) and signs it.
signed_package pack_and_sign(const fs::path& tree, const fs::path& archive);

// Installs `files` into `target` as an earlier update would have left them: the files plus
// their package file manifest (work files go below inst.root meanwhile).
void install_tree_at(const installation& inst, const fs::path& target, const tree_spec& files);
// The same into inst.app_dir, which is emptied first.
void install_tree(const installation& inst, const tree_spec& files);

// The regular files of a snapshot (directories left over by an undo do not count).
tree_snapshot files_of(const tree_snapshot& snapshot);

} // namespace tavrel::test
