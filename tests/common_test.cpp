// The utilities of every subsystem: strict conversions, the message widening, file-system
// error texts and the path operations that raise them, and the progress model.
#include "common/paths.h"
#include "common/progress.h"
#include "common/scoped_handle.h"
#include "common/text.h"
#include "support/case_table.h"
#include "support/temp_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <sstream>

namespace tavrel {
namespace {

// The system's descriptions of ENOENT and EACCES (2 and 13 are Windows errors too).
const std::string no_such_file = platform::error_description(ENOENT);
const std::string permission_denied = platform::error_description(EACCES);

// Code units written as hexadecimal numbers.
std::u16string units(const std::string& hex) {
    std::u16string out;
    std::istringstream in(hex);
    for (unsigned unit = 0; in >> std::hex >> unit;)
        out += static_cast<char16_t>(unit);
    return out;
}

TEST(text, strict_conversions_and_the_lenient_message_widening) {
    const std::string invalid = platform::error_description(platform::unicode_translation_error());
    for (const test::case_row& c : test::read_cases("text_conversions")) {
        SCOPED_TRACE(c[0] + " " + ::testing::PrintToString(c[1]));
        if (c[0] == "widen") {
            EXPECT_EQ(widen_message(c[1]), units(c[2]));
        } else if (c[0] == "utf16") {
            EXPECT_EQ(test::error_of([&] { utf16_to_utf8(units(c[1])); }), invalid);
        } else if (c[2] == "-") {
            EXPECT_EQ(test::error_of([&] { utf8_to_utf16(c[1]); }), invalid);
            EXPECT_EQ(test::error_of([&] { path_from_utf8(c[1]); }), invalid);
        } else {
            EXPECT_EQ(utf8_to_utf16(c[1]), units(c[2]));
            EXPECT_EQ(utf16_to_utf8(units(c[2])), c[1]);
            EXPECT_EQ(path_to_utf8(path_from_utf8(c[1])), c[1]); // the native form on the way
        }
    }
}

TEST(paths, operations_raise_their_named_errors) {
    EXPECT_EQ(decimal_text(std::uint32_t{4294967295u}), to_native("4294967295"));
    EXPECT_EQ(decimal_text(std::int64_t{-12}), to_native("-12"));
    EXPECT_EQ(std::string(file_system_error("rename", EACCES, path("/x"), path("/y")).what()),
              "rename: " + permission_denied + ": \"/x\", \"/y\"");
    test::temp_dir root;
    const path missing = root / "missing";
    EXPECT_FALSE(path_exists(missing));
    EXPECT_FALSE(path_exists(missing / "below")); // not-found class, not an error
    EXPECT_FALSE(remove_path(missing));
    EXPECT_EQ(test::error_of([&] { rename_path(missing, root / "other"); }),
              "rename: " + no_such_file + ": \"" + missing.string() + "\", \"" +
                  (root / "other").string() + "\"");
    EXPECT_EQ(test::error_of([&] { canonical_path(missing); }),
              "canonical: " + no_such_file + ": \"" + missing.string() + "\"");
    EXPECT_TRUE(canonical_path(path()).empty());
}

TEST(paths, create_directories_names_the_directory_it_was_asked_for) {
    test::temp_dir root;
    tavrel::create_directories(root / "a" / "b" / "c");
    EXPECT_TRUE(std::filesystem::is_directory(root / "a" / "b" / "c"));
    tavrel::create_directories(root / "a" / "b"); // existing: no error
    test::write_bytes(root / "f", "x");
    const auto expect_refusal = [](const path& p, int code) {
        EXPECT_EQ(test::error_of([&] { tavrel::create_directories(p); }),
                  "create_directories: " + platform::error_description(code) + ": \"" + p.string() +
                      "\"");
    };
    expect_refusal(root / "f" / "g" / "h", platform::already_exists_error());
    {
        // A level above the last one cannot be created; the hooks' injected error is 5 on both
        // platforms (EIO, ERROR_ACCESS_DENIED).
        const test::injected_failure failure("create_directory:1");
        expect_refusal(root / "plugins" / "extra", 5);
    }
    EXPECT_FALSE(std::filesystem::exists(root / "plugins"));
    // Links are resolved, trailing separators dropped.
    std::error_code ec; // libstdc++ makes none on Windows
    std::filesystem::create_directory_symlink(root / "a", root / "link", ec);
    if (!ec) {
        EXPECT_EQ(canonical_path(root / "link" / ""), root / "a");
        EXPECT_EQ(canonical_path(root / "link" / ".." / "a"), root / "a");
    }
}

TEST(progress_meter, moves_through_the_stages_by_their_weights_and_never_back) {
    const char* const stages[] = {"none", "download_check", "staging", "commit", "recovery"};
    std::optional<progress_meter> meter;
    test::case_row last(2);
    std::uint64_t done = 0;
    for (const test::case_row& c : test::read_cases("progress_stages")) {
        if (c[0] != last[0] || c[1] != last[1]) {
            const auto stage = std::find(std::begin(stages), std::end(stages), c[0]) - stages;
            if (stage == 0)
                meter.emplace();
            else
                meter->begin(static_cast<progress_stage>(stage), std::stoull(c[1]));
            done = 0;
        }
        meter->advance(std::stoull(c[2]) - done);
        done = std::stoull(c[2]);
        last = c;
        EXPECT_EQ(meter->permille(), std::stoul(c[3])) << c[0] << " " << c[1] << " " << c[2];
    }
    // Due a second after the application's exit, until its start.
    using namespace std::chrono_literals;
    const auto start = progress_meter::clock::now();
    progress_meter due(start, 1000ms);
    EXPECT_FALSE(due.window_due(start + 999ms));
    EXPECT_TRUE(due.window_due(start + 1000ms));
    due.finish();
    EXPECT_FALSE(due.window_due(start + 30s));
    EXPECT_FALSE(scoped_handle().valid() || scoped_handle(platform::invalid_handle).valid());
}

} // namespace
} // namespace tavrel
