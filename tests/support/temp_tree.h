// Temporary directories for tests, removed at the end, and snapshots of a tree to prove that
// an operation changed nothing (or exactly what it should).
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <string_view>

namespace tavrel::test {

class temp_dir {
  public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    const std::filesystem::path& path() const { return root_; }
    std::filesystem::path operator/(const std::filesystem::path& relative) const {
        return root_ / relative;
    }

  private:
    std::filesystem::path root_;
};

enum class node_type { file, directory, symlink, other };

struct tree_node {
    node_type type = node_type::other;
    std::string bytes;       // content of a file
    std::string link_target; // target of a symbolic link, not followed
    bool operator==(const tree_node&) const = default;
};
std::ostream& operator<<(std::ostream& out, const tree_node& node);
inline tree_node file_node(std::string bytes) {
    return {node_type::file, std::move(bytes), {}};
}
inline tree_node directory_node() {
    return {node_type::directory, {}, {}};
}

// Relative path ("/" separators) -> node, for everything below `root` (links not followed).
// Top-level entries whose names begin with `skip_top_level_prefix` are left out.
using tree_snapshot = std::map<std::string, tree_node>;
tree_snapshot snapshot_tree(const std::filesystem::path& root,
                            std::string_view skip_top_level_prefix = {});

// The regular files of the snapshot: relative path -> content.
using file_tree = std::map<std::string, std::string>;
file_tree files_below(const std::filesystem::path& root,
                      std::string_view skip_top_level_prefix = {});
// The files of `left` with those of `right` added or replacing theirs.
file_tree operator+(file_tree left, const file_tree& right);

// Writes a file, creating the directories it needs.
void write_bytes(const std::filesystem::path& file, std::string_view bytes);
std::string read_bytes(const std::filesystem::path& file);

// The message of the exception that `action` throws, or "" when it throws none.
std::string error_of(const std::function<void()>& action);

// Sets an environment variable of this process (that the fault hooks read); "" removes it.
void set_environment(const char* name, const std::string& value);

// While alive, TAVREL_FAIL_OPERATION=spec fails the chosen call of the test build's platform layer.
class injected_failure {
  public:
    explicit injected_failure(const std::string& spec);
    ~injected_failure();
    injected_failure(const injected_failure&) = delete;
    injected_failure& operator=(const injected_failure&) = delete;
};

} // namespace tavrel::test
