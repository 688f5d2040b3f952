#include "support/temp_tree.h"

// The fault hooks' counters live in the test build of the platform layer.
#include "platform/fault_hooks.h"

#include <cstdlib>
#include <fstream>
#include <random>
#include <stdexcept>
#include <system_error>

namespace fs = std::filesystem;

namespace tavrel::test {

namespace {

// Snapshot keys are UTF-8 on every platform.
std::string utf8(const fs::path& p) {
    const std::u8string text = p.u8string();
    return std::string(text.begin(), text.end());
}

void snapshot_below(const fs::path& dir, const std::string& prefix, std::string_view skip,
                    tree_snapshot& out) {
    for (const auto& entry : fs::directory_iterator(dir)) {
        const fs::path p = entry.path();
        const std::string name = utf8(p.filename());
        if (prefix.empty() && !skip.empty() && name.starts_with(skip))
            continue;
        const std::string relative = prefix + name;
        tree_node node;
        const auto status = fs::symlink_status(p);
        if (fs::is_symlink(status)) {
            node.type = node_type::symlink;
            node.link_target = utf8(fs::read_symlink(p));
        } else if (fs::is_directory(status)) {
            node.type = node_type::directory;
            snapshot_below(p, relative + "/", skip, out);
        } else if (fs::is_regular_file(status)) {
            node.type = node_type::file;
            node.bytes = read_bytes(p);
        }
        out[relative] = node;
    }
}

} // namespace

temp_dir::temp_dir() {
    std::random_device random;
    const fs::path base = fs::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path candidate = base / ("tavrel-test-" + std::to_string(random()));
        if (fs::create_directory(candidate)) {
            root_ = fs::canonical(candidate);
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary directory");
}

temp_dir::~temp_dir() {
    std::error_code ec;
    fs::remove_all(root_, ec);
}

std::ostream& operator<<(std::ostream& out, const tree_node& node) {
    static const char* const names[] = {"file", "directory", "symlink", "other"};
    out << names[static_cast<int>(node.type)];
    if (node.type == node_type::file)
        out << " of " << node.bytes.size() << " bytes";
    if (node.type == node_type::symlink)
        out << " -> " << node.link_target;
    return out;
}

tree_snapshot snapshot_tree(const fs::path& root, std::string_view skip_top_level_prefix) {
    tree_snapshot out;
    snapshot_below(root, "", skip_top_level_prefix, out);
    return out;
}

file_tree files_below(const fs::path& root, std::string_view skip_top_level_prefix) {
    file_tree files;
    for (const auto& [name, node] : snapshot_tree(root, skip_top_level_prefix))
        if (node.type == node_type::file)
            files[name] = node.bytes;
    return files;
}

file_tree operator+(file_tree left, const file_tree& right) {
    for (const auto& [name, bytes] : right)
        left[name] = bytes;
    return left;
}

std::string error_of(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& failure) {
        return failure.what();
    }
    return "";
}

void write_bytes(const fs::path& file, std::string_view bytes) {
    if (file.has_parent_path())
        fs::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out)
        throw std::runtime_error("cannot write " + file.string());
}

std::string read_bytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary | std::ios::ate);
    std::string bytes;
    if (in) {
        bytes.resize(static_cast<std::size_t>(in.tellg()));
        in.seekg(0);
        in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    if (!in)
        throw std::runtime_error("cannot read " + file.string());
    return bytes;
}

void set_environment(const char* name, const std::string& value) {
#ifdef _WIN32
    _putenv_s(name, value.c_str()); // which getenv sees; "" removes the variable
#else
    value.empty() ? ::unsetenv(name) : ::setenv(name, value.c_str(), 1);
#endif
}

injected_failure::injected_failure(const std::string& spec) {
    set_environment("TAVREL_FAIL_OPERATION", spec);
    platform::hooks::reset_counters();
}

injected_failure::~injected_failure() {
    set_environment("TAVREL_FAIL_OPERATION", "");
    platform::hooks::reset_counters();
}

} // namespace tavrel::test
