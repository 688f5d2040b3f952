#include "staging/package_manifest.h"

#include "common/text.h"
#include "staging/package_path.h"

#include <fstream>
#include <set>
#include <stdexcept>

namespace tavrel {

namespace {

constexpr std::uint64_t max_manifest_size = 0x400000;
constexpr std::size_t max_line_units = 900;
constexpr std::size_t max_manifest_paths = 19999;
constexpr char manifest_header[] = "Tavrel package files 1";

[[noreturn]] void fail(const char* message) {
    throw std::runtime_error(message);
}

std::vector<char> read_whole_file(const path& file, std::uint64_t size) {
    std::vector<char> bytes(static_cast<std::size_t>(size));
    std::ifstream in(file, std::ios::binary);
    if (in)
        in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (in.fail() || in.bad() || static_cast<unsigned char>(bytes[0]) != 0xFF ||
        static_cast<unsigned char>(bytes[1]) != 0xFE)
        fail("Invalid package file manifest encoding.");
    return bytes;
}

// Names that an update must never remove, so no manifest may list them at the root.
bool is_reserved_key(const std::string& key) {
    return key == "uninstall.exe" || key == package_manifest_name ||
           key == ".tavrel-install-files.txt";
}

} // namespace

void read_package_manifest(const path& file, std::vector<std::string>& package_manifest_paths) {
    std::uint64_t size = 0;
    if (const int code = platform::query_file_size(file, size))
        throw file_system_error("file_size", code, file);
    if (size % 2 != 0 || size < 2 || size > max_manifest_size)
        fail("Invalid package file manifest size.");
    const std::vector<char> bytes = read_whole_file(file, size);

    package_manifest_paths.clear();
    std::set<std::string> keys;
    bool header_expected = true;
    std::u16string line;
    for (std::size_t offset = 2; offset < bytes.size(); offset += 2) {
        const auto unit = static_cast<char16_t>(static_cast<unsigned char>(bytes[offset]) |
                                                static_cast<unsigned char>(bytes[offset + 1]) << 8);
        if (unit == u'\r')
            continue;
        if (unit != u'\n') {
            line.push_back(unit);
            if (line.size() > max_line_units)
                fail("Package manifest path is too long.");
            continue;
        }
        std::string text = utf16_to_utf8(line);
        line.clear();
        for (char& c : text)
            if (c == '\\')
                c = '/';
        if (header_expected) {
            if (text != manifest_header)
                fail("Invalid package manifest header.");
            header_expected = false;
            continue;
        }
        const std::string key = to_ascii_lower(text);
        if (!is_safe_package_path(text) || is_reserved_key(key) || !keys.insert(key).second ||
            package_manifest_paths.size() >= max_manifest_paths)
            fail("Package manifest contains an unsafe or duplicate path.");
        package_manifest_paths.push_back(std::move(text));
    }
    if (header_expected || !line.empty() || package_manifest_paths.empty())
        fail("Incomplete package manifest.");
}

} // namespace tavrel
