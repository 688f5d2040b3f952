#include "staging/package_manifest.h"

#include "common/text.h"
#include "staging/delta_description.h"
#include "staging/package_path.h"

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

const char invalid_encoding[] = "Invalid package file manifest encoding.";

std::string read_whole_file(const path& file, std::uint64_t size) {
    std::string bytes;
    if (platform::read_file(file, static_cast<std::size_t>(size), bytes) != 0 ||
        bytes.size() != size || static_cast<unsigned char>(bytes[0]) != 0xFF ||
        static_cast<unsigned char>(bytes[1]) != 0xFE)
        fail(invalid_encoding);
    return bytes;
}

} // namespace

bool is_reserved_key(const std::string& key) {
    return key == "uninstall.exe" || key == package_manifest_name ||
           key == ".tavrel-install-files.txt" || key == delta_description_name;
}

void read_package_manifest(const path& file, std::vector<std::string>& package_manifest_paths) {
    std::uint64_t size = 0;
    if (const int code = platform::query_file_size(file, size))
        throw file_system_error("file_size", code, file);
    if (size % 2 != 0 || size < 2 || size > max_manifest_size)
        fail("Invalid package file manifest size.");
    const std::string bytes = read_whole_file(file, size);

    package_manifest_paths.clear();
    std::set<std::string> keys;
    bool header_expected = true;
    std::u16string line;
    for (std::size_t offset = 2; offset < bytes.size(); offset += 2) {
        const auto unit = static_cast<char16_t>(static_cast<unsigned char>(bytes[offset]) |
                                                static_cast<unsigned char>(bytes[offset + 1]) << 8);
        // A CR may only end a line: inside a path it would be dropped, and two paths match.
        if (unit == u'\r') {
            const bool ends_line =
                offset + 3 < bytes.size() && bytes[offset + 2] == '\n' && bytes[offset + 3] == '\0';
            if (!ends_line)
                fail("Package manifest contains an unsafe or duplicate path.");
            continue;
        }
        if (unit != u'\n') {
            line.push_back(unit);
            if (line.size() > max_line_units)
                fail("Package manifest path is too long.");
            continue;
        }
        std::string text;
        try {
            text = utf16_to_utf8(line);
        } catch (const conversion_error&) {
            fail(invalid_encoding); // an unpaired surrogate
        }
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
        if (!is_safe_package_path(text) || is_reserved_key(folded_path_key(text)) ||
            !keys.insert(to_ascii_lower(text)).second ||
            package_manifest_paths.size() >= max_manifest_paths)
            fail("Package manifest contains an unsafe or duplicate path.");
        package_manifest_paths.push_back(std::move(text));
    }
    if (header_expected || !line.empty() || package_manifest_paths.empty())
        fail("Incomplete package manifest.");
}

} // namespace tavrel
