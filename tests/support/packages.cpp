#include "support/packages.h"

#include "support/programs.h"
#include "support/signing.h"

#include <stdexcept>

namespace tavrel::test {

void write_tree(const fs::path& root, const tree_spec& files) {
    for (const auto& [name, content] : files) {
        const fs::path target = root / name;
        fs::create_directories(target.parent_path());
        if (content.rfind("demo-app ", 0) == 0)
            install_demo_app(target, content.substr(9));
        else
            write_bytes(target, content);
    }
}

signed_package pack_and_sign(const fs::path& tree, const fs::path& archive) {
    fs::create_directories(archive.parent_path());
    const run_result packed = run(program("tavrel-pack"), {tree.string(), archive.string()});
    if (packed.exit_code != 0)
        throw std::runtime_error("tavrel-pack failed: " + packed.err);
    return {test_signature_base64(archive), std::to_string(fs::file_size(archive))};
}

void install_tree_at(const installation& inst, const fs::path& target, const tree_spec& files) {
    // Unpacking a package of the tree gives exactly what an earlier update installed,
    // manifest included.
    const fs::path tree = inst.root / "installed-tree";
    const fs::path archive = inst.root / "installed.zip";
    write_tree(tree, files);
    pack_and_sign(tree, archive);
    fs::create_directories(target);
    const run_result unzipped =
        run("/usr/bin/unzip", {"-q", archive.string(), "-d", target.string()});
    if (unzipped.exit_code != 0)
        throw std::runtime_error("unzip failed: " + unzipped.err);
    fs::permissions(target / "Tavrel.exe", fs::perms::owner_exec, fs::perm_options::add);
    fs::remove_all(tree);
    fs::remove(archive);
}

void install_tree(const installation& inst, const tree_spec& files) {
    fs::remove_all(inst.app_dir);
    install_tree_at(inst, inst.app_dir, files);
}

tree_snapshot files_of(const tree_snapshot& snapshot) {
    tree_snapshot files;
    for (const auto& [name, node] : snapshot)
        if (node.type != node_type::directory)
            files.emplace(name, node);
    return files;
}

} // namespace tavrel::test
