// tavrel-pack: reproducible packages that the updater accepts, and refusal of every tree that
// it would refuse.
#include "install/transaction.h"
#include "staging/package_manifest.h"
#include "staging/stage_update.h"
#include "support/mapped_file.h"
#include "support/programs.h"
#include "support/temp_tree.h"

#include <gtest/gtest.h>

#include <zip.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace {

namespace fs = std::filesystem;
using tavrel::test::read_bytes;

void write_bytes(const fs::path& p, const std::string& bytes) {
    fs::create_directories(p.parent_path());
    tavrel::test::write_bytes(p, bytes);
}

// A file of `size` zero bytes that takes no room on disk.
void sparse_file(const fs::path& p, std::uintmax_t size) {
    write_bytes(p, "");
    fs::resize_file(p, size);
}

tavrel::test::run_result pack(const fs::path& source, const fs::path& output) {
    return tavrel::test::run(tavrel::test::program("tavrel-pack"),
                             {source.string(), output.string()});
}

struct zip_entry {
    std::string name;
    std::string bytes;
    zip_uint16_t method = 0;
    zip_uint32_t attributes = 0;
    bool operator==(const zip_entry&) const = default;
};

std::vector<zip_entry> read_archive(const fs::path& file) {
    int code = 0;
    zip_t* archive = zip_open(file.c_str(), ZIP_RDONLY, &code);
    EXPECT_NE(archive, nullptr) << code;
    std::vector<zip_entry> entries;
    if (!archive)
        return entries;
    for (zip_int64_t i = 0; i < zip_get_num_entries(archive, 0); ++i) {
        zip_stat_t stat;
        zip_stat_index(archive, i, 0, &stat);
        zip_entry entry{stat.name, std::string(stat.size, '\0'), stat.comp_method, 0};
        zip_uint8_t system = 0;
        zip_file_get_external_attributes(archive, i, 0, &system, &entry.attributes);
        zip_file_t* f = zip_fopen_index(archive, i, 0);
        zip_fread(f, entry.bytes.data(), stat.size);
        zip_fclose(f);
        entries.push_back(entry);
    }
    zip_close(archive);
    return entries;
}

std::string utf16le(const std::u16string& text) {
    std::string bytes = "\xFF\xFE";
    for (const char16_t unit : text) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}

class tavrel_pack_test : public ::testing::Test {
  protected:
    void SetUp() override {
        source = temp / "source";
        write_bytes(source / "Tavrel.exe", "executable");
        write_bytes(source / "lib" / "sub" / "a.dll", std::string(5000, 'a'));
        write_bytes(source / "caf\xC3\xA9.txt", "accented");
        write_bytes(source / "sub" / "uninstall.exe", "only reserved at the root");
        write_bytes(source / "empty.txt", "");
        fs::create_directories(source / "nothing" / "inside");
    }

    tavrel::test::temp_dir temp;
    fs::path source;
};

TEST_F(tavrel_pack_test, packs_every_file_with_its_manifest_in_sorted_order) {
    const auto result = pack(source, temp / "update.zip");
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.err, "");

    const std::string manifest = utf16le(u"Tavrel package files 1\n"
                                         u"Tavrel.exe\n"
                                         u"caf\u00E9.txt\n"
                                         u"empty.txt\n"
                                         u"lib/sub/a.dll\n"
                                         u"sub/uninstall.exe\n");
    const zip_uint32_t regular = 0100644u << 16;
    const std::vector<zip_entry> expected = {
        {".tavrel-package-files.txt", manifest, ZIP_CM_DEFLATE, regular},
        {"Tavrel.exe", "executable", ZIP_CM_DEFLATE, regular},
        {"caf\xC3\xA9.txt", "accented", ZIP_CM_DEFLATE, regular},
        {"empty.txt", "", ZIP_CM_DEFLATE, regular},
        {"lib/sub/a.dll", std::string(5000, 'a'), ZIP_CM_DEFLATE, regular},
        {"sub/uninstall.exe", "only reserved at the root", ZIP_CM_DEFLATE, regular},
    };
    EXPECT_EQ(read_archive(temp / "update.zip"), expected);

    // The updater's own reader accepts the manifest.
    write_bytes(temp / "manifest", manifest);
    std::vector<std::string> paths;
    tavrel::read_package_manifest(temp / "manifest", paths);
    EXPECT_EQ(paths, (std::vector<std::string>{"Tavrel.exe", "caf\xC3\xA9.txt", "empty.txt",
                                               "lib/sub/a.dll", "sub/uninstall.exe"}));
}

TEST_F(tavrel_pack_test, the_same_tree_gives_the_same_bytes) {
    ASSERT_EQ(pack(source, temp / "first.zip").exit_code, 0);
    // Other time stamps, another time zone, another output name: the same archive.
    fs::last_write_time(source / "Tavrel.exe", fs::file_time_type::clock::now());
    ::chmod((source / "empty.txt").c_str(), 0600);
    const auto result = tavrel::test::run(
        tavrel::test::program("tavrel-pack"), {source.string(), (temp / "second.zip").string()},
        tavrel::test::with_environment({{"TZ", "Pacific/Kiritimati"}}));
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(read_bytes(temp / "first.zip"), read_bytes(temp / "second.zip"));
}

TEST_F(tavrel_pack_test, the_package_stages) {
    ASSERT_EQ(pack(source, temp / "update.zip").exit_code, 0);
    const fs::path app = temp / "app";
    write_bytes(app / "Tavrel.exe", "installed");
    tavrel::update_transaction transaction(app);
    std::string error;
    const tavrel::test::mapped_file archive(temp / "update.zip");
    ASSERT_TRUE(tavrel::stage_update(transaction, archive.bytes(), error)) << error;
    EXPECT_TRUE(transaction.prepared);
    std::vector<std::string> staged;
    for (const auto& entry : transaction.entries) {
        EXPECT_FALSE(entry.remove);
        staged.push_back(entry.relative_path.generic_string());
    }
    EXPECT_EQ(staged, (std::vector<std::string>{".tavrel-package-files.txt", "Tavrel.exe",
                                                "caf\xC3\xA9.txt", "empty.txt", "lib/sub/a.dll",
                                                "sub/uninstall.exe"}));
    EXPECT_EQ(read_bytes(transaction.staging_dir / "new" / "lib" / "sub" / "a.dll"),
              std::string(5000, 'a'));
}

TEST_F(tavrel_pack_test, refuses_what_the_updater_would_refuse) {
    struct case_data {
        const char* name;
        std::function<void(const fs::path&)> change;
        std::string message;
    };
    const case_data cases[] = {
        {"unsafe name", [](const fs::path& s) { write_bytes(s / "a:b.txt", "x"); },
         "unsafe package path: \"a:b.txt\""},
        {"reserved device name deeper down",
         [](const fs::path& s) { write_bytes(s / "lib" / "Con.tar.gz", "x"); },
         "unsafe package path: \"lib/Con.tar.gz\""},
        {"name ending in a full stop", [](const fs::path& s) { write_bytes(s / "name.", "x"); },
         "unsafe package path: \"name.\""},
        {"staging prefix", [](const fs::path& s) { write_bytes(s / ".tavrel-update-1" / "x", ""); },
         "unsafe package path: \".tavrel-update-1/x\""},
        {"uninstaller at the root", [](const fs::path& s) { write_bytes(s / "Uninstall.exe", ""); },
         "reserved name at the package root: \"Uninstall.exe\""},
        {"manifest already present",
         [](const fs::path& s) { write_bytes(s / ".tavrel-package-files.txt", ""); },
         "reserved name at the package root: \".tavrel-package-files.txt\""},
        {"installed manifest",
         [](const fs::path& s) { write_bytes(s / ".TAVREL-INSTALL-FILES.TXT", ""); },
         "reserved name at the package root: \".TAVREL-INSTALL-FILES.TXT\""},
        {"link to a file",
         [](const fs::path& s) { fs::create_symlink(s / "Tavrel.exe", s / "lib" / "link"); },
         "symbolic links cannot be packaged: \"lib/link\""},
        {"link to a directory",
         [](const fs::path& s) { fs::create_directory_symlink(s / "lib", s / "more"); },
         "symbolic links cannot be packaged: \"more\""},
        {"named pipe", [](const fs::path& s) { ::mkfifo((s / "pipe").c_str(), 0600); },
         "not a regular file: \"pipe\""},
        {"names differing in case",
         [](const fs::path& s) {
             write_bytes(s / "Readme.txt", "1");
             write_bytes(s / "README.TXT", "2");
         },
         "paths differ only in letter case: \"README.TXT\" and \"Readme.txt\""},
        {"file and directory",
         [](const fs::path& s) {
             write_bytes(s / "Lib", "file");
             write_bytes(s / "lib" / "x.dll", "below");
         },
         "path used both as a file and as a directory: \"Lib\" and \"lib/sub/a.dll\""},
        {"executable in lower case",
         [](const fs::path& s) { fs::rename(s / "Tavrel.exe", s / "tavrel.exe"); },
         "the package has no Tavrel.exe at its root"},
        {"executable below the root",
         [](const fs::path& s) { fs::rename(s / "Tavrel.exe", s / "lib" / "Tavrel.exe"); },
         "the package has no Tavrel.exe at its root"},
        {"name that is not UTF-8", [](const fs::path& s) { write_bytes(s / "\xFF.txt", ""); },
         "file name is not valid UTF-8: \"\xFF.txt\""},
        {"manifest line of 901 units",
         [](const fs::path& s) {
             write_bytes(s / std::string(200, 'd') / std::string(200, 'e') / std::string(200, 'f') /
                             std::string(200, 'g') / std::string(97, 'h'),
                         "");
         },
         "path longer than 900 UTF-16 code units in the package file manifest: \"" +
             std::string(200, 'd') + "/" + std::string(200, 'e') + "/" + std::string(200, 'f') +
             "/" + std::string(200, 'g') + "/" + std::string(97, 'h') + "\""},
        {"file over 256 MiB", [](const fs::path& s) { sparse_file(s / "big.bin", 268435457); },
         "file larger than 256 MiB: \"big.bin\""},
        {"files over 2 GiB together",
         [](const fs::path& s) {
             for (int i = 0; i < 8; ++i)
                 sparse_file(s / ("big" + std::to_string(i)), 268435456);
         },
         "the files exceed 2 GiB in total at \"big7\""},
        {"20,000 files",
         [](const fs::path& s) {
             for (int i = 0; i < 19995; ++i)
                 tavrel::test::write_bytes(s / "nothing" / std::to_string(i), "");
         },
         "too many files: 20000 (at most 19999)"},
    };
    for (const case_data& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(source);
        SetUp();
        c.change(source);
        const fs::path output = temp / "update.zip";
        fs::remove(output);
        const auto result = pack(source, output);
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_EQ(result.err, "tavrel-pack: " + c.message + "\n");
        EXPECT_FALSE(fs::exists(output));
    }
}

TEST_F(tavrel_pack_test, limits_that_are_reached_exactly_are_accepted) {
    // 19,999 files, one manifest line of 900 units.
    const std::string long_name = std::string(200, 'd') + "/" + std::string(200, 'e') + "/" +
                                  std::string(200, 'f') + "/" + std::string(200, 'g') + "/" +
                                  std::string(96, 'h');
    ASSERT_EQ(long_name.size(), 900u);
    write_bytes(source / long_name, "long");
    for (int i = 0; i < 19993; ++i)
        tavrel::test::write_bytes(source / "nothing" / std::to_string(i), "");
    const auto result = pack(source, temp / "update.zip");
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(read_archive(temp / "update.zip").size(), 20000u);
}

TEST_F(tavrel_pack_test, wrong_usage) {
    struct case_data {
        std::vector<std::string> args;
        int exit_code;
        std::string message;
    };
    const case_data cases[] = {
        {{}, 2, "usage: tavrel-pack SOURCE_DIR OUTPUT_ZIP\n"},
        {{source.string()}, 2, "usage: tavrel-pack SOURCE_DIR OUTPUT_ZIP\n"},
        {{source.string(), "a.zip", "b"}, 2, "usage: tavrel-pack SOURCE_DIR OUTPUT_ZIP\n"},
        {{(source / "Tavrel.exe").string(), (temp / "x.zip").string()},
         1,
         "tavrel-pack: not a directory: \"" + (source / "Tavrel.exe").string() + "\"\n"},
    };
    for (const case_data& c : cases) {
        const auto result = tavrel::test::run(tavrel::test::program("tavrel-pack"), c.args);
        EXPECT_EQ(result.exit_code, c.exit_code);
        EXPECT_EQ(result.err.substr(0, c.message.size()), c.message);
    }
}

} // namespace
