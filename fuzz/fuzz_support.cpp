#include "fuzz_support.h"

#include "common/text.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <unistd.h>

namespace tavrel::fuzz {

namespace {

struct private_directory {
    fs::path root;
    private_directory() {
        const char* base = std::getenv("TAVREL_FUZZ_WORK_DIR");
        fs::path parent = base && *base ? fs::path(base) : fs::path("/dev/shm");
        if (!fs::is_directory(parent))
            parent = fs::temp_directory_path();
        root = parent / ("tavrel-fuzz-" + std::to_string(::getpid()));
        fs::remove_all(root);
        fs::create_directories(root);
    }
    ~private_directory() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
};

void add_file(const fs::path& file, std::string_view content) {
    fs::create_directories(file.parent_path());
    write_file(file, content);
}

} // namespace

const fs::path& work_dir() {
    static const private_directory directory;
    return directory.root;
}

void report(std::string_view outcome) {
    static const bool verbose = std::getenv("TAVREL_FUZZ_VERBOSE") != nullptr;
    if (verbose)
        std::fprintf(stderr, "outcome: %.*s\n", static_cast<int>(outcome.size()), outcome.data());
}

std::string_view as_text(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

void write_file(const fs::path& file, std::string_view bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out)
        broken("cannot write " + file.string());
}

std::string read_file(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        broken("cannot read " + file.string());
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void broken(std::string_view what) {
    std::fprintf(stderr, "\nINVARIANT BROKEN: %.*s\n", static_cast<int>(what.size()), what.data());
    std::fflush(stderr);
    std::abort();
}

listing list_tree(const fs::path& root) {
    listing result;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it) {
        const fs::path& p = it->path();
        node n;
        const fs::file_status status = it->symlink_status();
        if (fs::is_symlink(status)) {
            n = {'l', fs::read_symlink(p).string()};
        } else if (fs::is_directory(status)) {
            n = {'d', {}};
        } else if (fs::is_regular_file(status)) {
            n = {'f', read_file(p)};
        }
        result.emplace(p.lexically_relative(root).generic_string(), std::move(n));
    }
    return result;
}

std::string describe_difference(const listing& before, const listing& after) {
    std::ostringstream out;
    for (const auto& [name, n] : before) {
        const auto found = after.find(name);
        if (found == after.end())
            out << "gone: " << name << '\n';
        else if (!(found->second == n))
            out << "changed: " << name << '\n';
    }
    for (const auto& [name, n] : after)
        if (!before.contains(name))
            out << "new: " << name << " (" << n.type << ")\n";
    return out.str();
}

std::string manifest_bytes(const std::vector<std::string>& paths, std::string_view line_end) {
    std::string text = "Tavrel package files 1";
    text += line_end;
    for (const std::string& p : paths) {
        text += p;
        text += line_end;
    }
    std::string bytes = "\xFF\xFE";
    for (const char16_t unit : utf8_to_utf16(text)) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}

const std::vector<file_spec>& installed_files() {
    static const std::vector<file_spec> files = {
        {"Tavrel.exe", "installed executable"},
        {"readme.txt", "installed readme"},
        {"lib/old.dll", "installed library"},
        {".tavrel-package-files.txt", manifest_bytes({"Tavrel.exe", "readme.txt", "lib/old.dll"})},
    };
    return files;
}

void build_installation(const fs::path& root) {
    fs::remove_all(root);
    for (const file_spec& file : installed_files())
        add_file(root / "app" / file.path, file.content);
    add_file(root / "outside/sentinel", "outside the installation");
    fs::create_directory_symlink("../outside", root / "app/link");
}

void build_interrupted_installation(const fs::path& root, std::string_view journal) {
    fs::remove_all(root);
    const fs::path app = root / "app";
    const fs::path staging = app / recovery_staging_name;
    // Replaced already: Tavrel.exe, lib/a.dll; installed new: added.txt; removed: notes.txt;
    // untouched: keep.txt; not yet moved in: pending.txt.
    add_file(app / "Tavrel.exe", "new executable");
    add_file(app / "lib/a.dll", "new library");
    add_file(app / "added.txt", "added by the update");
    add_file(app / "keep.txt", "kept");
    add_file(staging / ".transaction", journal);
    add_file(staging / "old/Tavrel.exe", "old executable");
    add_file(staging / "old/lib/a.dll", "old library");
    add_file(staging / "old/notes.txt", "removed by the update");
    add_file(staging / "new/pending.txt", "not moved in yet");
    add_file(root / "outside/sentinel", "outside the installation");
    fs::create_directory_symlink("../outside", app / "link");
    fs::create_symlink("../../../outside/sentinel", staging / "old/evil");
    fs::create_directory_symlink("../../../outside", staging / "new/link2");
}

} // namespace tavrel::fuzz
