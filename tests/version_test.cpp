#include "auth/version.h"
#include "common/text.h"
#include "support/temp_tree.h"
#ifndef _WIN32 // the ELF note and tavrel-set-version, a Linux tool, are tested on Linux only
#include "platform/posix/version_reader.h"
#include "support/programs.h"
#endif

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

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

std::ostream& operator<<(std::ostream& out, const app_version& v) {
    return out << v.major << '.' << v.minor << '.' << v.patch;
}

namespace {

namespace fs = std::filesystem;
using bytes = std::vector<std::uint8_t>;

const std::string invalid_request = "The requested update version is invalid.";
const std::string unreadable = "The application version could not be read.";
const std::string invalid_resource = "The application version resource is invalid.";
const std::string rule_message =
    "The signed update version does not match the feed or would downgrade Tavrel.";

#ifndef _WIN32
fs::path set_version_tool() {
    return test::program("tavrel-set-version");
}
#endif

void put16(bytes& b, std::size_t at, std::uint32_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void put32(bytes& b, std::size_t at, std::uint32_t v) {
    put16(b, at, v & 0xFFFF);
    put16(b, at + 2, v >> 16);
}
void put64(bytes& b, std::size_t at, std::uint64_t v) {
    put32(b, at, static_cast<std::uint32_t>(v));
    put32(b, at + 4, static_cast<std::uint32_t>(v >> 32));
}
std::uint32_t get32(const bytes& b, std::size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

struct record_options {
    std::uint32_t signature = 0xFEEF04BD;
    std::uint32_t file_ms = 0x00020000; // 2.0
    std::uint32_t file_ls = 0x00040011; // 4.17
};

bytes fixed_file_info(const record_options& o) {
    bytes b(52, 0);
    const std::uint32_t fields[13] = {o.signature, 0x00010000, o.file_ms, o.file_ls, 0x00010002,
                                      0x00030004,  0x3F,       0x2,       0x40004,   1,
                                      0,           0,          0};
    for (std::size_t i = 0; i < 13; ++i)
        put32(b, 4 * i, fields[i]);
    return b;
}

struct pe_options {
    record_options record;
    bool with_resources = true;
    std::uint16_t value_length = 52;
};

constexpr std::size_t pe_record_offset = 0x200 + 0x58 + 40;

// A PE32+ image with one section, .rsrc, holding RT_VERSION / 1 / 0x409 -> VS_VERSIONINFO
// whose value is the 52-byte record (no string or variable children).
bytes make_pe(const pe_options& o) {
    bytes b(0x400, 0);
    b[0] = 'M';
    b[1] = 'Z';
    put32(b, 0x3C, 0x40);
    put32(b, 0x40, 0x00004550); // "PE\0\0"
    put16(b, 0x44, 0x8664);
    put16(b, 0x46, 1);    // sections
    put16(b, 0x54, 0xF0); // optional header size
    const std::size_t optional = 0x58;
    put16(b, optional, 0x20B);
    put32(b, optional + 108, 16); // data directories
    const std::size_t resource_size = 0x58 + 92;
    if (o.with_resources) {
        put32(b, optional + 112 + 16, 0x1000);
        put32(b, optional + 112 + 20, resource_size);
    }
    const std::size_t section = optional + 0xF0;
    std::copy_n(".rsrc", 5, b.begin() + static_cast<std::ptrdiff_t>(section));
    put32(b, section + 8, resource_size);
    put32(b, section + 12, 0x1000);
    put32(b, section + 16, 0x200);
    put32(b, section + 20, 0x200);
    const std::size_t r = 0x200;
    put16(b, r + 0x0E, 1); // root: one id entry
    put32(b, r + 0x10, 16);
    put32(b, r + 0x14, 0x80000000 | 0x18);
    put16(b, r + 0x18 + 0x0E, 1); // names
    put32(b, r + 0x28, 1);
    put32(b, r + 0x2C, 0x80000000 | 0x30);
    put16(b, r + 0x30 + 0x0E, 1); // languages
    put32(b, r + 0x40, 0x409);
    put32(b, r + 0x44, 0x48);
    put32(b, r + 0x48, 0x1000 + 0x58); // data entry
    put32(b, r + 0x4C, 92);
    const std::size_t info = r + 0x58;
    put16(b, info, 92);
    put16(b, info + 2, o.value_length);
    const std::u16string key = u"VS_VERSION_INFO";
    for (std::size_t i = 0; i < key.size(); ++i)
        put16(b, info + 6 + 2 * i, key[i]);
    const bytes record = fixed_file_info(o.record);
    std::copy(record.begin(), record.end(), b.begin() + pe_record_offset);
    return b;
}

struct elf_options {
    record_options record;
    std::string name = "Tavrel";
    std::uint32_t type = 0x56534649;
    std::uint32_t descriptor_size = 52;
};

// Default options with one change.
template <class options, class change_function> options with(change_function change) {
    options o;
    change(o);
    return o;
}

constexpr std::size_t elf_record_offset = 64 + 12 + 8;

// An ELF64 file with one SHT_NOTE section that holds the version note.
bytes make_elf(const elf_options& o) {
    const std::size_t descriptor_padded = (o.descriptor_size + 3) & ~std::size_t{3};
    const std::size_t note_size = 12 + 8 + descriptor_padded;
    const std::size_t sections = 64 + note_size;
    bytes b(sections + 2 * 64, 0);
    std::copy_n("\x7F"
                "ELF",
                4, b.begin());
    b[4] = 2; // 64-bit
    b[5] = 1; // little-endian
    b[6] = 1;
    put16(b, 16, 2);
    put16(b, 18, 0x3E);
    put32(b, 20, 1);
    put64(b, 0x28, sections);
    put16(b, 0x34, 64);
    put16(b, 0x3A, 64);
    put16(b, 0x3C, 2);
    put32(b, 64, static_cast<std::uint32_t>(o.name.size() + 1));
    put32(b, 68, o.descriptor_size);
    put32(b, 72, o.type);
    std::copy(o.name.begin(), o.name.end(), b.begin() + 76);
    bytes record = fixed_file_info(o.record);
    record.resize(o.descriptor_size, 0);
    std::copy(record.begin(), record.end(), b.begin() + elf_record_offset);
    const std::size_t note_section = sections + 64; // section 0 is the null section
    put32(b, note_section + 4, 7);                  // SHT_NOTE
    put64(b, note_section + 24, 64);
    put64(b, note_section + 32, note_size);
    return b;
}

void write_bytes(const fs::path& file, const bytes& content) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(content.data()),
              static_cast<std::streamsize>(content.size()));
    if (!out)
        throw std::runtime_error("cannot write " + file.string());
}

bytes read_bytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string error_of(const fs::path& file) {
    try {
        read_file_version(file);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(no error)";
}

#ifndef _WIN32
test::run_result set_version(const fs::path& input, const fs::path& output,
                             const std::string& text) {
    return test::run(set_version_tool(), {input.string(), output.string(), text});
}
#endif

// --- parse_version ---------------------------------------------------------------------------

struct parse_case {
    std::string text;
    bool valid;
    app_version expected{};
};

void PrintTo(const parse_case& c, std::ostream* out) {
    *out << '"' << c.text << '"';
}

class parse_version_cases : public ::testing::TestWithParam<parse_case> {};

TEST_P(parse_version_cases, follows_the_stream_rules) {
    const parse_case& c = GetParam();
    if (c.valid) {
        EXPECT_EQ(parse_version(to_native(c.text)), c.expected) << '"' << c.text << '"';
    } else {
        try {
            parse_version(to_native(c.text));
            ADD_FAILURE() << '"' << c.text << "\" was accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(e.what(), invalid_request) << '"' << c.text << '"';
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    versions, parse_version_cases,
    ::testing::Values(
        parse_case{"2.0.4", true, {2, 0, 4}}, parse_case{"0.0.0", true, {0, 0, 0}},
        parse_case{"65535.65535.65535", true, {65535, 65535, 65535}},
        parse_case{"10.0.0", true, {10, 0, 0}},
        // decimal always: no octal for leading zeros
        parse_case{"010.08.09", true, {10, 8, 9}},
        // white space before each item is skipped
        parse_case{" 2.0.4", true, {2, 0, 4}}, parse_case{"\t\n2.0.4", true, {2, 0, 4}},
        parse_case{"2 .0 .4", true, {2, 0, 4}}, parse_case{"2. 0. 4", true, {2, 0, 4}},
        parse_case{" 2 . 0 . 4", true, {2, 0, 4}},
        // a sign is part of the stream's number syntax
        parse_case{"+2.0.4", true, {2, 0, 4}},
        // nothing may follow the third number
        parse_case{"2.0.4 ", false}, parse_case{"2.0.4\n", false}, parse_case{"2.0.4.", false},
        parse_case{"2.0.4x", false}, parse_case{"2.0.4.17", false},
        // too few components, wrong separators
        parse_case{"2.0", false}, parse_case{"2", false}, parse_case{"", false},
        parse_case{" ", false}, parse_case{"2,0,4", false}, parse_case{"2.0,4", false},
        parse_case{"2..4", false}, parse_case{".2.0.4", false}, parse_case{"2.0.", false},
        parse_case{"a.b.c", false}, parse_case{"0x2.0.4", false},
        // components beyond 65535 or beyond 32 bits
        parse_case{"65536.0.0", false}, parse_case{"2.65536.0", false},
        parse_case{"2.0.65536", false}, parse_case{"4294967295.0.0", false},
        parse_case{"4294967296.0.0", false}, parse_case{"2.0.99999999999999999999", false},
        // "-1" wraps around to 4294967295
        parse_case{"-1.0.0", false}, parse_case{"2.-1.4", false}, parse_case{"2.0.-1", false}));

// --- version rule ----------------------------------------------------------------------------

struct rule_case {
    app_version signed_version;
    app_version requested;
    bool accepted;
};

void PrintTo(const rule_case& c, std::ostream* out) {
    *out << c.signed_version << " signed, " << c.requested << " requested";
}

class version_rule_cases : public ::testing::TestWithParam<rule_case> {};

TEST_P(version_rule_cases, requires_the_requested_version_newer_than_current) {
    const rule_case& c = GetParam();
    if (c.accepted) {
        EXPECT_NO_THROW(check_version_rule(c.signed_version, c.requested));
        return;
    }
    try {
        check_version_rule(c.signed_version, c.requested);
        ADD_FAILURE() << c.signed_version << " for " << c.requested << " was accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(e.what(), rule_message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    versions, version_rule_cases,
    ::testing::Values(rule_case{{2, 0, 4}, {2, 0, 4}, true},   // from file version 2.0.4.17
                      rule_case{{2, 0, 3}, {2, 0, 3}, false},  // reinstalling the current one
                      rule_case{{2, 0, 2}, {2, 0, 2}, false},  // downgrade
                      rule_case{{10, 0, 0}, {10, 0, 0}, true}, // numbers, not text
                      rule_case{{2, 0, 9}, {2, 1, 0}, false},  // newer, but not what was asked
                      rule_case{{2, 0, 4}, {2, 0, 5}, false},
                      rule_case{{3, 0, 4}, {2, 0, 4}, false},
                      rule_case{{2, 1, 4}, {2, 0, 4}, false}, rule_case{{2, 1, 0}, {2, 1, 0}, true},
                      rule_case{{3, 0, 0}, {3, 0, 0}, true}, rule_case{{1, 9, 9}, {1, 9, 9}, false},
                      rule_case{{1, 65535, 65535}, {1, 65535, 65535}, false},
                      rule_case{{2, 0, 65535}, {2, 0, 65535}, true},
                      rule_case{{65535, 65535, 65535}, {65535, 65535, 65535}, true}));

TEST(current_app_version, is_2_0_3) {
    EXPECT_EQ(current_app_version(), (app_version{2, 0, 3}));
}

// --- read_file_version -----------------------------------------------------------------------

TEST(read_file_version, reads_major_minor_patch_from_a_pe_version_resource) {
    test::temp_dir dir;
    const fs::path exe = dir.path() / "Tavrel.exe";
    write_bytes(exe, make_pe({}));
    EXPECT_EQ(read_file_version(exe), (app_version{2, 0, 4}));
    // The product version (1.2.3.4 here) plays no part; 16-bit fields give all their bits.
    write_bytes(exe, make_pe(with<pe_options>([](auto& o) {
                    o.record.file_ms = 0xFFFF0001;
                    o.record.file_ls = 0xFFFEFFFF;
                })));
    EXPECT_EQ(read_file_version(exe), (app_version{65535, 1, 65534}));
}

TEST(read_file_version, reports_pe_files_without_a_good_record) {
    test::temp_dir dir;
    const fs::path exe = dir.path() / "Tavrel.exe";
    const std::vector<std::pair<pe_options, std::string>> cases = {
        {with<pe_options>([](auto& o) { o.with_resources = false; }), unreadable},
        {with<pe_options>([](auto& o) { o.value_length = 40; }), invalid_resource},
        {with<pe_options>([](auto& o) { o.record.signature = 0xFEEF04BC; }), invalid_resource},
        {with<pe_options>([](auto& o) { o.record.signature = 0; }), invalid_resource},
    };
    for (const auto& [options, message] : cases) {
        write_bytes(exe, make_pe(options));
        EXPECT_EQ(error_of(exe), message);
    }
}

#ifndef _WIN32
TEST(read_file_version, reads_elf_version_notes) {
    test::temp_dir dir;
    const fs::path exe = dir.path() / "Tavrel";
    const std::vector<std::pair<elf_options, std::string>> cases = {
        {with<elf_options>([](auto& o) { o.name = "Other"; }), unreadable},
        {with<elf_options>([](auto& o) { o.type = 0x56534648; }), unreadable},
        {with<elf_options>([](auto& o) { o.descriptor_size = 40; }), invalid_resource},
        {with<elf_options>([](auto& o) { o.record.signature = 0xBD04EFFE; }), invalid_resource},
    };
    for (const auto& [options, message] : cases) {
        write_bytes(exe, make_elf(options));
        EXPECT_EQ(error_of(exe), message) << options.name;
    }
    write_bytes(exe, make_elf({}));
    EXPECT_EQ(read_file_version(exe), (app_version{2, 0, 4}));
}
#endif

TEST(read_file_version, reports_missing_and_foreign_files_as_unreadable) {
    test::temp_dir dir;
    EXPECT_EQ(error_of(dir.path() / "missing.exe"), unreadable);
    EXPECT_EQ(error_of(fs::path()), unreadable);
    EXPECT_EQ(error_of(dir.path()), unreadable);
    write_bytes(dir.path() / "empty.exe", {});
    EXPECT_EQ(error_of(dir.path() / "empty.exe"), unreadable);
    write_bytes(dir.path() / "text.exe", bytes(200, 'x'));
    EXPECT_EQ(error_of(dir.path() / "text.exe"), unreadable);
#ifndef _WIN32
    // A real executable without the note.
    EXPECT_EQ(error_of(set_version_tool()), unreadable);
#endif
}

#ifndef _WIN32
TEST(read_file_version, reads_the_note_that_the_toolchain_placed_in_this_program) {
    EXPECT_EQ(read_file_version("/proc/self/exe"), (app_version{2, 0, 3}));
}

// --- tavrel-set-version ----------------------------------------------------------------------

// The changed bytes all lie in the 52-byte record at `offset`.
void expect_only_record_changed(const bytes& before, const bytes& after, std::size_t offset) {
    ASSERT_EQ(before.size(), after.size());
    for (std::size_t i = 0; i < before.size(); ++i) {
        if (i < offset || i >= offset + 52) {
            ASSERT_EQ(before[i], after[i]) << "byte " << i;
        }
    }
}

TEST(tavrel_set_version, stamps_a_linked_program_that_still_runs) {
    test::temp_dir dir;
    const fs::path stamped = dir.path() / "Tavrel";
    const fs::path self = fs::read_symlink("/proc/self/exe");
    const test::run_result r = set_version(self, stamped, "2.0.4.17");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(read_file_version(stamped), (app_version{2, 0, 4}));
    const bytes before = read_bytes(self);
    const bytes after = read_bytes(stamped);
    std::uint64_t offset = 0;
    ASSERT_EQ(platform::fixed_file_info_offset(after, offset), platform::version_info_result::ok);
    expect_only_record_changed(before, after, offset);
    EXPECT_EQ(get32(after, offset + 8), 0x00020000u);
    EXPECT_EQ(get32(after, offset + 12), 0x00040011u);
    EXPECT_EQ(fs::status(stamped).permissions(), fs::status(self).permissions());
    const test::run_result listed = test::run(stamped, {"--gtest_list_tests"});
    EXPECT_EQ(listed.exit_code, 0) << listed.err;
}

TEST(tavrel_set_version, rewrites_the_whole_elf_record) {
    test::temp_dir dir;
    const fs::path input = dir.path() / "in";
    const fs::path output = dir.path() / "out";
    write_bytes(input,
                make_elf(with<elf_options>([](auto& o) { o.record.signature = 0x12345678; })));
    ASSERT_EQ(set_version(input, output, "65535.1.2.3").exit_code, 0);
    const bytes after = read_bytes(output);
    const std::uint32_t expected[13] = {0xFEEF04BD, 0x00010000, 0xFFFF0001, 0x00020003, 0xFFFF0001,
                                        0x00020003, 0x3F,       0,          0x40004,    1,
                                        0,          0,          0};
    for (std::size_t i = 0; i < 13; ++i)
        EXPECT_EQ(get32(after, elf_record_offset + 4 * i), expected[i]) << "field " << i;
    expect_only_record_changed(make_elf({}), after, elf_record_offset);
    EXPECT_EQ(read_file_version(output), (app_version{65535, 1, 2}));
}

TEST(tavrel_set_version, patches_the_versions_of_a_pe_resource_and_keeps_the_mode) {
    test::temp_dir dir;
    const fs::path input = dir.path() / "Tavrel.exe";
    const fs::path output = dir.path() / "stamped.exe";
    const bytes before = make_pe({});
    write_bytes(input, before);
    fs::permissions(input, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    const test::run_result r = set_version(input, output, "10.0.0.5");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(read_file_version(output), (app_version{10, 0, 0}));
    const bytes after = read_bytes(output);
    expect_only_record_changed(before, after, pe_record_offset);
    // File and product version change; flags, OS and type stay as the resource compiler left them.
    for (const std::size_t field : {2, 4})
        EXPECT_EQ(get32(after, pe_record_offset + 4 * field), 0x000A0000u);
    for (const std::size_t field : {3, 5})
        EXPECT_EQ(get32(after, pe_record_offset + 4 * field), 0x00000005u);
    for (const std::size_t field : {0, 1, 6, 7, 8, 9, 10, 11, 12})
        EXPECT_EQ(get32(after, pe_record_offset + 4 * field),
                  get32(before, pe_record_offset + 4 * field))
            << "field " << field;
    EXPECT_EQ(fs::status(output).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(read_bytes(input), before);
}

TEST(tavrel_set_version, stamps_in_place) {
    test::temp_dir dir;
    const fs::path exe = dir.path() / "Tavrel.exe";
    write_bytes(exe, make_pe({}));
    ASSERT_EQ(set_version(exe, exe, "3.2.1.0").exit_code, 0);
    EXPECT_EQ(read_file_version(exe), (app_version{3, 2, 1}));
}

TEST(tavrel_set_version, refuses_bad_versions_and_arguments_with_exit_code_2) {
    test::temp_dir dir;
    const fs::path input = dir.path() / "in";
    const fs::path output = dir.path() / "out";
    write_bytes(input, make_pe({}));
    for (const std::string text :
         {"2.0.4", "2.0.4.17.1", "2.0.4.65536", "2.0.4.x", "2..4.1", "2.0.4.1.", ".2.0.4", "",
          " 2.0.4.1", "2.0.4.-1", "1000000.0.0.0", "00000000001.0.0.0"}) {
        const test::run_result r = set_version(input, output, text);
        EXPECT_EQ(r.exit_code, 2) << '"' << text << '"';
        EXPECT_NE(r.err.find("usage: tavrel-set-version"), std::string::npos) << r.err;
    }
    EXPECT_EQ(test::run(set_version_tool(), {input.string()}).exit_code, 2);
    EXPECT_EQ(test::run(set_version_tool(), {}).exit_code, 2);
    EXPECT_FALSE(fs::exists(output));
}

TEST(tavrel_set_version, fails_with_exit_code_1_for_files_it_cannot_stamp) {
    test::temp_dir dir;
    const fs::path output = dir.path() / "out";
    const fs::path no_resource = dir.path() / "plain.exe";
    write_bytes(no_resource, make_pe(with<pe_options>([](auto& o) { o.with_resources = false; })));
    const fs::path bad_signature = dir.path() / "bad.exe";
    write_bytes(bad_signature, make_pe(with<pe_options>([](auto& o) { o.record.signature = 0; })));
    const fs::path short_note = dir.path() / "short";
    write_bytes(short_note, make_elf(with<elf_options>([](auto& o) { o.descriptor_size = 40; })));
    for (const fs::path& input :
         {no_resource, bad_signature, short_note, dir.path() / "missing", set_version_tool()}) {
        const test::run_result r = set_version(input, output, "2.0.4.17");
        EXPECT_EQ(r.exit_code, 1) << input << r.err;
        EXPECT_NE(r.err.find("tavrel-set-version: "), std::string::npos);
        EXPECT_FALSE(fs::exists(output)) << input;
    }
}

#endif

} // namespace
} // namespace tavrel
