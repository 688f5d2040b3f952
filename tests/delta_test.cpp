// The delta format's parts: the suffix array against a plain sort of the suffixes; patches
// that rebuild every result exactly, and a reader that refuses every malformed patch.
#include "delta/patch_format.h"
#include "delta/patch_reader.h"
#include "delta/patch_writer.h"
#include "delta/suffix_array.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>

namespace tavrel {
namespace {

std::vector<std::int32_t> sorted_suffixes(const std::string& text) {
    std::vector<std::int32_t> sa(text.size());
    std::iota(sa.begin(), sa.end(), 0);
    std::sort(sa.begin(), sa.end(), [&](std::int32_t a, std::int32_t b) {
        return std::string_view(text).substr(a) < std::string_view(text).substr(b);
    });
    return sa;
}

std::vector<std::int32_t> suffix_array_of(const std::string& text) {
    return build_suffix_array({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

TEST(suffix_array, equals_a_plain_sort_of_the_suffixes) {
    // Repetitive texts make the deepest recursions; bytes above 0x7F check unsigned order.
    for (const std::string& text : {std::string(), std::string("a"), std::string("ba"),
                                    std::string("aaaaaaaa"), std::string("abababababab"),
                                    std::string("mississippi"), std::string("\xff\x01\x80\x00", 4),
                                    std::string(1000, '\0'), std::string(257, '\xff') + "a"})
        EXPECT_EQ(suffix_array_of(text), sorted_suffixes(text)) << text;
    std::mt19937 random(20261207);
    for (int round = 0; round < 400; ++round) {
        const int alphabet = round % 4 == 0 ? 256 : 1 + round % 5;
        const std::size_t size = random() % (round < 300 ? 64 : 3000);
        std::string text(size, '\0');
        // Pieces copied from earlier in the text, as in a file's next version.
        for (std::size_t i = 0; i < size; ++i)
            text[i] = i > 16 && random() % 3 == 0 ? text[i - 1 - random() % 16]
                                                  : static_cast<char>(random() % alphabet);
        EXPECT_EQ(suffix_array_of(text), sorted_suffixes(text)) << "round " << round;
    }
}

using byte_vector = std::vector<std::uint8_t>;

byte_vector to_bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

byte_vector random_bytes(std::mt19937& random, std::size_t size, int alphabet = 256) {
    byte_vector out(size);
    for (auto& b : out)
        b = static_cast<std::uint8_t>(random() % alphabet);
    return out;
}

// The next version of a file: pieces kept, moved, dropped and inserted, and some bytes changed
// in kept pieces (as addresses change in moved code).
byte_vector next_version(std::mt19937& random, const byte_vector& base) {
    byte_vector out;
    while (out.size() < base.size() + base.size() / 8 + 16 && random() % 12 != 0) {
        if (!base.empty() && random() % 4 != 0) {
            const std::size_t from = random() % base.size();
            const std::size_t length = std::min<std::size_t>(base.size() - from, random() % 400);
            for (std::size_t i = 0; i < length; ++i)
                out.push_back(random() % 50 == 0 ? static_cast<std::uint8_t>(random())
                                                 : base[from + i]);
        } else {
            const byte_vector inserted = random_bytes(random, random() % 100);
            out.insert(out.end(), inserted.begin(), inserted.end());
        }
    }
    return out;
}

const std::string malformed_message = "An update file failed decompression or CRC validation.";

std::string apply_error(const byte_vector& base, const std::string& patch,
                        std::uint64_t max_result = 1 << 20) {
    try {
        apply_patch(base, to_bytes(patch), max_result);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

TEST(patch, rebuilds_every_result_exactly) {
    std::mt19937 random(20261207);
    for (int round = 0; round < 300; ++round) {
        const byte_vector base =
            random_bytes(random, round % 10 == 0 ? 0 : random() % 5000, 1 + round % 256);
        const byte_vector result = round % 10 == 1 ? byte_vector{} : next_version(random, base);
        const std::string patch = make_patch(base, result);
        EXPECT_EQ(patch_result_size(to_bytes(patch)), result.size());
        EXPECT_EQ(apply_patch(base, to_bytes(patch), result.size()), result) << "round " << round;
    }
}

TEST(patch, of_a_similar_file_is_small) {
    std::mt19937 random(7);
    const byte_vector base = random_bytes(random, 200000);
    byte_vector result = base;
    for (int i = 0; i < 100; ++i)
        result[random() % result.size()] ^= 0x5A;
    result.insert(result.begin() + 1000, base.begin() + 50000, base.begin() + 60000); // moved
    const std::string patch = make_patch(base, result);
    EXPECT_LT(patch.size(), 2000u);
    EXPECT_EQ(apply_patch(base, to_bytes(patch), result.size()), result);
}

// A valid patch cut, flipped or given the wrong base: refused with the message, never a
// crash (the sanitizers watch) nor a wrong result.
TEST(patch, every_malformed_patch_is_refused) {
    std::mt19937 random(11);
    const byte_vector base = random_bytes(random, 3000, 4);
    const byte_vector result = next_version(random, base);
    const std::string patch = make_patch(base, result);
    for (std::size_t cut = 0; cut < patch.size(); ++cut)
        EXPECT_EQ(apply_error(base, patch.substr(0, cut)), malformed_message) << cut;
    EXPECT_EQ(apply_error(base, patch + '\0'), malformed_message);
    for (std::size_t at = 0; at < patch.size(); ++at) {
        std::string flipped = patch;
        flipped[at] = static_cast<char>(flipped[at] ^ (1 << (at % 8)));
        const std::string error = apply_error(base, flipped);
        // A flipped byte in the stored differences or extra bytes makes another result of the
        // right size; the package's hash of the result catches that.
        EXPECT_TRUE(error == malformed_message || error.empty()) << at << ": " << error;
    }
    EXPECT_EQ(apply_error(base, patch, result.size() - 1), malformed_message);
    EXPECT_EQ(apply_error(byte_vector(base.begin(), base.begin() + 100), patch), malformed_message);

    // Hand-made patches: each breaks one rule of the layout.
    const auto stream = [](std::uint8_t codec, const std::string& raw) {
        std::string s(1, static_cast<char>(codec));
        s += static_cast<char>(raw.size());
        s += static_cast<char>(raw.size());
        return s + raw;
    };
    const std::string header = std::string(patch_format::magic) + '\x03';
    const std::string good = header + stream(0, std::string("\x00\x02\x01", 3)) +
                             stream(0, std::string("\x00\x00", 2)) + stream(0, "z");
    EXPECT_EQ(apply_error(to_bytes("abc"), good), "");
    EXPECT_EQ(apply_patch(to_bytes("abc"), to_bytes(good), 3), to_bytes("abz"));
    for (const auto& [name, bad] : std::vector<std::pair<std::string, std::string>>{
             {"wrong magic", "TVDELTA2" + good.substr(8)},
             {"unknown codec", header + stream(2, std::string("\x00\x02\x01", 3)) +
                                   stream(0, std::string("\x00\x00", 2)) + stream(0, "z")},
             {"seek before the base", header + stream(0, std::string("\x01\x02\x01", 3)) +
                                          stream(0, std::string("\x00\x00", 2)) + stream(0, "z")},
             {"copy beyond the base", header + stream(0, std::string("\x04\x02\x01", 3)) +
                                          stream(0, std::string("\x00\x00", 2)) + stream(0, "z")},
             {"instruction that makes nothing",
              header + stream(0, std::string("\x00\x00\x00\x00\x02\x01", 6)) +
                  stream(0, std::string("\x00\x00", 2)) + stream(0, "z")},
             {"streams not adding up", header + stream(0, std::string("\x00\x02\x01", 3)) +
                                           stream(0, std::string("\x00\x00", 2)) + stream(0, "zz")},
             {"control left over", header + stream(0, std::string("\x00\x02\x01\x00", 4)) +
                                       stream(0, std::string("\x00\x00", 2)) + stream(0, "z")},
             {"varint of 11 bytes",
              std::string(patch_format::magic) + std::string(10, '\x80') + '\x01'},
             {"LZMA2 stream that is not one", header + stream(1, std::string("\x00\x02\x01", 3)) +
                                                  stream(0, std::string("\x00\x00", 2)) +
                                                  stream(0, "z")},
         })
        EXPECT_EQ(apply_error(to_bytes("abc"), bad), malformed_message) << name;
}

} // namespace
} // namespace tavrel
