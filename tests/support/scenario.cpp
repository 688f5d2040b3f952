#include "support/scenario.h"

namespace tavrel::test {

namespace {

tree_snapshot unpacked_files(const installation& inst, const tree_spec& files,
                             const fs::path& directory) {
    install_tree_at(inst, directory, files);
    tree_snapshot result = files_of(snapshot_tree(directory));
    fs::remove_all(directory);
    return result;
}

} // namespace

environment_list operator+(environment_list left, const environment_list& right) {
    left.insert(left.end(), right.begin(), right.end());
    return left;
}

update_scenario::update_scenario(const tree_spec& old_version, const tree_spec& new_version,
                                 std::string version_text)
    : version(std::move(version_text)), old_template_(inst.root / "old-template"),
      archive_(inst.root / "update.zip") {
    install_tree_at(inst, old_template_, old_version);
    old_files = files_of(snapshot_tree(old_template_));
    new_files = unpacked_files(inst, new_version, inst.root / "new-reference");
    const fs::path tree = inst.root / "package-tree";
    write_tree(tree, new_version);
    package = pack_and_sign(tree, archive_);
    fs::remove_all(tree);
    reset();
}

void update_scenario::reset() {
    fs::create_directories(inst.app_dir);
    for (const auto& entry : fs::directory_iterator(inst.app_dir))
        fs::remove_all(entry.path());
    fs::copy(old_template_, inst.app_dir, fs::copy_options::recursive);
    prepare_download();
}

void update_scenario::prepare_download() {
    fs::remove_all(inst.download_dir);
    fs::create_directories(inst.download_dir);
    fs::copy_file(archive_, inst.archive);
    fs::remove(inst.log);
}

std::vector<std::string> update_scenario::update_arguments(int parent) const {
    return {std::to_string(parent), inst.app_dir.string(), inst.archive.string(),
            package.signature,      package.size,          version};
}

run_result update_scenario::update(const std::string& updater,
                                   const environment_list& extra) const {
    const ended_process app;
    return run(program(updater), update_arguments(app.pid()),
               with_environment(inst.environment() + extra));
}

run_result update_scenario::recover(const std::string& updater,
                                    const environment_list& extra) const {
    fs::create_directories(inst.download_dir);
    const ended_process app;
    return run(program(updater), {std::to_string(app.pid()), inst.app_dir.string(), "--recover"},
               in_directory(inst.download_dir, inst.environment() + extra));
}

tree_snapshot update_scenario::installed() const {
    return files_of(snapshot_tree(inst.app_dir, ".tavrel-update-"));
}

bool update_scenario::staging_left() const {
    for (const auto& entry : fs::directory_iterator(inst.app_dir))
        if (entry.path().filename().string().starts_with(".tavrel-update-"))
            return true;
    return false;
}

} // namespace tavrel::test
