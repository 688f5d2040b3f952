// Both sides of the command line: the number conversions behave like the Windows build's
// stoul/stoull (32-bit unsigned long) on every platform, and the application side quotes each
// argument so that the Windows runtime splits it back unchanged.
#include "app/app_side.h"
#include "app/command_line.h"
#include "common/text.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>

#include <shellapi.h>
#endif

namespace tavrel {
namespace {

TEST(parse_stoul, follows_the_32_bit_conversion) {
    const struct {
        std::string text;
        std::uint32_t value;
        std::size_t consumed;
    } cases[] = {
        {"42", 42, 2},
        {" 42", 42, 3},
        {"\t+42", 42, 4},
        {"42x", 42, 2},
        {"0", 0, 1},
        {"-1", 0xFFFFFFFFu, 2},
        {"-4294967295", 1, 11},
        {"4294967295", 0xFFFFFFFFu, 10},
        {"0000000000004294967295", 0xFFFFFFFFu, 22},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::size_t consumed = 0;
        EXPECT_EQ(parse_stoul(to_native(c.text), consumed), c.value);
        EXPECT_EQ(consumed, c.consumed);
    }
}

TEST(parse_stoul, raises_the_two_messages) {
    const struct {
        std::string text;
        std::string message;
    } cases[] = {
        {"", "invalid stoul argument"},
        {"x42", "invalid stoul argument"},
        {"+", "invalid stoul argument"},
        {" -x", "invalid stoul argument"},
        {"4294967296", "stoul argument out of range"},
        {"-4294967296", "stoul argument out of range"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::size_t consumed = 0;
        try {
            parse_stoul(to_native(c.text), consumed);
            ADD_FAILURE() << "accepted";
        } catch (const std::exception& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
        }
    }
}

TEST(parse_stoull, covers_64_bits) {
    std::size_t consumed = 0;
    EXPECT_EQ(parse_stoull(to_native("18446744073709551615"), consumed), UINT64_MAX);
    EXPECT_EQ(parse_stoull(to_native("+5"), consumed), 5u);
    EXPECT_EQ(consumed, 2u);
    EXPECT_THROW(parse_stoull(to_native("18446744073709551616"), consumed), std::out_of_range);
    try {
        parse_stoull(to_native("x"), consumed);
        ADD_FAILURE();
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "invalid stoull argument");
    }
}

TEST(signature_argument, admits_88_characters_of_the_base64_set_only) {
    EXPECT_TRUE(is_signature_argument(to_native(std::string(88, '='))));
    EXPECT_TRUE(is_signature_argument(to_native(std::string(86, 'a') + "+/")));
    EXPECT_FALSE(is_signature_argument(to_native(std::string(87, 'A'))));
    EXPECT_FALSE(is_signature_argument(to_native(std::string(89, 'A'))));
    EXPECT_FALSE(is_signature_argument(to_native(std::string(87, 'A') + "-")));
    EXPECT_FALSE(is_signature_argument(to_native(std::string(87, 'A') + "_")));
    EXPECT_FALSE(is_signature_argument(to_native(std::string(87, 'A') + " ")));
}

TEST(command_line_argument, quotes_so_that_the_windows_runtime_splits_it_back) {
    const struct {
        std::string argument;
        std::string quoted;
    } cases[] = {
        {"C:\\Tavrel", "C:\\Tavrel"},
        {"back\\\\slashes\\", "back\\\\slashes\\"}, // no blank, no quote: as it is
        {"", "\"\""},
        {"C:\\Program Files\\Tavrel\\", "\"C:\\Program Files\\Tavrel\\\\\""},
        {"C:\\two  blanks\\\\", "\"C:\\two  blanks\\\\\\\\\""},
        {"a\\\\b c", "\"a\\\\b c\""}, // backslashes before no quote stay as they are
        {"say \"hi\"", "\"say \\\"hi\\\"\""},
        {"a\\\"b", "\"a\\\\\\\"b\""},
        {"tab\there", "\"tab\there\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.argument);
        EXPECT_EQ(app_side::command_line_argument(to_native(c.argument)), to_native(c.quoted));
    }
#ifdef _WIN32
    // The system's own splitter gives every argument back.
    std::wstring line = L"program.exe";
    for (const auto& c : cases)
        line += L" " + app_side::command_line_argument(to_native(c.argument));
    int count = 0;
    wchar_t** words = CommandLineToArgvW(line.c_str(), &count);
    ASSERT_NE(words, nullptr);
    ASSERT_EQ(count, static_cast<int>(std::size(cases)) + 1);
    for (int i = 1; i < count; ++i)
        EXPECT_EQ(std::wstring(words[i]), to_native(cases[i - 1].argument));
    LocalFree(words);
#endif
}

} // namespace
} // namespace tavrel
