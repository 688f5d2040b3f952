// The case folding of file names: the table of cases, the whole table against CaseFolding.txt
// read here with a parser of its own, and glibc's case mappings as a second, independent source.
#include "common/case_fold.h"
#include "support/case_table.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cwctype>
#include <fstream>
#include <map>
#include <string>

namespace tavrel {
namespace {

// The build generates its table from this file (cmake/case_fold_table.cmake's default).
constexpr const char* case_folding_file = "/usr/share/unicode/CaseFolding.txt";

std::string hex(char32_t c) {
    char text[16];
    std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(c));
    return text;
}

bool surrogate(char32_t c) {
    return c >= 0xD800 && c <= 0xDFFF;
}

std::string utf8_of(char32_t c) {
    std::string out;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

TEST(case_fold, table_of_names) {
    for (const test::case_row& c : test::read_cases("case_folds")) {
        SCOPED_TRACE(::testing::PrintToString(c[0]) + " (" + c[2] + ")");
        EXPECT_EQ(fold_case(c[0]), c[1]);
        EXPECT_EQ(fold_case(c[1]), c[1]); // a folded name folds to itself
    }
}

// Every code point against the C and S rows of CaseFolding.txt, both alone and as UTF-8 (where
// the byte length may change), so that no row is lost, misread or taken from F or T.
TEST(case_fold, every_code_point_as_case_folding_txt_says) {
    std::ifstream in(case_folding_file);
    ASSERT_TRUE(in) << case_folding_file;
    std::map<char32_t, char32_t> simple;
    for (std::string line; std::getline(in, line);) {
        unsigned from = 0, to = 0;
        char status = 0;
        if (std::sscanf(line.c_str(), "%x; %c; %x;", &from, &status, &to) == 3 &&
            (status == 'C' || status == 'S'))
            simple[from] = to;
    }
    ASSERT_GT(simple.size(), 1400u);
    // Plain comparisons over 1.1 million code points; the first few mismatches are reported.
    std::string mismatches;
    std::size_t folded = 0;
    for (char32_t c = 0; c <= 0x10FFFF && mismatches.size() < 400; ++c) {
        const auto row = simple.find(c);
        const char32_t expected = c <= 0xFFFF && row != simple.end() ? row->second : c;
        folded += expected != c;
        // As UTF-8: the BMP, and those beyond it that would fold if they were in it.
        const bool as_utf8 = !surrogate(c) && (c <= 0xFFFF || row != simple.end());
        if (fold_code_point(c) != expected ||
            (as_utf8 && fold_case(utf8_of(c)) != utf8_of(expected)))
            mismatches += " U+" + hex(c) + " folds to U+" + hex(fold_code_point(c)) + ", not U+" +
                          hex(expected) + ";";
    }
    EXPECT_EQ(mismatches, "");
    EXPECT_GE(folded, 1194u); // as in CaseFolding 15.0; later versions only add rows
}

// glibc's towlower and towupper (C.UTF-8) never take a character out of its fold class, and no
// character folds that has neither mapping: glibc's own tables, not CaseFolding.txt, agree on
// which characters are one name. The exceptions are the Turkic pair, whose folds are status T.
TEST(case_fold, case_mappings_of_glibc_stay_in_the_fold_class) {
    ASSERT_NE(std::setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
    ASSERT_EQ(std::towupper(0x3C3), 0x3A3u); // the locale maps more than ASCII
    for (char32_t c = 0; c <= 0xFFFF; ++c) {
        if (surrogate(c))
            continue;
        SCOPED_TRACE(::testing::Message() << std::hex << "U+" << unsigned(c));
        const auto lower = static_cast<char32_t>(std::towlower(c));
        const auto upper = static_cast<char32_t>(std::towupper(c));
        const char32_t fold = fold_code_point(c);
        EXPECT_EQ(fold_code_point(fold), fold);
        if (c == 0x130 || c == 0x131) { // İ lowers to i, ı uppers to I; neither folds
            EXPECT_EQ(fold, c);
            continue;
        }
        EXPECT_EQ(fold_code_point(lower), fold);
        EXPECT_EQ(fold_code_point(upper), fold);
        if (lower == c && upper == c) {
            EXPECT_EQ(fold, c);
        }
    }
    std::setlocale(LC_CTYPE, "C");
}

} // namespace
} // namespace tavrel
