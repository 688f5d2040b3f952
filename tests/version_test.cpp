// Versions: the requested one parsed with the stream rules, the rule that binds the signed
// version to it and above the current one, the file version read from PE resources and ELF notes
// (the images in tests/data/versions), and tavrel-set-version, which stamps it.
#include "auth/version.h"
#include "common/text.h"
#include "support/case_table.h"
#include "support/temp_tree.h"
#ifndef _WIN32 // the ELF note and tavrel-set-version, a Linux tool, are tested on Linux only
#include "platform/posix/version_reader.h"
#include "support/programs.h"
#endif

#include <gtest/gtest.h>

#ifndef _WIN32
// This test program carries a version note like the demo application's, file version 2.0.3.0,
// so that the ELF reader and tavrel-set-version meet a note that the real toolchain placed.
asm(".pushsection .note.tavrel.version,\"a\",@note\n"
    ".balign 4\n .long 7\n .long 52\n .long 0x56534649\n .asciz \"Tavrel\"\n .balign 4\n"
    ".long 0xFEEF04BD, 0x00010000, 0x00020000, 0x00030000, 0x00020000, 0x00030000, 0x3F, 0, "
    "0x40004, 1, 0, 0, 0\n"
    ".popsection\n");
#endif

namespace tavrel {
namespace {

namespace fs = std::filesystem;
const fs::path images = fs::path(TAVREL_TESTDATA_DIR) / "versions";
const std::string unreadable = "The application version could not be read.";
const std::string invalid_resource = "The application version resource is invalid.";
const std::string refused =
    "The signed update version does not match the feed or would downgrade Tavrel.";

std::string text_of(const app_version& v) {
    return std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.patch);
}

// The version read, or the message of the failure.
std::string read(const fs::path& file) {
    try {
        return text_of(read_file_version(file));
    } catch (const std::runtime_error& e) {
        return e.what();
    }
}

app_version version_of(const std::string& text) {
    return parse_version(to_native(text));
}

TEST(version, parsing_and_the_rule) {
    for (const test::case_row& c : test::read_cases("versions")) {
        SCOPED_TRACE(c[0] + " \"" + c[1] + "\"");
        if (c[0] == "parse") {
            std::string parsed = "-";
            const std::string error = test::error_of([&] { parsed = text_of(version_of(c[1])); });
            EXPECT_EQ(parsed, c[2]);
            EXPECT_TRUE(error.empty() || error == "The requested update version is invalid.");
        } else {
            const std::string error =
                test::error_of([&] { check_version_rule(version_of(c[1]), version_of(c[2])); });
            EXPECT_EQ(error.empty() ? "yes" : error, c[3] == "yes" ? c[3] : refused);
        }
    }
    EXPECT_EQ(current_app_version(), (app_version{2, 0, 3}));
    // Another installed version, for the publisher's check.
    EXPECT_NO_THROW(check_version_rule({2, 0, 3}, {2, 0, 3}, {2, 0, 2}));
    EXPECT_THROW(check_version_rule({2, 1, 0}, {2, 1, 0}, {2, 1, 0}), std::runtime_error);
}

TEST(read_file_version, reads_pe_resources_and_elf_notes_and_names_what_is_wrong) {
    const struct {
        const char* image;
        std::string read; // the version (the product version and the fourth part play no part)
    } cases[] = {
        {"pe-2.0.4.17.bin", "2.0.4"},
        {"pe-65535.1.65534.bin", "65535.1.65534"},
        {"pe-without-resources.bin", unreadable},
        {"pe-short-value.bin", invalid_resource},
        {"pe-bad-signature.bin", invalid_resource},
        {"pe-zero-signature.bin", invalid_resource},
#ifndef _WIN32
        {"elf-2.0.4.17.bin", "2.0.4"},
        {"elf-other-name.bin", unreadable},
        {"elf-other-type.bin", unreadable},
        {"elf-short-descriptor.bin", invalid_resource},
        {"elf-bad-signature.bin", invalid_resource},
#endif
    };
    for (const auto& c : cases)
        EXPECT_EQ(read(images / c.image), c.read) << c.image;
    test::temp_dir dir;
    test::write_bytes(dir / "text.exe", std::string(200, 'x'));
    for (const fs::path& file : {dir / "missing.exe", fs::path(), dir.path(), dir / "text.exe"})
        EXPECT_EQ(read(file), unreadable) << file;
#ifndef _WIN32
    EXPECT_EQ(read("/proc/self/exe"), "2.0.3"); // the note the toolchain placed
    EXPECT_EQ(read(test::program("tavrel-set-version")), unreadable); // a program without one
#endif
}

#ifndef _WIN32
test::run_result set_version(const fs::path& input, const fs::path& output,
                             const std::string& version) {
    return test::run(test::program("tavrel-set-version"),
                     {input.string(), output.string(), version});
}

// The bytes outside the 52-byte record at `offset` are the same.
void expect_only_record_changed(const std::string& before, const std::string& after,
                                std::uint64_t offset) {
    ASSERT_EQ(before.size(), after.size());
    EXPECT_EQ(before.substr(0, offset), after.substr(0, offset));
    EXPECT_EQ(before.substr(offset + 52), after.substr(offset + 52));
}

TEST(tavrel_set_version, stamps_file_and_product_version_and_nothing_else) {
    test::temp_dir dir;
    const fs::path self = fs::read_symlink("/proc/self/exe");
    const struct {
        fs::path input;
        std::string version;
        std::string read;
        std::uint64_t record; // where the 52-byte record lies
    } cases[] = {
        {images / "pe-2.0.4.17.bin", "10.0.0.5", "10.0.0", 0x280},
        {images / "elf-2.0.4.17.bin", "65535.1.2.3", "65535.1.2", 84},
        {self, "2.0.4.17", "2.0.4", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        const fs::path output = dir / "stamped";
        fs::copy_file(c.input, dir / "input", fs::copy_options::overwrite_existing);
        fs::permissions(dir / "input", fs::perms::owner_all | fs::perms::group_read);
        const test::run_result r = set_version(dir / "input", output, c.version);
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(read(output), c.read);
        const std::string before = test::read_bytes(c.input);
        const std::string after = test::read_bytes(output);
        std::uint64_t record = c.record;
        if (record == 0) {
            const std::vector<std::uint8_t> image(after.begin(), after.end());
            ASSERT_EQ(platform::fixed_file_info_offset(image, record),
                      platform::version_info_result::ok);
        }
        expect_only_record_changed(before, after, record);
        // File (fields 2, 3) and product version (4, 5) change together; in a PE resource the
        // flags, OS and type stay as the resource compiler left them, an ELF note is rewritten
        // whole (flags mask 0x3F, flags 0, OS 0x40004, type 1).
        EXPECT_EQ(after.substr(record + 8, 8), after.substr(record + 16, 8));
        const std::string elf_tail("\x3F\0\0\0\0\0\0\0\x04\0\x04\0\x01\0\0\0", 16);
        EXPECT_EQ(after.substr(record + 24, 28), c.record == 0x280
                                                     ? before.substr(record + 24, 28)
                                                     : elf_tail + std::string(12, '\0'));
        EXPECT_EQ(fs::status(output).permissions(), fs::perms::owner_all | fs::perms::group_read);
    }
    EXPECT_EQ(test::run(dir / "stamped", {"--gtest_list_tests"}).exit_code, 0) << "still runs";
    ASSERT_EQ(set_version(dir / "stamped", dir / "stamped", "3.2.1.0").exit_code, 0); // in place
    EXPECT_EQ(read(dir / "stamped"), "3.2.1");
}

TEST(tavrel_set_version, refuses_bad_versions_with_2_and_files_without_a_record_with_1) {
    test::temp_dir dir;
    const fs::path good = images / "pe-2.0.4.17.bin";
    for (const std::string version : {"2.0.4", "2.0.4.17.1", "2.0.4.65536", "2.0.4.x", "2..4.1", "",
                                      " 2.0.4.1", "2.0.4.-1", "00000000001.0.0.0"}) {
        const test::run_result r = set_version(good, dir / "out", version);
        EXPECT_EQ(r.exit_code, 2) << '"' << version << '"';
        EXPECT_NE(r.err.find("usage: tavrel-set-version"), std::string::npos) << r.err;
    }
    for (const fs::path& input :
         {images / "pe-without-resources.bin", images / "pe-zero-signature.bin",
          images / "elf-short-descriptor.bin", dir / "missing",
          test::program("tavrel-set-version")}) {
        const test::run_result r = set_version(input, dir / "out", "2.0.4.17");
        EXPECT_EQ(r.exit_code, 1) << input << r.err;
    }
    EXPECT_FALSE(fs::exists(dir / "out"));
}
#endif

} // namespace
} // namespace tavrel
