#include "staging/package_manifest.h"

#include "common/text.h"
#include "support/temp_tree.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <optional>

namespace tavrel {
namespace {

namespace fs = std::filesystem;

constexpr char header[] = "Tavrel package files 1";
constexpr char bad_size[] = "Invalid package file manifest size.";
constexpr char bad_encoding[] = "Invalid package file manifest encoding.";
constexpr char too_long[] = "Package manifest path is too long.";
constexpr char bad_header[] = "Invalid package manifest header.";
constexpr char bad_path[] = "Package manifest contains an unsafe or duplicate path.";
constexpr char incomplete[] = "Incomplete package manifest.";

// UTF-16LE bytes of a UTF-8 text, with the byte-order mark in front.
std::string utf16_file(std::string_view utf8_text) {
    std::string bytes = "\xFF\xFE";
    for (const char16_t unit : utf8_to_utf16(utf8_text)) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    return bytes;
}

std::string with_header(std::string_view lines) {
    return std::string(header) + "\n" + std::string(lines);
}

struct manifest_case {
    const char* name;
    std::string bytes;
    std::optional<std::string> message;  // the failure, or
    std::vector<std::string> paths = {}; // the paths read
};

std::ostream& operator<<(std::ostream& out, const manifest_case& c) {
    return out << c.name;
}

class manifest_file : public ::testing::TestWithParam<manifest_case> {
  protected:
    test::temp_dir dir;
};

TEST_P(manifest_file, is_read_or_refused) {
    const fs::path file = dir / ".tavrel-package-files.txt";
    test::write_bytes(file, GetParam().bytes);
    std::vector<std::string> paths = {"stale"};
    try {
        read_package_manifest(file, paths);
        EXPECT_FALSE(GetParam().message) << "accepted";
        EXPECT_EQ(paths, GetParam().paths);
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(e.what(), GetParam().message.value_or("(success)"));
    }
    EXPECT_EQ(test::read_bytes(file), GetParam().bytes) << "the manifest was changed";
}

std::string units(std::size_t count, char c) {
    return std::string(count, c);
}

const manifest_case manifest_cases[] = {
    {"bom_only", "\xFF\xFE", incomplete},
    {"empty", "", bad_size},
    {"one_byte", "\xFF", bad_size},
    {"three_bytes",
     "\xFF\xFE"
     "a",
     bad_size},
    {"utf8_text", std::string(header) + "\na.txt\n\n", bad_encoding},
    {"utf16_big_endian", "\xFE\xFF" + utf16_file(with_header("a\n")).substr(2), bad_encoding},
    {"no_bom", utf16_file(with_header("a\n")).substr(2) + "\0\0", bad_encoding},
    {"header_only", utf16_file(with_header("")), incomplete},
    {"header_without_line_feed", utf16_file(header), incomplete},
    {"one_path", utf16_file(with_header("Tavrel.exe\n")), std::nullopt, {"Tavrel.exe"}},
    {"crlf",
     utf16_file(std::string(header) + "\r\nA.txt\r\nb/c.txt\r\n"),
     std::nullopt,
     {"A.txt", "b/c.txt"}},
    {"carriage_return_inside_a_line",
     utf16_file(with_header("a\rb.txt\n")),
     std::nullopt,
     {"ab.txt"}},
    {"header_with_trailing_space", utf16_file("Tavrel package files 1 \na\n"), bad_header},
    {"header_in_other_case", utf16_file("tavrel package files 1\na\n"), bad_header},
    {"header_with_other_number", utf16_file("Tavrel package files 2\na\n"), bad_header},
    {"path_before_header", utf16_file("a.txt\n" + with_header("b\n")), bad_header},
    {"empty_line", utf16_file(with_header("a\n\nb\n")), bad_path},
    {"line_of_carriage_returns", utf16_file(with_header("a\n\r\r\n")), bad_path},
    {"unterminated_last_line", utf16_file(with_header("a.txt\nb.txt")), incomplete},
    {"backslashes",
     utf16_file(with_header("dir\\sub\\file.txt\n")),
     std::nullopt,
     {"dir/sub/file.txt"}},
    {"case_duplicate", utf16_file(with_header("Dir/File.txt\ndir/file.TXT\n")), bad_path},
    {"separator_duplicate", utf16_file(with_header("dir/a\ndir\\a\n")), bad_path},
    {"unsafe_path", utf16_file(with_header("../evil.dll\n")), bad_path},
    {"reserved_device", utf16_file(with_header("ok.txt\ncom1.txt\n")), bad_path},
    {"uninstaller_at_root", utf16_file(with_header("Uninstall.exe\n")), bad_path},
    {"uninstaller_below",
     utf16_file(with_header("tools/uninstall.exe\n")),
     std::nullopt,
     {"tools/uninstall.exe"}},
    {"own_name", utf16_file(with_header(".Tavrel-Package-Files.txt\n")), bad_path},
    {"install_list", utf16_file(with_header(".TAVREL-INSTALL-FILES.TXT\n")), bad_path},
    {"non_ascii",
     utf16_file(with_header("\xC3\xA9t\xC3\xA9/\xE2\x82\xAC.txt\n")),
     std::nullopt,
     {"\xC3\xA9t\xC3\xA9/\xE2\x82\xAC.txt"}},
    {"line_of_900_units",
     utf16_file(with_header(units(900, 'x') + "\n")),
     std::nullopt,
     {units(900, 'x')}},
    {"crs_do_not_count",
     utf16_file(with_header(units(900, 'x') + "\r\r\n")),
     std::nullopt,
     {units(900, 'x')}},
    // Refused while it is read: the missing line feed would otherwise be the complaint.
    {"line_of_901_units", utf16_file(with_header(units(901, 'x'))), too_long},
    {"header_of_901_units", utf16_file(units(901, 'T') + "\n"), too_long},
    {"lone_surrogate", utf16_file(with_header("a")) + std::string("\x00\xD8\x0A\x00", 4),
     platform::error_description(platform::unicode_translation_error())},
};

INSTANTIATE_TEST_SUITE_P(table, manifest_file, ::testing::ValuesIn(manifest_cases),
                         [](const auto& info) { return std::string(info.param.name); });

class manifest_limits : public ::testing::Test {
  protected:
    fs::path write(const std::string& bytes) {
        const fs::path file = dir / "manifest.txt";
        test::write_bytes(file, bytes);
        return file;
    }
    test::temp_dir dir;
};

std::string numbered_paths(int count) {
    std::string lines;
    for (int i = 0; i < count; ++i)
        lines += "f" + std::to_string(i) + "\n";
    return lines;
}

TEST_F(manifest_limits, accepts_19999_paths_and_refuses_a_20000th) {
    std::vector<std::string> paths;
    read_package_manifest(write(utf16_file(with_header(numbered_paths(19999)))), paths);
    ASSERT_EQ(paths.size(), 19999u);
    EXPECT_EQ(paths.front(), "f0");
    EXPECT_EQ(paths.back(), "f19998");
    try {
        read_package_manifest(write(utf16_file(with_header(numbered_paths(20000)))), paths);
        ADD_FAILURE() << "accepted 20,000 paths";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), bad_path);
    }
}

// Carriage returns pad the file to the exact size limit without lengthening any line.
TEST_F(manifest_limits, reads_a_file_of_exactly_4_mib_and_refuses_one_unit_more) {
    const std::string start = utf16_file(with_header("a.txt"));
    const std::size_t padding = (0x400000 - start.size() - 2) / 2;
    std::string bytes = start;
    for (std::size_t i = 0; i < padding; ++i)
        bytes += std::string("\r\0", 2);
    bytes += std::string("\n\0", 2);
    ASSERT_EQ(bytes.size(), 0x400000u);
    std::vector<std::string> paths;
    read_package_manifest(write(bytes), paths);
    EXPECT_EQ(paths, std::vector<std::string>{"a.txt"});

    bytes.insert(start.size(), std::string("\r\0", 2));
    try {
        read_package_manifest(write(bytes), paths);
        ADD_FAILURE() << "accepted 4,194,306 bytes";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), bad_size);
    }
}

TEST_F(manifest_limits, reports_the_file_system_error_of_an_unreadable_file) {
    std::vector<std::string> paths;
    const fs::path missing = dir / "missing.txt";
    try {
        read_package_manifest(missing, paths);
        ADD_FAILURE() << "read a missing file";
    } catch (const file_system_error& e) {
        EXPECT_EQ(std::string(e.what()), "file_size: " + platform::error_description(ENOENT) +
                                             ": \"" + path_display_text(missing) + "\"");
    }
    EXPECT_THROW(read_package_manifest(dir.path(), paths), file_system_error);
}

} // namespace
} // namespace tavrel
