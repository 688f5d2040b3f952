#include "staging/package_path.h"

#include <gtest/gtest.h>

#include <string>

namespace tavrel {
namespace {

struct path_case {
    std::string path;
    bool safe;
    const char* reason;
};

std::ostream& operator<<(std::ostream& out, const path_case& c) {
    return out << '"' << c.path << "\" (" << c.reason << ")";
}

class package_path_rule : public ::testing::TestWithParam<path_case> {};

TEST_P(package_path_rule, gives_the_expected_verdict) {
    EXPECT_EQ(is_safe_package_path(GetParam().path), GetParam().safe);
}

const path_case path_cases[] = {
    {"", false, "empty"},
    {"/a", false, "leading separator"},
    {"a\\b", false, "backslash"},
    {"C:/x", false, "colon"},
    {"file.txt:stream", false, "alternate data stream"},
    {std::string("a\0b", 3), false, "NUL byte inside"},
    {"a.txt", true, "plain file"},
    {"dir/sub/file.dll", true, "nested file"},
    {"dir/", true, "one trailing separator"},
    {"dir//", false, "second trailing separator"},
    {"a//b", false, "empty component"},
    {"/", false, "only a separator"},
    {"a/./b", false, "dot component"},
    {"../a", false, "dot-dot component"},
    {"a/..", false, "dot-dot at the end"},
    {".", false, "only a dot"},
    {"...", false, "ends in a full stop"},
    {".hidden", true, "empty stem"},
    {"name.", false, "ends in a full stop"},
    {"dir./file", false, "every component is tested"},
    {"name ", false, "ends in a space"},
    {"dir /file", false, "inner component ends in a space"},
    {" name", true, "only the last byte is tested"},
    {"a?b", false, "question mark"},
    {"a*b", false, "asterisk"},
    {"a<b", false, "less-than"},
    {"a>b", false, "greater-than"},
    {"a|b", false, "vertical bar"},
    {"a\"b", false, "double quote"},
    {"a\tb", false, "tab"},
    {"a\x1f", false, "control byte 0x1F"},
    {"dir/a\x01/b", false, "control byte in an inner component"},
    {"\xC3\xA9.txt", true, "UTF-8 bytes are allowed"},
    {"\xFF\xFE", true, "bytes 0x80 to 0xFF are not judged here"},
    {"CON", false, "reserved stem"},
    {"Con.tar.gz", false, "stem before the first full stop"},
    {"dir/nul/file", false, "reserved stem in an inner component"},
    {"prn.txt", false, "reserved stem"},
    {"AUX", false, "reserved stem"},
    {"conin$.log", false, "reserved stem"},
    {"CONOUT$", false, "reserved stem"},
    {"console.txt", true, "stem longer than con"},
    {"conx", true, "stem is not exactly reserved"},
    {"con_1", true, "stem is not exactly reserved"},
    {"nul2", true, "stem is not exactly reserved"},
    {"com1", false, "port with a digit"},
    {"LPT9.txt", false, "port with a digit"},
    {"com0", false, "digit 0 counts"},
    {"lpt0/x", false, "port as a directory"},
    {"com10", true, "stem of five bytes"},
    {"lpt", true, "stem of three bytes"},
    {"comA", true, "fourth byte not a digit"},
    {"com\xC2\xB9", false, "superscript one"},
    {"lpt\xC2\xB2", false, "superscript two"},
    {"COM\xC2\xB3.txt", false, "superscript three with extension"},
    {"com\xE2\x81\xB4", true, "superscript four is not a port"},
    {"com\xC2\xB9x", true, "more after the superscript"},
    {"nul .txt", false, "blanks end the stem: Windows ignores them"},
    {"lib/aux .x", false, "stem with a blank in an inner component"},
    {"CON  .log", false, "several blanks end the stem"},
    {"conin$ .txt", false, "console input with a blank"},
    {"com1 .dll", false, "port with a blank"},
    {"lpt\xC2\xB3 .x", false, "superscript port with a blank"},
    {"null .txt", true, "a longer stem with a blank"},
    {"console .txt", true, "console with a blank"},
    {" con.txt", true, "a leading blank keeps the stem apart"},
    {".tavrel-update-7", false, "staging prefix in the first component"},
    {".TAVREL-UPDATE-x/y", false, "the prefix is compared folded"},
    {".tavrel-update-", false, "the prefix alone"},
    {"dir/.tavrel-update-7", true, "deeper component"},
    {".tavrel-updater", true, "prefix is 15 bytes with its hyphen"},
};

INSTANTIATE_TEST_SUITE_P(table, package_path_rule, ::testing::ValuesIn(path_cases));

TEST(package_path_rule, places_no_limit_on_length) {
    EXPECT_TRUE(is_safe_package_path(std::string(5000, 'a')));
    std::string deep;
    for (int i = 0; i < 1000; ++i)
        deep += "d/";
    EXPECT_TRUE(is_safe_package_path(deep + "f"));
}

TEST(ascii_folding, lowers_only_ascii_letters) {
    EXPECT_EQ(to_ascii_lower("\xC3\x84"
                             "BC"),
              "\xC3\x84"
              "bc");
    std::string all_bytes;
    for (int b = 0; b < 256; ++b)
        all_bytes.push_back(static_cast<char>(b));
    const std::string folded = to_ascii_lower(all_bytes);
    ASSERT_EQ(folded.size(), 256u);
    for (int b = 0; b < 256; ++b) {
        const int expected = (b >= 'A' && b <= 'Z') ? b + 32 : b;
        EXPECT_EQ(static_cast<unsigned char>(folded[b]), expected) << "byte " << b;
    }
}

} // namespace
} // namespace tavrel
