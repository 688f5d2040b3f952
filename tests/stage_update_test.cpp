#include "staging/stage_update.h"

#include "common/text.h"
#include "staging/package_manifest.h"
#include "staging/staging_directory.h"
#include "support/mapped_file.h"
#include "support/temp_tree.h"
#include "support/zip_builder.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <regex>

namespace tavrel {
namespace {

namespace fs = std::filesystem;
using test::directory_entry;
using test::file_entry;
using test::zip_entry_spec;

constexpr char not_regular[] = "The application directory is not a regular directory.";
constexpr char too_big[] = "The update archive exceeds the allowed size.";
constexpr char not_zip[] = "The update is not a valid ZIP archive.";
constexpr char entry_count[] = "The update archive has an invalid number of entries.";
constexpr char invalid_entry[] = "The update contains an invalid or symbolic-link entry.";
constexpr char unsafe[] = "The update contains an unsafe Windows path.";
constexpr char expansion[] = "The update contains duplicate paths or exceeds expansion limits.";
constexpr char file_and_dir[] = "The update uses one path as both a file and directory.";
constexpr char no_exe[] = "The update does not contain Tavrel.exe at its root.";
constexpr char corrupt[] = "An update file failed decompression or CRC validation.";
constexpr char cannot_write[] = "Could not write an update staging file.";
constexpr char mismatch[] = "The signed package manifest does not match its files.";
constexpr char already[] = "This update package has already been staged.";
constexpr char conflict[] = "An update destination conflicts with an existing file or directory.";
constexpr char link[] = "Update destinations must not contain symbolic links.";
constexpr char bad_header[] = "Invalid package manifest header.";
constexpr std::uint64_t mib = 1024 * 1024;

// Staging takes the bytes that the download check verified; here, a file's.
bool stage_file(update_transaction& transaction, const fs::path& archive, std::string& error) {
    const test::mapped_file bytes(archive);
    return stage_update(transaction, bytes.bytes(), error);
}

zip_entry_spec exe() {
    return file_entry("Tavrel.exe", "new exe", test::zip_deflated);
}

std::vector<zip_entry_spec> with_exe(std::vector<zip_entry_spec> entries) {
    entries.push_back(exe());
    return entries;
}

// The manifest format: UTF-16LE with its byte-order mark, the header line, one path a line.
std::string manifest(const std::vector<std::string>& paths) {
    std::string text = "Tavrel package files 1\r\n";
    for (const auto& p : paths)
        text += p + "\n";
    std::string bytes = "\xFF\xFE";
    for (const char16_t unit : utf8_to_utf16(text)) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    return bytes;
}

zip_entry_spec manifest_entry(const std::vector<std::string>& paths) {
    return file_entry(package_manifest_name, manifest(paths));
}

// "path" for an install entry, "-path" for a removal.
std::vector<std::string> describe(const std::vector<update_entry>& entries) {
    std::vector<std::string> out;
    for (const auto& e : entries) {
        EXPECT_FALSE(e.backed_up || e.installed);
        out.push_back((e.remove ? "-" : "") + path_to_utf8(e.relative_path));
    }
    return out;
}

// A file whose declared size is `size` while its data is a few bytes: enough to pass or fail
// the expansion limits, and to fail extraction afterwards.
zip_entry_spec declared_size(std::string name, std::uint64_t size) {
    zip_entry_spec e = file_entry(std::move(name), "tiny", test::zip_deflated);
    e.uncompressed_size = size;
    return e;
}

// "hello hello hello" compressed with bzip2 or LZMA (with its end marker).
zip_entry_spec compressed_hello(std::uint16_t method) {
    zip_entry_spec e = file_entry("hello.txt", "hello hello hello", method);
    if (method == test::zip_bzip2) {
        e.raw_data = std::string("BZh91AY&SY\x9E\x62\x5B\xFE\x00\x00\x02\x91\x00\x40\x00\x02\x44"
                                 "\xA0\x00\x21\x14\x60\x66\x82\x91\xEF\x23\x47\x0B\xB9\x22"
                                 "\x9C\x28\x48\x4F\x31\x2D\xFF\x00",
                                 45);
    } else {
        e.raw_data = std::string("\x09\x14\x05\x00\x5D\x00\x00\x01\x00\x00\x34\x19\x49\xEE"
                                 "\x8D\xE9\x4F\x7F\x35\xC5\xA3\xFF\xFF\x78\xA4\x00\x00",
                                 27);
        e.flags = 0x2;
    }
    return e;
}

std::vector<zip_entry_spec> many_directories(int count) {
    std::vector<zip_entry_spec> entries;
    for (int i = 0; i < count; ++i)
        entries.push_back(directory_entry("d" + std::to_string(i) + "/"));
    return entries;
}

// A name of exactly `length` bytes, ending in "/", made of components of at most 200 bytes.
std::string long_directory_name(std::size_t length) {
    std::string name;
    while (name.size() < length) {
        const std::size_t rest = length - name.size();
        std::size_t component = std::min<std::size_t>(rest - 1, 200);
        if (rest - component - 1 == 1)
            --component; // leave room for a last component of one byte
        name += std::string(component, 'n') + "/";
    }
    return name;
}

// Where the user may not make symbolic links, the cases that need one are skipped.
bool make_link(const fs::path& target, const fs::path& link) {
    std::error_code ec;
    if (fs::is_directory(target))
        fs::create_directory_symlink(target, link, ec);
    else
        fs::create_symlink(target, link, ec);
    return !ec;
}

// An installed application: what every case starts from.
class staging : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(app / "data");
        fs::create_directories(download);
        test::write_bytes(app / "Tavrel.exe", "old exe");
        test::write_bytes(app / "data/a.txt", "old a");
    }

    // Stages `archive_file` and checks that it fails with `message`, leaving the installed
    // tree and the archive as they were and the transaction unprepared.
    void expect_failure(const std::string& message, const fs::path& app_dir) {
        const auto before = test::snapshot_tree(app, staging_directory_prefix);
        const auto download_before = snapshot_download();
        update_transaction transaction(app_dir);
        std::string error = "stale";
        EXPECT_FALSE(stage_file(transaction, archive_file, error));
        EXPECT_EQ(error, message);
        EXPECT_FALSE(transaction.prepared);
        EXPECT_EQ(staged_executable_path(transaction), path());
        if (!transaction.staging_dir.empty()) {
            EXPECT_EQ(parent_path(transaction.staging_dir), fs::canonical(app));
            EXPECT_TRUE(path_to_utf8(file_name(transaction.staging_dir))
                            .starts_with(staging_directory_prefix));
        }
        EXPECT_EQ(test::snapshot_tree(app, staging_directory_prefix), before);
        EXPECT_EQ(snapshot_download(), download_before);
    }

    // A huge sparse archive is compared by its size only.
    test::tree_snapshot snapshot_download() const {
        if (fs::exists(archive_file) && fs::file_size(archive_file) > 64 * 1024 * 1024)
            return {{"update.zip", test::file_node(std::to_string(fs::file_size(archive_file)))}};
        return test::snapshot_tree(download);
    }
    void expect_failure(const std::string& message) { expect_failure(message, app); }

    void expect_failure(const std::vector<zip_entry_spec>& entries, const std::string& message) {
        test::write_zip(archive_file, entries);
        expect_failure(message);
    }

    test::temp_dir root;
    fs::path app = root / "app";
    fs::path download = root / "tavrel-download-1";
    fs::path archive_file = download / "update.zip";
};

struct failure_case {
    const char* name;
    std::function<std::string()> archive; // the bytes of update.zip
    std::string message;
};

std::ostream& operator<<(std::ostream& out, const failure_case& c) {
    return out << c.name;
}

class staging_failure : public staging, public ::testing::WithParamInterface<failure_case> {};

TEST_P(staging_failure, reports_the_message_and_changes_nothing_installed) {
    test::write_bytes(archive_file, GetParam().archive());
    expect_failure(GetParam().message);
}

std::function<std::string()> zip_of(std::vector<zip_entry_spec> entries,
                                    test::zip_options options = {}) {
    return [=] { return test::build_zip(entries, options); };
}

zip_entry_spec with(zip_entry_spec e, const std::function<void(zip_entry_spec&)>& change) {
    change(e);
    return e;
}

const failure_case failure_cases[] = {
    {"not_a_zip", [] { return std::string("PK\x03\x04 this is not an archive"); }, not_zip},
    {"bytes_after_the_end_record", zip_of({exe()}, {false, "junk", {}, {}}), not_zip},
    {"exact_duplicate_names", zip_of({exe(), exe()}), not_zip},
    {"local_name_differs", zip_of({with(exe(), [](auto& e) { e.local_name = "Tavrel.exx"; })}),
     not_zip},
    {"utf8_flagged_name_not_utf8",
     zip_of(with_exe({with(file_entry("\xE9.txt", "x"), [](auto& e) { e.flags = 0x800; })})),
     not_zip},
    {"no_entries", zip_of({}), entry_count},
    {"20001_entries", zip_of(with_exe(many_directories(20000))), entry_count},
    {"name_of_4096_bytes", zip_of(with_exe({directory_entry(long_directory_name(4096))})),
     invalid_entry},
    {"empty_name", zip_of(with_exe({file_entry("", "x")})), invalid_entry},
    // libzip would hand this name out as "a b.txt"; the stored bytes are judged instead.
    {"nul_inside_a_name", zip_of(with_exe({file_entry(std::string("a\0b.txt", 7), "x")})), unsafe},
    // A comment that starts like an end record must not throw the name walk off (and with it
    // the NUL test).
    {"nul_inside_a_name_and_an_end_record_in_the_comment",
     zip_of(with_exe({file_entry(std::string("a\0b.txt", 7), "x")}),
            {false, {}, std::string("PK\5\6", 4) + " begins this comment", {}}),
     unsafe},
    // Two end records that each end the data: the walk and libzip may take different ones.
    {"end_record_in_the_comment_that_also_ends_the_data",
     zip_of({exe()}, {false, {}, std::string("PK\5\6", 4) + std::string(18, '\0'), {}}), not_zip},
    {"comment_longer_than_the_data", zip_of({exe()}, {false, {}, "x", 2}), not_zip},
    {"unix_symbolic_link", zip_of(with_exe({test::symlink_entry("link", "/etc/passwd")})),
     invalid_entry},
    {"symbolic_link_before_path_rule", zip_of(with_exe({test::symlink_entry("../up", "/")})),
     invalid_entry},
    {"parent_component", zip_of(with_exe({file_entry("../evil.dll", "x")})), unsafe},
    {"backslash", zip_of(with_exe({file_entry("data\\evil.dll", "x")})), unsafe},
    {"drive", zip_of(with_exe({file_entry("C:/evil.dll", "x")})), unsafe},
    {"device", zip_of(with_exe({file_entry("lib/Com1.dll", "x")})), unsafe},
    {"staging_name", zip_of(with_exe({file_entry(".tavrel-update-1-2/new/x", "x")})), unsafe},
    {"unsafe_directory_entry", zip_of(with_exe({directory_entry("a/../")})), unsafe},
    {"name_not_utf8", zip_of(with_exe({file_entry("\xE9.txt", "x")})),
     platform::error_description(platform::unicode_translation_error())},
    {"case_duplicate_files",
     zip_of(with_exe({file_entry("Readme.txt", "1"), file_entry("README.TXT", "2")})), expansion},
    {"file_above_256_mib", zip_of(with_exe({declared_size("big.bin", 256 * mib + 1)})), expansion},
    {"sum_above_2_gib",
     zip_of(with_exe({declared_size("1", 256 * mib), declared_size("2", 256 * mib),
                      declared_size("3", 256 * mib), declared_size("4", 256 * mib),
                      declared_size("5", 256 * mib), declared_size("6", 256 * mib),
                      declared_size("7", 256 * mib), declared_size("8", 256 * mib - 7),
                      declared_size("9", 1)})),
     expansion},
    {"file_and_directory", zip_of(with_exe({file_entry("a", "1"), file_entry("a/b", "2")})),
     file_and_dir},
    {"file_and_directory_folded",
     zip_of(with_exe({file_entry("lib/x.dll", "1"), file_entry("Lib", "2")})), file_and_dir},
    {"only_directories", zip_of({directory_entry("a/"), directory_entry("Tavrel.exe/")}), no_exe},
    {"lower_case_executable", zip_of({file_entry("tavrel.exe", "x")}), no_exe},
    {"executable_not_at_root", zip_of({file_entry("bin/Tavrel.exe", "x")}), no_exe},
    {"corrupted_crc",
     zip_of(with_exe({with(file_entry("a.bin", "abc"), [](auto& e) { e.crc = 0x12345678; })})),
     corrupt},
    {"corrupted_crc_deflated",
     zip_of(with_exe({with(file_entry("a.bin", "abc", test::zip_deflated),
                           [](auto& e) { e.crc = 0x12345678; })})),
     corrupt},
    {"empty_file_with_crc",
     zip_of(with_exe({with(file_entry("empty", ""), [](auto& e) { e.crc = 1; })})), corrupt},
    {"encrypted",
     zip_of(with_exe({with(file_entry("secret", "abc"), [](auto& e) { e.flags = 1; })})), corrupt},
    // Real streams: libzip would inflate the bzip2 one, but updates use stored and deflate only.
    {"bzip2", zip_of(with_exe({compressed_hello(test::zip_bzip2)})), corrupt},
    {"lzma", zip_of(with_exe({compressed_hello(test::zip_lzma)})), corrupt},
    {"inflates_to_more_than_declared",
     zip_of(with_exe({with(file_entry("long", "abcdef", test::zip_deflated),
                           [](auto& e) {
                               e.uncompressed_size = 3;
                               e.crc = test::crc32_of("abc");
                           })})),
     corrupt},
    {"inflates_to_less_than_declared",
     zip_of(with_exe({with(file_entry("short", "abc", test::zip_deflated),
                           [](auto& e) { e.uncompressed_size = 6; })})),
     corrupt},
    {"truncated_deflate_stream",
     zip_of(with_exe({with(file_entry("cut", "abcdef", test::zip_deflated),
                           [](auto& e) { e.raw_data = std::string("\x00\x06\x00", 3); })})),
     corrupt},
    {"manifest_omits_a_file",
     zip_of(with_exe({file_entry("a.txt", "a"), manifest_entry({"Tavrel.exe"})})), mismatch},
    {"manifest_names_a_missing_file",
     zip_of(with_exe({manifest_entry({"Tavrel.exe", "gone.txt"})})), mismatch},
    {"manifest_invalid",
     zip_of(with_exe({file_entry(package_manifest_name, std::string("\xFF\xFEx\0\n\0", 6))})),
     bad_header},
    {"file_where_a_directory_is_installed", zip_of(with_exe({file_entry("data", "x")})), conflict},
    {"directory_where_a_file_is_installed", zip_of({file_entry("Tavrel.exe/x", "x")}), conflict},
};

INSTANTIATE_TEST_SUITE_P(table, staging_failure, ::testing::ValuesIn(failure_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(staging, refuses_an_application_directory_that_is_missing_a_file_or_a_link) {
    test::write_zip(archive_file, {exe()});
    expect_failure(not_regular, root / "missing");
    test::write_bytes(root / "file", "x");
    expect_failure(not_regular, root / "file");
    if (!make_link(app, root / "app_link"))
        GTEST_SKIP() << "symbolic links cannot be made here";
    expect_failure(not_regular, root / "app_link");
}

TEST_F(staging, refuses_empty_and_oversized_archives_before_opening_them) {
    test::write_bytes(archive_file, "");
    expect_failure(too_big);
    // Sparse: 512 MiB of zeros are no archive, but their size passes; one byte more does not.
    test::write_bytes(archive_file, "");
    fs::resize_file(archive_file, 536870912);
    expect_failure(not_zip);
    fs::resize_file(archive_file, 536870913);
    expect_failure(too_big);
}

TEST_F(staging, refuses_a_link_on_the_way_to_a_package_file) {
    if (!make_link(app / "data", app / "shortcut"))
        GTEST_SKIP() << "symbolic links cannot be made here";
    expect_failure(with_exe({file_entry("shortcut/b.txt", "x")}), link);
}

TEST_F(staging, refuses_an_invalid_or_linked_installed_manifest) {
    const auto entries = with_exe({manifest_entry({"Tavrel.exe"})});
    test::write_bytes(app / package_manifest_name, "\xFF\xFE");
    expect_failure(entries, "Incomplete package manifest.");
    fs::remove(app / package_manifest_name);
    test::write_bytes(app / "real-manifest.txt", manifest({"data/a.txt"}));
    if (!make_link(app / "real-manifest.txt", app / package_manifest_name))
        GTEST_SKIP() << "symbolic links cannot be made here";
    expect_failure(entries, link);
}

TEST_F(staging, refuses_a_removal_through_a_link) {
    test::write_bytes(app / package_manifest_name, manifest({"Tavrel.exe", "shortcut/a.txt"}));
    if (!make_link(app / "data", app / "shortcut"))
        GTEST_SKIP() << "symbolic links cannot be made here";
    expect_failure(with_exe({manifest_entry({"Tavrel.exe"})}), link);
}

struct injected_case {
    const char* operation;
    std::string message; // the path is appended for file-system errors
    bool names_staging_dir;
};

TEST_F(staging, reports_failures_of_the_file_system_while_staging) {
    const injected_case cases[] = {
        {"create_directory:1", "create_directory: " + platform::error_description(EIO), true},
        {"clear_read_only:1", "permissions: " + platform::error_description(EIO), true},
        {"write:2", cannot_write, false},
    };
    test::write_zip(archive_file, with_exe({file_entry("a.txt", "a")}));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.operation);
        const auto before = test::snapshot_tree(app, staging_directory_prefix);
        update_transaction transaction(app);
        std::string error;
        {
            const test::injected_failure failure(c.operation);
            EXPECT_FALSE(stage_file(transaction, archive_file, error));
        }
        std::string expected = c.message;
        if (c.names_staging_dir) {
            ASSERT_EQ(error.rfind(expected + ": \"", 0), 0u) << error;
            EXPECT_TRUE(error.find(staging_directory_prefix) != std::string::npos) << error;
        } else {
            EXPECT_EQ(error, expected);
            // The first file was staged before the second write failed.
            EXPECT_EQ(describe(transaction.entries), std::vector<std::string>{"a.txt"});
        }
        EXPECT_FALSE(transaction.prepared);
        EXPECT_EQ(test::snapshot_tree(app, staging_directory_prefix), before);
    }
}

TEST_F(staging, stages_files_in_archive_order_below_new) {
    const std::string big(300000, 'z'); // several deflate blocks
    test::write_zip(archive_file, {directory_entry("bin/"), file_entry("bin/tool.dll", "tool"),
                                   file_entry("data/a.txt", "new a", test::zip_deflated), exe(),
                                   file_entry("empty.txt", ""), file_entry("big.bin", big),
                                   file_entry("\xC3\xA9t\xC3\xA9/\xE2\x82\xAC.txt", "euro")});
    const auto before = test::snapshot_tree(app, staging_directory_prefix);
    update_transaction transaction(root / "app/../app");
    std::string error = "stale";
    ASSERT_TRUE(stage_file(transaction, archive_file, error)) << error;
    EXPECT_EQ(error, "");
    EXPECT_TRUE(transaction.prepared);
    EXPECT_EQ(transaction.app_dir, fs::canonical(app));
    EXPECT_EQ(describe(transaction.entries),
              (std::vector<std::string>{"bin/tool.dll", "data/a.txt", "Tavrel.exe", "empty.txt",
                                        "big.bin", "\xC3\xA9t\xC3\xA9/\xE2\x82\xAC.txt"}));
    // ".tavrel-update-" and two decimal numbers without leading zeros.
    const std::string name = path_to_utf8(file_name(transaction.staging_dir));
    EXPECT_TRUE(std::regex_match(name, std::regex(R"(\.tavrel-update-(0|[1-9]\d*)-(0|[1-9]\d*))")))
        << name;
    EXPECT_EQ(parent_path(transaction.staging_dir), transaction.app_dir);
    EXPECT_EQ(staged_executable_path(transaction), transaction.staging_dir / "new/Tavrel.exe");

    const test::tree_snapshot expected = {
        {"bin", test::directory_node()},
        {"bin/tool.dll", test::file_node("tool")},
        {"data", test::directory_node()},
        {"data/a.txt", test::file_node("new a")},
        {"Tavrel.exe", test::file_node("new exe")},
        {"empty.txt", test::file_node("")},
        {"big.bin", test::file_node(big)},
        {"\xC3\xA9t\xC3\xA9", test::directory_node()},
        {"\xC3\xA9t\xC3\xA9/\xE2\x82\xAC.txt", test::file_node("euro")},
    };
    EXPECT_EQ(test::snapshot_tree(transaction.staging_dir / "new"), expected);
    EXPECT_EQ(test::snapshot_tree(transaction.staging_dir).size(), expected.size() + 1);
    EXPECT_EQ(test::snapshot_tree(app, staging_directory_prefix), before);

    // A second call changes nothing, whatever it is given.
    const auto staged = test::snapshot_tree(app);
    EXPECT_FALSE(stage_update(transaction, {}, error));
    EXPECT_EQ(error, already);
    EXPECT_EQ(transaction.entries.size(), 6u);
    EXPECT_TRUE(transaction.prepared);
    EXPECT_EQ(test::snapshot_tree(app), staged);
}

TEST_F(staging, refuses_a_transaction_whose_staging_directory_is_set) {
    test::write_zip(archive_file, {exe()});
    update_transaction transaction(app);
    transaction.staging_dir = app / ".tavrel-update-1-2";
    std::string error;
    EXPECT_FALSE(stage_file(transaction, archive_file, error));
    EXPECT_EQ(error, already);
    EXPECT_EQ(transaction.app_dir, app);
    EXPECT_FALSE(fs::exists(transaction.staging_dir));
}

struct accepted_case {
    const char* name;
    std::function<std::vector<zip_entry_spec>()> entries;
    test::zip_options options;
    std::vector<std::string> staged; // the install entries
};

std::ostream& operator<<(std::ostream& out, const accepted_case& c) {
    return out << c.name;
}

class staging_accepted : public staging, public ::testing::WithParamInterface<accepted_case> {};

TEST_P(staging_accepted, stages_exactly_the_files) {
    test::write_zip(archive_file, GetParam().entries(), GetParam().options);
    update_transaction transaction(app);
    std::string error;
    ASSERT_TRUE(stage_file(transaction, archive_file, error)) << error;
    EXPECT_EQ(describe(transaction.entries), GetParam().staged);
    std::size_t files = 0;
    for (const auto& [relative, node] : test::snapshot_tree(transaction.staging_dir / "new"))
        files += node.type == test::node_type::file;
    EXPECT_EQ(files, GetParam().staged.size());
}

const accepted_case accepted_cases[] = {
    {"dos_directory_without_slash",
     [] {
         return with_exe(
             {with(file_entry("docs", ""), [](auto& e) { e.external_attributes = 0x10; })});
     },
     {},
     {"Tavrel.exe"}},
    {"20000_entries", [] { return with_exe(many_directories(19999)); }, {}, {"Tavrel.exe"}},
    {"name_of_4095_bytes",
     [] { return with_exe({directory_entry(long_directory_name(4095))}); },
     {},
     {"Tavrel.exe"}},
    {"case_duplicate_directories",
     [] {
         return with_exe({directory_entry("Dir/"), directory_entry("DIR/")});
     },
     {},
     {"Tavrel.exe"}},
    {"directory_entry_and_file_of_one_name",
     [] {
         return with_exe({directory_entry("a/"), file_entry("a", "file")});
     },
     {},
     {"a", "Tavrel.exe"}},
    {"zip64",
     [] {
         auto entries = with_exe({file_entry("data/x.bin", "64", test::zip_deflated)});
         for (auto& e : entries)
             e.zip64 = true;
         return entries;
     },
     {true, {}, {}, {}},
     {"data/x.bin", "Tavrel.exe"}},
    {"comment_holding_end_records",
     [] { return with_exe({file_entry("a.txt", "a")}); },
     {false, {}, std::string("PK\5\6", 4) + std::string(18, '\0') + "then PK\5\6 again", {}},
     {"a.txt", "Tavrel.exe"}},
    {"manifest_in_another_letter_case",
     [] {
         return with_exe(
             {file_entry("Data/B.txt", "b"), manifest_entry({"TAVREL.EXE", "data\\b.TXT"})});
     },
     {},
     {"Data/B.txt", ".tavrel-package-files.txt", "Tavrel.exe"}},
};

INSTANTIATE_TEST_SUITE_P(table, staging_accepted, ::testing::ValuesIn(accepted_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// Sizes exactly at the limits pass the expansion test; these entries then fail to inflate.
TEST_F(staging, accepts_sizes_exactly_at_the_limits) {
    expect_failure(with_exe({declared_size("big.bin", 256 * mib)}), corrupt);
    std::vector<zip_entry_spec> entries;
    for (int i = 0; i < 7; ++i)
        entries.push_back(declared_size(std::to_string(i), 256 * mib));
    entries.push_back(declared_size("7", 256 * mib - 7));
    expect_failure(with_exe(entries), corrupt); // Tavrel.exe's 7 bytes make exactly 2 GiB
}

TEST_F(staging, stages_an_archive_written_by_libzip) {
    std::vector<test::zip_content> files = {{"Tavrel.exe", std::string(100000, 'e')},
                                            {"lib/one.dll", "one"},
                                            {"lib/sub/two.dll", std::string(5000, '2')}};
    for (int i = 0; i < 50; ++i)
        files[0].content += std::to_string(i * i);
    test::write_zip_with_libzip(archive_file, files);
    update_transaction transaction(app);
    std::string error;
    ASSERT_TRUE(stage_file(transaction, archive_file, error)) << error;
    for (const auto& f : files)
        EXPECT_EQ(test::read_bytes(transaction.staging_dir / "new" / f.name), f.content);
}

TEST_F(staging, derives_removals_from_the_installed_manifest) {
    test::write_bytes(app / "old.dll", "old");
    test::write_bytes(app / "data/old.txt", "old");
    test::write_bytes(app / package_manifest_name, manifest({"Tavrel.exe", "old.dll", "gone.dll",
                                                             "DATA/A.TXT", "data/old.txt"}));
    test::write_zip(archive_file, {manifest_entry({"Tavrel.exe", "data/a.txt"}),
                                   file_entry("data/a.txt", "new a"), exe()});
    const auto before = test::snapshot_tree(app, staging_directory_prefix);
    update_transaction transaction(app);
    std::string error;
    ASSERT_TRUE(stage_file(transaction, archive_file, error)) << error;
    // Files first in archive order, then removals in the installed manifest's order (not a
    // sorted one); the missing gone.dll and the kept data/a.txt are not removed.
    EXPECT_EQ(describe(transaction.entries),
              (std::vector<std::string>{".tavrel-package-files.txt", "data/a.txt", "Tavrel.exe",
                                        "-old.dll", "-data/old.txt"}));
    EXPECT_EQ(test::snapshot_tree(app, staging_directory_prefix), before);
}

TEST_F(staging, ignores_the_installed_manifest_when_the_package_has_none) {
    test::write_bytes(app / "old.dll", "old");
    test::write_bytes(app / package_manifest_name, manifest({"Tavrel.exe", "old.dll"}));
    test::write_zip(archive_file, {exe()});
    update_transaction transaction(app);
    std::string error;
    ASSERT_TRUE(stage_file(transaction, archive_file, error)) << error;
    EXPECT_EQ(describe(transaction.entries), std::vector<std::string>{"Tavrel.exe"});
}

TEST_F(staging, takes_20000_entries_with_removals_and_no_more) {
    std::vector<std::string> installed;
    for (int i = 0; i < 19999; ++i)
        installed.push_back("f" + std::to_string(i));
    for (const auto& name : installed)
        test::write_bytes(app / name, "");
    test::write_bytes(app / package_manifest_name, manifest(installed));
    // Two package files (Tavrel.exe and the manifest) plus 19,999 removals.
    expect_failure(with_exe({manifest_entry({"Tavrel.exe"})}),
                   "Too many package replacement and removal entries.");
    // One installed file fewer: 19,998 removals, 20,000 entries.
    fs::remove(app / installed.back());
    update_transaction transaction(app);
    std::string error;
    ASSERT_TRUE(stage_file(transaction, archive_file, error)) << error;
    EXPECT_EQ(transaction.entries.size(), 20000u);
}

// Scripted draws make the staging directory's name predictable.
class staging_directory : public ::testing::Test {
  protected:
    std::function<std::uint32_t()> draws(std::vector<std::uint32_t> values) {
        return [this, values] { return values.at(drawn++ % values.size()); };
    }
    test::temp_dir root;
    std::size_t drawn = 0;
};

TEST_F(staging_directory, is_named_by_the_second_then_the_first_number) {
    const path created = create_staging_directory(root.path(), draws({7, 4294967295u}));
    EXPECT_EQ(created, root / ".tavrel-update-4294967295-7");
    EXPECT_TRUE(fs::is_directory(created));
    EXPECT_EQ(drawn, 2u);
}

TEST_F(staging_directory, draws_again_when_a_directory_has_the_name) {
    fs::create_directory(root / ".tavrel-update-2-1");
    const path created = create_staging_directory(root.path(), draws({1, 2, 0, 10}));
    EXPECT_EQ(created, root / ".tavrel-update-10-0");
    EXPECT_EQ(drawn, 4u);
}

TEST_F(staging_directory, fails_when_a_file_has_the_name) {
    test::write_bytes(root / ".tavrel-update-2-1", "file");
    try {
        create_staging_directory(root.path(), draws({1, 2}));
        ADD_FAILURE() << "created a directory";
    } catch (const file_system_error& e) {
        EXPECT_EQ(
            std::string(e.what()),
            "create_directory: " + platform::error_description(platform::already_exists_error()) +
                ": \"" + path_display_text(root / ".tavrel-update-2-1") + "\"");
    }
    EXPECT_EQ(test::read_bytes(root / ".tavrel-update-2-1"), "file");
}

TEST_F(staging_directory, gives_up_after_16_attempts) {
    fs::create_directory(root / ".tavrel-update-2-1");
    const auto before = test::snapshot_tree(root.path());
    try {
        create_staging_directory(root.path(), draws({1, 2}));
        ADD_FAILURE() << "created a directory";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Could not create an update staging directory.");
    }
    EXPECT_EQ(drawn, 32u);
    EXPECT_EQ(test::snapshot_tree(root.path()), before);
}

} // namespace
} // namespace tavrel
