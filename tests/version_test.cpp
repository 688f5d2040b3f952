// Versions: the requested one, the rule that binds the signed version to it and above the
// installed one, the file version of PE resources and ELF notes, and tavrel-set-version.
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
// A version note like the demo application's, file version 2.0.3.0, placed by the toolchain.
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

std::string text_of(const app_version& v) {
    return std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.patch);
}

// The version read, or the message of the failure.
std::string read(const fs::path& file) {
    std::string version;
    const std::string error = test::error_of([&] { version = text_of(read_file_version(file)); });
    return error.empty() ? version : error;
}

TEST(version, parsing_and_the_rule) {
    const auto version_of = [](const std::string& text) { return parse_version(to_native(text)); };
    for (const test::case_row& c : test::read_cases("versions")) {
        std::string got = "yes";
        const std::string error = test::error_of([&] {
            if (c[0] == "parse")
                got = text_of(version_of(c[1]));
            else
                check_version_rule(version_of(c[1]), version_of(c[2]));
        });
        const std::string& expected = c[0] == "parse" ? c[2] : c[3];
        EXPECT_EQ(error.empty() ? got : error,
                  expected == "-"    ? "The requested update version is invalid."
                  : expected == "no" ? "The signed update version does not match the feed or "
                                       "would downgrade Tavrel."
                                     : expected)
            << c[0] << " \"" << c[1] << '"';
    }
    // Another installed version, for the publisher's check.
    EXPECT_NO_THROW(check_version_rule({2, 0, 3}, {2, 0, 3}, {2, 0, 2}));
    EXPECT_THROW(check_version_rule({2, 1, 0}, {2, 1, 0}, {2, 1, 0}), std::runtime_error);
}

TEST(read_file_version, reads_pe_resources_and_elf_notes_and_names_what_is_wrong) {
    for (const test::case_row& c : test::read_cases("version_images")) {
        if (c[0] != "read")
            continue;
#ifdef _WIN32
        if (c[1].starts_with("elf-") || (c.size() > 3 && c[3] == "linux"))
            continue;
#endif
        EXPECT_EQ(read(images / c[1]), c[2]) << c[1];
    }
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

TEST(tavrel_set_version, stamps_only_the_version_and_refuses_bad_versions_2_and_bad_files_1) {
    test::temp_dir dir;
    const fs::path input = dir / "input", output = dir / "stamped";
    const auto perms = fs::perms::owner_all | fs::perms::group_read;
    // The rest of a rewritten ELF note: signature, version 1.0, flags mask 0x3F, OS 0x40004, type 1
    const std::string elf_head("\xBD\x04\xEF\xFE\0\0\1\0", 8);
    const std::string elf_tail =
        std::string("\x3F\0\0\0\0\0\0\0\4\0\4\0\1", 13) + std::string(15, '\0');
    for (const test::case_row& c : test::read_cases("version_images")) {
        SCOPED_TRACE(c[1] + " " + c[2]);
        if (c[0] == "refuse") {
            const test::run_result r = set_version(images / c[1], dir / "out", c[2]);
            std::string message = "tavrel-set-version: " + c[4];
            if (const auto at = message.find('%'); at != std::string::npos)
                message.replace(at, 1, (images / c[1]).string());
            EXPECT_EQ(r.exit_code, std::stoi(c[3]));
            EXPECT_EQ(r.err.substr(0, message.size()), message);
        }
        if (c[0] != "stamp")
            continue;
        fs::copy_file(c[1] == "self" ? fs::read_symlink("/proc/self/exe") : images / c[1], input,
                      fs::copy_options::overwrite_existing);
        fs::permissions(input, perms);
        const test::run_result r = set_version(input, output, c[2]);
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(read(output), c[2].substr(0, c[2].rfind('.')));
        EXPECT_EQ(fs::status(output).permissions(), perms);
        const std::string before = test::read_bytes(input), after = test::read_bytes(output);
        std::string expected = before;
        for (const std::string& offset : test::split(c[4], ',')) {
            std::uint64_t at = offset == "-" ? 0 : std::stoull(offset); // "-": the reader's
            ASSERT_TRUE(at != 0 || platform::fixed_file_info_offset(
                                       std::vector<std::uint8_t>(after.begin(), after.end()), at) ==
                                       platform::version_info_result::ok);
            expected.replace(at + 8, 16, c[3] + c[3]);
            if (before[0] != 'M')
                expected.replace(at, 52, elf_head + c[3] + c[3] + elf_tail);
        }
        EXPECT_TRUE(after == expected); // not EXPECT_EQ: no megabytes of output
    }
    EXPECT_FALSE(fs::exists(dir / "out"));
    // The last one stamped is this program.
    EXPECT_EQ(test::run(output, {"--gtest_list_tests"}).exit_code, 0) << "still runs";
    ASSERT_EQ(set_version(output, output, "3.2.1.0").exit_code, 0); // in place
    EXPECT_EQ(read(output), "3.2.1");
}
#endif

} // namespace
} // namespace tavrel
