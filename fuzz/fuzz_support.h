// Helpers shared by the fuzz targets and the seed generator: a private working directory on
// a memory file system, byte files, tree listings that prove what an operation left behind,
// and the fixed installations that the file-system targets run against.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tavrel::fuzz {

namespace fs = std::filesystem;

// A directory of this process below $TAVREL_FUZZ_WORK_DIR (default /dev/shm, so that the
// file work per input stays in memory), removed when the process exits normally.
const fs::path& work_dir();

// With TAVREL_FUZZ_VERBOSE set, prints the outcome of each input (for reading reproducers).
void report(std::string_view outcome);

std::string_view as_text(const std::uint8_t* data, std::size_t size);
void write_file(const fs::path& file, std::string_view bytes);
std::string read_file(const fs::path& file);

// Reports a broken invariant and aborts, so that libFuzzer keeps the input as a crash.
[[noreturn]] void broken(std::string_view what);
inline void require(bool condition, std::string_view what) {
    if (!condition)
        broken(what);
}

// Everything below `root`, links not followed: relative path ("/" separators) -> node.
struct node {
    char type = '?';     // 'f' file, 'd' directory, 'l' symbolic link, '?' anything else
    std::string content; // file bytes, or the target of a link
    bool operator==(const node&) const = default;
};
using listing = std::map<std::string, node>;
listing list_tree(const fs::path& root);
std::string describe_difference(const listing& before, const listing& after);

// A package file manifest: UTF-16LE with byte-order mark, the header, one path a line.
std::string manifest_bytes(const std::vector<std::string>& paths, std::string_view line_end = "\n");

// The installation that staging runs against: an installed tree with its manifest, and a link
// from inside the application directory to a directory beside it.
struct file_spec {
    std::string path;
    std::string content;
};
const std::vector<file_spec>& installed_files();
// root/app (the installation), root/outside (a sentinel that no update may touch).
void build_installation(const fs::path& root);

// An installation in the middle of a commit, as a crash would leave it: some installed files
// already replaced, backups in old/, staged files still in new/, links to the outside in
// every tree. The journal goes to app/.tavrel-update-1-1/.transaction.
inline constexpr char recovery_staging_name[] = ".tavrel-update-1-1";
void build_interrupted_installation(const fs::path& root, std::string_view journal);

} // namespace tavrel::fuzz
