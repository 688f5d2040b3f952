// Both sides of the command line: numbers read as the Windows build's stoul/stoull (32-bit long)
// everywhere, signatures of 88 Base64 characters, arguments quoted so that Windows splits them.
#include "app/app_side.h"
#include "app/command_line.h"
#include "common/text.h"
#include "support/case_table.h"
#include "support/temp_tree.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>

#include <shellapi.h>
#endif

namespace tavrel::test {
namespace {

TEST(command_line, cases) {
    std::vector<std::string> quoted_arguments;
    for (const case_row& c : read_cases("command_line")) {
        SCOPED_TRACE(c[0] + " \"" + c[1] + "\"");
        const platform::native_text text = to_native(c[1]);
        if (c[0] == "stoul" || c[0] == "stoull") {
            std::size_t consumed = 99;
            std::string result;
            const std::string error = error_of([&] {
                const std::uint64_t value =
                    c[0] == "stoul" ? parse_stoul(text, consumed) : parse_stoull(text, consumed);
                result = std::to_string(value) + " " + std::to_string(consumed);
            });
            EXPECT_EQ(error.empty() ? result : error, c[2]);
        } else if (c[0] == "signature") {
            EXPECT_EQ(is_signature_argument(text), c[2] == "yes");
        } else {
            EXPECT_EQ(app_side::command_line_argument(text), to_native(c[2]));
            quoted_arguments.push_back(c[1]);
        }
    }
    // The exceptions are those of the standard conversions.
    std::size_t consumed = 0;
    EXPECT_THROW(parse_stoul(to_native("x"), consumed), std::invalid_argument);
    EXPECT_THROW(parse_stoull(to_native("18446744073709551616"), consumed), std::out_of_range);
#ifdef _WIN32
    // The system's own splitter gives every argument back.
    std::wstring line = L"program.exe";
    for (const auto& argument : quoted_arguments)
        line += L" " + app_side::command_line_argument(to_native(argument));
    int count = 0;
    wchar_t** words = CommandLineToArgvW(line.c_str(), &count);
    ASSERT_NE(words, nullptr);
    ASSERT_EQ(count, static_cast<int>(quoted_arguments.size()) + 1);
    for (int i = 1; i < count; ++i)
        EXPECT_EQ(std::wstring(words[i]), to_native(quoted_arguments[i - 1]));
    LocalFree(words);
#endif
}

} // namespace
} // namespace tavrel::test
