#include "support/installation.h"

#include "support/signing.h"

#include <chrono>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace tavrel::test {

void install_demo_app(const fs::path& destination, const std::string& version) {
    fs::create_directories(destination.parent_path());
    const run_result r = run(program("tavrel-set-version"),
                             {program("tavrel-demo-app").string(), destination.string(), version});
    if (r.exit_code != 0)
        throw std::runtime_error("tavrel-set-version failed: " + r.err);
}

installation::installation() {
    root = scratch.path();
    app_dir = root / "app";
    download_dir = root / "tavrel-download-1";
    archive = download_dir / "update.zip";
    log = root / "starts.log";
    fs::create_directories(download_dir);
    install_demo_app(app_dir / "Tavrel.exe");
}

std::vector<std::string> installation::starts(std::size_t at_least) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        std::vector<std::string> lines;
        std::ifstream in(log);
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        if (lines.size() >= at_least || std::chrono::steady_clock::now() > deadline)
            return lines;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

environment_list installation::environment(const std::string& behaviour) const {
    return {{"TAVREL_DEMO_LOG", log.string()},
            {"TAVREL_DEMO_BEHAVIOUR", behaviour},
            {"TAVREL_DEMO_LIFETIME_MS", "300"}};
}

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

signed_package pack_tree(const installation& inst, const tree_spec& files,
                         const fs::path& archive) {
    const fs::path tree = inst.root / "package-tree";
    write_tree(tree, files);
    fs::create_directories(archive.parent_path());
    const run_result packed = run(program("tavrel-pack"), {tree.string(), archive.string()});
    if (packed.exit_code != 0)
        throw std::runtime_error("tavrel-pack failed: " + packed.err);
    fs::remove_all(tree);
    return {test_signature_base64(archive), std::to_string(fs::file_size(archive))};
}

namespace {

// What an update installs: the package unpacked, its file manifest included.
tree_snapshot unpack(const fs::path& archive, const fs::path& target) {
    fs::create_directories(target);
    const run_result unzipped =
        run("/usr/bin/unzip", {"-q", archive.string(), "-d", target.string()});
    if (unzipped.exit_code != 0)
        throw std::runtime_error("unzip failed: " + unzipped.err);
    fs::permissions(target / "Tavrel.exe", fs::perms::owner_exec, fs::perm_options::add);
    return files_of(snapshot_tree(target));
}

} // namespace

tree_spec generated_version(bool updated, int replaced, int same, int moved, std::size_t size) {
    const auto content = [size](std::string text, int i) {
        text += " " + std::to_string(i);
        while (text.size() < size + 100 * static_cast<std::size_t>(i))
            text += " " + std::to_string(text.size());
        return text;
    };
    tree_spec files{{"Tavrel.exe", updated ? "demo-app 2.1.0.0" : "demo-app 2.0.3.0"}};
    for (int i = 0; i < replaced; ++i)
        files["lib/replaced-" + std::to_string(i) + ".dll"] = content(updated ? "new" : "old", i);
    for (int i = 0; i < same; ++i)
        files["data/same-" + std::to_string(i) + ".dat"] = content("same", i);
    for (int i = 0; i < moved; ++i) {
        const std::string n = std::to_string(i);
        if (updated)
            files["added/sub-" + std::to_string(i % 3) + "/file-" + n + ".txt"] =
                content("added", i);
        else
            files["legacy/removed-" + n + ".txt"] = content("removed", i);
    }
    return files;
}

tree_spec with_kinds_swapped(tree_spec files, bool updated) {
    if (updated)
        files.insert({{"plugins/a.dll", "plugin a"},
                      {"plugins/sub/b.dll", "plugin b"},
                      {"docs", "docs, now a file"},
                      {"README.txt", "new readme"}});
    else
        files.insert({{"plugins", "plugins, a file"},
                      {"docs/a.txt", "doc a"},
                      {"docs/deep/b.txt", "doc b"},
                      {"readme.txt", "old readme"}});
    return files;
}

tree_snapshot files_of(const tree_snapshot& snapshot) {
    tree_snapshot files;
    for (const auto& [name, node] : snapshot)
        if (node.type != node_type::directory)
            files.emplace(name, node);
    return files;
}

update_scenario::update_scenario(const tree_spec& old_version, const tree_spec& new_version,
                                 std::string version_text)
    : version(std::move(version_text)), old_template_(inst.root / "old-template"),
      archive_(inst.root / "update.zip") {
    pack_tree(inst, old_version, inst.root / "old.zip");
    old_files = unpack(inst.root / "old.zip", old_template_);
    package = pack_tree(inst, new_version, archive_);
    new_files = unpack(archive_, inst.root / "new-reference");
    fs::remove_all(inst.root / "new-reference");
    reset();
}

void update_scenario::reset() {
    fs::create_directories(inst.app_dir);
    for (const auto& entry : fs::directory_iterator(inst.app_dir))
        fs::remove_all(entry.path());
    fs::copy(old_template_, inst.app_dir, fs::copy_options::recursive);
    prepare_download();
}

void update_scenario::replace_package(const std::string& archive_bytes) {
    write_bytes(archive_, archive_bytes);
    package = {
        sign_bytes_base64(std::span(reinterpret_cast<const std::uint8_t*>(archive_bytes.data()),
                                    archive_bytes.size())),
        std::to_string(archive_bytes.size())};
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
    return snapshot_tree(inst.app_dir).size() !=
           snapshot_tree(inst.app_dir, ".tavrel-update-").size();
}

environment_list operator+(environment_list left, const environment_list& right) {
    left.insert(left.end(), right.begin(), right.end());
    return left;
}

} // namespace tavrel::test
