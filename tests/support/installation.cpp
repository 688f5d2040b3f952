#include "support/installation.h"

#include "support/programs.h"

#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace tavrel::test {

std::map<std::string, std::string> snapshot(const fs::path& root, const std::string& skip_prefix) {
    std::map<std::string, std::string> tree;
    if (!fs::exists(root))
        return tree;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it) {
        const fs::path relative = fs::relative(it->path(), root);
        if (it.depth() == 0 && !skip_prefix.empty() &&
            relative.string().rfind(skip_prefix, 0) == 0) {
            if (it->is_directory() && !it->is_symlink())
                it.disable_recursion_pending();
            continue;
        }
        if (it->is_symlink())
            tree[relative.generic_string()] = "<link>" + fs::read_symlink(it->path()).string();
        else if (it->is_directory())
            tree[relative.generic_string()] = "<dir>";
        else
            tree[relative.generic_string()] = read_file(it->path());
    }
    return tree;
}

std::string read_file(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const fs::path& file, const std::string& content) {
    fs::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out)
        throw std::runtime_error("cannot write " + file.string());
}

void install_demo_app(const fs::path& destination, const std::string& version) {
    fs::create_directories(destination.parent_path());
    const run_result r =
        run(program("tavrel-set-version"),
            {program("tavrel-demo-app").string(), destination.string(), version});
    if (r.exit_code != 0)
        throw std::runtime_error("tavrel-set-version failed: " + r.err);
}

installation::installation() {
    std::random_device random;
    root = fs::temp_directory_path() /
           ("tavrel-e2e-" + std::to_string(random()) + "-" + std::to_string(random()));
    fs::create_directories(root);
    root = fs::canonical(root);
    app_dir = root / "app";
    download_dir = root / "tavrel-download-1";
    archive = download_dir / "update.zip";
    log = root / "starts.log";
    fs::create_directories(download_dir);
    install_demo_app(app_dir / "Tavrel.exe");
}

installation::~installation() {
    std::error_code ec;
    fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(root, ec);
}

std::vector<std::string> installation::starts() const {
    std::vector<std::string> lines;
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::vector<std::pair<std::string, std::string>>
installation::environment(const std::string& behaviour) const {
    return {{"TAVREL_DEMO_LOG", log.string()},
            {"TAVREL_DEMO_BEHAVIOUR", behaviour},
            {"TAVREL_DEMO_LIFETIME_MS", "300"}};
}

} // namespace tavrel::test
