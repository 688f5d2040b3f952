// The utilities of every subsystem: strict conversions, the message widening, file-system
// error texts and the path operations that raise them, and the progress model.
#include "common/paths.h"
#include "common/progress.h"
#include "common/scoped_handle.h"
#include "common/text.h"
#include "support/temp_tree.h"

#include <gtest/gtest.h>

namespace tavrel {
namespace {

#ifdef _WIN32
// The system's own descriptions of ENOENT and EACCES (2 and 13 are Windows errors too).
const std::string no_such_file = platform::error_description(ENOENT);
const std::string permission_denied = platform::error_description(EACCES);
#else
const std::string no_such_file = "No such file or directory";
const std::string permission_denied = "Permission denied";
#endif

TEST(utf_conversions, round_trip_valid_text_and_refuse_invalid_sequences_strictly) {
    const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z"; // a é € 😀 z
    EXPECT_EQ(utf8_to_utf16(text), std::u16string(u"a\u00E9\u20AC\U0001F600z"));
    EXPECT_EQ(utf16_to_utf8(utf8_to_utf16(text)), text);
    EXPECT_EQ(utf8_to_utf16(""), u"");
    // Lone, cut, overlong, an encoded surrogate, above U+10FFFF, no sequence at all.
    for (const std::string invalid : {"\x80", "\xC3", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80",
                                      "\xF4\x90\x80\x80", "\xFF", "a\xC3("})
        EXPECT_THROW(utf8_to_utf16(invalid), conversion_error) << ::testing::PrintToString(invalid);
    const std::u16string unpaired[] = {u"\xD800", u"a\xDC00", std::u16string(1, 0xD83D) + u"x"};
    for (const auto& text : unpaired)
        EXPECT_THROW(utf16_to_utf8(text), conversion_error);
}

TEST(widen_message, decodes_utf8_and_widens_only_stray_bytes) {
    const struct {
        std::string text;
        std::u16string shown;
    } cases[] = {
        {"C:\\Users\\Jos\xC3\xA9", u"C:\\Users\\Jos\u00E9"},
        {"\xE4\xB8\xAD\xE6\x96\x87", u"\u4E2D\u6587"},
        {"\xF0\x9F\x98\x80", u"\U0001F600"},
        // Bytes of no sequence keep the widening: each one unit, sign-extended.
        {"A\xE9\x7F\x80", {u'A', 0xFFE9, 0x7F, 0xFF80}},
        {"\xC3", {0xFFC3}},                         // a sequence cut short
        {"\xC0\xAF", {0xFFC0, 0xFFAF}},             // overlong
        {"\xED\xA0\x80", {0xFFED, 0xFFA0, 0xFF80}}, // a surrogate
        {"\xC3\xA9\xFF\xC3\xA9", {0xE9, 0xFFFF, 0xE9}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.text));
        EXPECT_EQ(widen_message(c.text), c.shown);
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
    const auto message = [](const path& p) {
        return test::error_of([&] { tavrel::create_directories(p); });
    };
    const path in_the_way = root / "f" / "g" / "h";
    EXPECT_EQ(
        message(in_the_way),
        "create_directories: " + platform::error_description(platform::already_exists_error()) +
            ": \"" + in_the_way.string() + "\"");
    // A level above the last one that cannot be created.
    const path deep = root / "plugins" / "extra";
    {
        const test::injected_failure failure("create_directory:1");
        // The hooks' injected error is 5 on both platforms (EIO, ERROR_ACCESS_DENIED).
        EXPECT_EQ(message(deep), "create_directories: " + platform::error_description(5) + ": \"" +
                                     deep.string() + "\"");
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
    progress_meter meter;
    const struct {
        progress_stage stage;
        std::uint64_t total, done;
        std::uint32_t permille;
    } steps[] = {
        {progress_stage::none, 0, 0, 0},
        {progress_stage::download_check, 2000, 1000, 100}, // read: half of the check
        {progress_stage::download_check, 2000, 2000, 200}, // hashed
        {progress_stage::staging, 700, 350, 550},
        {progress_stage::staging, 700, 700, 900},
        {progress_stage::commit, 4, 1, 925},
        {progress_stage::commit, 4, 9, 1000},          // more than announced stays at the end
        {progress_stage::download_check, 10, 0, 1000}, // an earlier stage never pulls it back
    };
    progress_stage current = progress_stage::none;
    std::uint64_t done = 0;
    for (const auto& step : steps) {
        if (step.stage != current) {
            meter.begin(step.stage, step.total);
            current = step.stage;
            done = 0;
        }
        meter.advance(step.done - done);
        done = step.done;
        EXPECT_EQ(meter.permille(), step.permille) << static_cast<int>(step.stage) << " " << done;
    }
    progress_meter recovery; // a recovery has the bar to itself
    recovery.begin(progress_stage::recovery, 4);
    recovery.advance(3);
    EXPECT_EQ(recovery.permille(), 750u);
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
