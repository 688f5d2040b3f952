#include "auth/base64.h"
#include "support/signing.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace tavrel {
namespace {

using bytes = std::vector<std::uint8_t>;

struct good_case {
    std::string text;
    bytes expected;
};

void PrintTo(const good_case& c, std::ostream* out) {
    *out << '"' << c.text << '"';
}

class base64_accepts : public ::testing::TestWithParam<good_case> {};

TEST_P(base64_accepts, decodes_to_expected_bytes) {
    bytes out = {0xAA, 0xBB}; // earlier contents must not survive
    ASSERT_TRUE(decode_base64(GetParam().text, out)) << GetParam().text;
    EXPECT_EQ(out, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(strict_base64, base64_accepts,
                         ::testing::Values(good_case{"Zg==", {'f'}}, good_case{"Zm8=", {'f', 'o'}},
                                           good_case{"Zm9v", {'f', 'o', 'o'}},
                                           good_case{"Zm9vYmFy", {'f', 'o', 'o', 'b', 'a', 'r'}},
                                           good_case{"Zm9vYg==", {'f', 'o', 'o', 'b'}},
                                           good_case{"+/+/", {0xFB, 0xFF, 0xBF}},
                                           good_case{"AAAA", {0, 0, 0}},
                                           good_case{"////", {0xFF, 0xFF, 0xFF}},
                                           good_case{"/w==", {0xFF}},
                                           good_case{"//8=", {0xFF, 0xFF}},
                                           good_case{std::string(128, 'A'), bytes(96, 0)},
                                           good_case{std::string(126, 'A') + "==", bytes(94, 0)}));

class base64_rejects : public ::testing::TestWithParam<std::string> {};

TEST_P(base64_rejects, fails) {
    bytes out;
    EXPECT_FALSE(decode_base64(GetParam(), out)) << '"' << GetParam() << '"';
}

INSTANTIATE_TEST_SUITE_P(
    strict_base64, base64_rejects,
    ::testing::Values(
        // length: empty, not a multiple of four, beyond 128 characters
        "", "Zg=", "Zg", "Zm9", "Zm9vY", std::string(132, 'A'), std::string(129, 'A'),
        // white space and line breaks, even where the length still fits
        "Zm9 ", " Zm9", "Zm9v Zm9", "Zm9v\nZm9", "Zm9v\r\nZm", "Zm\t9", "Zg==\n\n\n\n",
        // the URL-safe alphabet
        "-AAA", "A_AA", "AA-A", "AAA_",
        // padding in the wrong place
        "=AAA", "A=AA", "====", "A===", "Zg=A", "Zg==Zm9v", "Zm8=Zm9v", "Zm9vZg==Zm9v",
        // padding over set bits: a lenient decoder would accept these as "f" and "fo"
        "Zh==", "Zm==", "Zv==", "Zm9=", "Zm+=",
        // other bytes
        std::string("AA\0A", 4), "AA\xC3\xA9", "AA.A", "AA*A"));

TEST(base64, every_alphabet_character_has_its_value) {
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    bytes out;
    ASSERT_TRUE(decode_base64(alphabet, out));
    ASSERT_EQ(out.size(), 48u);
    // Every character's six bits, in order, make up the output bits.
    for (std::size_t i = 0; i < 64; ++i) {
        std::uint32_t value = 0;
        for (std::size_t bit = 0; bit < 6; ++bit) {
            const std::size_t at = i * 6 + bit;
            value = value << 1 | ((out[at / 8] >> (7 - at % 8)) & 1);
        }
        EXPECT_EQ(value, i) << alphabet[i];
    }
}

TEST(base64, round_trips_every_length_up_to_96_bytes) {
    std::mt19937 random(20240601);
    for (std::size_t length = 1; length <= 96; ++length) {
        bytes input(length);
        for (auto& b : input)
            b = static_cast<std::uint8_t>(random());
        const std::string text = test::encode_base64(input);
        bytes out;
        ASSERT_TRUE(decode_base64(text, out)) << text;
        EXPECT_EQ(out, input) << text;
    }
}

} // namespace
} // namespace tavrel
