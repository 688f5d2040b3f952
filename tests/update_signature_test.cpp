#include "auth/base64.h"
#include "auth/update_signature.h"
#include "auth/update_signature_internal.h"
#include "install/transaction.h"
#include "staging/stage_update.h"
#include "support/signing.h"
#include "support/temp_tree.h"
#include "support/zip_builder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace tavrel {
namespace {

namespace fs = std::filesystem;
using bytes = std::vector<std::uint8_t>;
using test::encode_base64;
using test::sign_bytes_base64;
using test::test_public_key_base64;

const std::string message_a = "The update signature or configured public key is invalid.";
const std::string message_b =
    "The update signature could not be verified. No installed files were changed.";
const std::string message_c = "The downloaded update has an unexpected size or path.";
const std::string message_d = "The downloaded update could not be read.";

// L of RFC 8032, little-endian.
const bytes group_order = {0xED, 0xD3, 0xF5, 0x5C, 0x1A, 0x63, 0x12, 0x58, 0xD6, 0x9C, 0xF7,
                           0xA2, 0xDE, 0xF9, 0xDE, 0x14, 0,    0,    0,    0,    0,    0,
                           0,    0,    0,    0,    0,    0,    0,    0,    0,    0x10};

bytes random_bytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    bytes out(size);
    for (auto& b : out)
        b = static_cast<std::uint8_t>(random());
    return out;
}

void write_bytes(const fs::path& file, const bytes& content) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(content.data()),
              static_cast<std::streamsize>(content.size()));
    ASSERT_TRUE(out.good());
}

bytes decoded(const std::string& text) {
    bytes out;
    EXPECT_TRUE(decode_base64(text, out)) << text;
    return out;
}

// Adds L to S (bytes 32 to 63): the same point [S]B, so a verifier without the range check
// would accept the result as a second valid signature.
bytes add_group_order(bytes signature) {
    unsigned carry = 0;
    for (std::size_t i = 0; i < 32; ++i) {
        const unsigned sum = signature[32 + i] + group_order[i] + carry;
        signature[32 + i] = static_cast<std::uint8_t>(sum);
        carry = sum >> 8;
    }
    return signature;
}

class update_signature : public ::testing::Test {
  protected:
    void SetUp() override {
        archive = dir / "update.zip";
        content = random_bytes(4099, 7);
        write_bytes(archive, content);
        signature = sign_bytes_base64(content);
        key = test_public_key_base64();
    }

    // The result, and the error that the call left (the old text must never survive).
    std::pair<bool, std::string> check(const fs::path& file, const std::string& signature_text,
                                       std::uint64_t size, const std::string& key_text) {
        std::string error = "left over from an earlier stage";
        verified_archive bytes;
        const bool ok =
            check_update_signature_with_key(file, signature_text, size, key_text, bytes, error);
        // Only verified bytes come out, and exactly those of the file.
        EXPECT_EQ(bytes.size, ok ? size : 0u);
        if (ok) {
            EXPECT_TRUE(std::equal(bytes.bytes().begin(), bytes.bytes().end(), content.begin(),
                                   content.end()));
        }
        return {ok, error};
    }
    std::pair<bool, std::string> check(const std::string& signature_text) {
        return check(archive, signature_text, content.size(), key);
    }

    test::temp_dir dir;
    fs::path archive;
    bytes content;
    std::string signature;
    std::string key;
};

TEST_F(update_signature, accepts_correctly_signed_archive_and_clears_error) {
    EXPECT_EQ(check(signature), std::make_pair(true, std::string()));
}

TEST_F(update_signature, built_in_key_is_the_configured_one) {
    if (std::string(TAVREL_TEST_PUBLIC_KEY) != key)
        GTEST_SKIP()
            << "configure with -DTAVREL_UPDATE_PUBLIC_KEY=$(cat tests/keys/test_update.pub)";
    std::string error = "old";
    verified_archive bytes;
    EXPECT_TRUE(check_update_signature(archive, signature, content.size(), bytes, error));
    EXPECT_EQ(error, "");
    content[0] ^= 1;
    write_bytes(archive, content);
    EXPECT_FALSE(check_update_signature(archive, signature, content.size(), bytes, error));
    EXPECT_EQ(error, message_b);
}

TEST_F(update_signature, signature_texts_that_do_not_decode_to_64_bytes_give_message_a) {
    std::string low_bits = signature;
    // The last group is "xy==": any of the low four bits of y set makes the text invalid.
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    ASSERT_EQ(signature.substr(86), "==");
    const auto y = alphabet.find(signature[85]);
    const std::vector<std::string> texts = {
        std::string(88, '='),
        signature.substr(0, 85) + alphabet[y | 1] + "==",
        signature.substr(0, 85) + alphabet[y | 8] + "==",
        "=" + signature.substr(1),
        signature.substr(0, 43) + "=" + signature.substr(44),
        signature.substr(0, 84) + "=" + signature.substr(85),
        signature.substr(0, 85) + "===",
        signature.substr(0, 84),          // 63 bytes
        signature.substr(0, 84) + "AAAA", // 66 bytes
        signature.substr(0, 86),          // padding missing
        "",
        signature.substr(0, 40) + "-" + signature.substr(41),
        signature.substr(0, 40) + " " + signature.substr(41),
    };
    for (const std::string& text : texts)
        EXPECT_EQ(check(text), std::make_pair(false, message_a)) << text;
}

TEST_F(update_signature, key_texts_that_do_not_decode_to_32_bytes_give_message_a) {
    const std::vector<std::string> keys = {"",
                                           key.substr(0, 43),
                                           key.substr(0, 40),          // 30 bytes
                                           key.substr(0, 40) + "AAAA", // 33 bytes
                                           key.substr(0, 42) + "==",   // 31 bytes, bits set
                                           key + "\n",
                                           std::string(44, '=')};
    for (const std::string& text : keys)
        EXPECT_EQ(check(archive, signature, content.size(), text), std::make_pair(false, message_a))
            << text;
}

TEST_F(update_signature, a_decodable_bad_signature_is_message_a_only_for_format_not_for_content) {
    // Message A is decided before the archive is looked at: it holds for a missing archive too.
    EXPECT_EQ(check(dir / "missing.zip", std::string(88, '='), 1, key),
              std::make_pair(false, message_a));
    EXPECT_EQ(check(dir / "missing.zip", signature, 1, key), std::make_pair(false, message_d));
}

TEST_F(update_signature, scalar_at_or_above_the_group_order_gives_message_b) {
    const bytes good = decoded(signature);
    bytes equal = good;
    for (std::size_t i = 0; i < 32; ++i)
        equal[32 + i] = group_order[i];
    bytes maximum = good;
    std::fill(maximum.begin() + 32, maximum.end(), 0xFF);
    for (const bytes& bad : {equal, maximum, add_group_order(good)})
        EXPECT_EQ(check(encode_base64(bad)), std::make_pair(false, message_b));
}

TEST_F(update_signature, malleated_signature_is_refused_by_verify_signature) {
    const bytes good = decoded(signature);
    const bytes public_key = decoded(key);
    ASSERT_TRUE(verify_signature(content, good, public_key));
    EXPECT_FALSE(verify_signature(content, add_group_order(good), public_key));
}

TEST_F(update_signature, one_changed_byte_anywhere_gives_message_b) {
    for (const std::size_t at : {std::size_t{0}, content.size() / 2, content.size() - 1}) {
        bytes changed = content;
        changed[at] ^= 0x01;
        write_bytes(archive, changed);
        EXPECT_EQ(check(signature), std::make_pair(false, message_b)) << at;
    }
    bytes changed_signature = decoded(signature);
    changed_signature[0] ^= 0x01;
    write_bytes(archive, content);
    EXPECT_EQ(check(encode_base64(changed_signature)), std::make_pair(false, message_b));
}

TEST_F(update_signature, signature_under_another_key_gives_message_b) {
    const std::string other_key = encode_base64(random_bytes(32, 99));
    const auto [ok, error] = check(archive, signature, content.size(), other_key);
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, message_b);
}

TEST_F(update_signature, size_mismatches_give_message_c) {
    EXPECT_EQ(check(archive, signature, content.size() + 1, key), std::make_pair(false, message_c));
    EXPECT_EQ(check(archive, signature, content.size() - 1, key), std::make_pair(false, message_c));
    EXPECT_EQ(check(archive, signature, 0, key), std::make_pair(false, message_c));
    // A file one byte longer or shorter than the size that was signed and announced.
    for (const std::size_t size : {content.size() + 1, content.size() - 1}) {
        bytes other = content;
        other.resize(size, 0x5A);
        write_bytes(archive, other);
        EXPECT_EQ(check(signature), std::make_pair(false, message_c)) << size;
    }
}

TEST_F(update_signature, empty_file_and_file_beyond_512_mib_give_message_c) {
    write_bytes(archive, {});
    EXPECT_EQ(check(archive, signature, 0, key), std::make_pair(false, message_c));
    // Sparse: exactly 512 MiB is read and judged by its signature; one byte more is refused
    // for its size before anything is read.
    const std::uint64_t limit = 0x20000000ULL;
    fs::resize_file(archive, limit);
    EXPECT_EQ(check(archive, signature, limit, key), std::make_pair(false, message_b));
    fs::resize_file(archive, limit + 1);
    EXPECT_EQ(check(archive, signature, limit + 1, key), std::make_pair(false, message_c));
}

TEST_F(update_signature, symbolic_link_to_a_good_archive_gives_message_c) {
    const fs::path target = dir / "real.zip";
    fs::rename(archive, target);
    fs::create_symlink(target, archive);
    EXPECT_EQ(check(signature), std::make_pair(false, message_c));
    // The link with the wrong size is refused for its size already.
    EXPECT_EQ(check(archive, signature, content.size() + 1, key), std::make_pair(false, message_c));
}

TEST_F(update_signature, missing_or_unsizable_archive_gives_message_d) {
    fs::remove(archive);
    EXPECT_EQ(check(signature), std::make_pair(false, message_d));
    fs::create_symlink(dir / "nowhere.zip", archive);
    EXPECT_EQ(check(signature), std::make_pair(false, message_d));
    fs::remove(archive);
    fs::create_directory(archive);
    EXPECT_EQ(check(signature), std::make_pair(false, message_d));
}

TEST_F(update_signature, failed_link_test_gives_message_d) {
    {
        const test::injected_failure failure("status:1");
        EXPECT_EQ(check(signature), std::make_pair(false, message_d));
    }
    EXPECT_EQ(check(signature), std::make_pair(true, std::string()));
}

TEST_F(update_signature, archive_that_cannot_be_opened_gives_message_b) {
    if (!test::permissions_are_enforced())
        GTEST_SKIP() << "permission bits are not enforced for this user";
    fs::permissions(archive, fs::perms::none);
    EXPECT_EQ(check(signature), std::make_pair(false, message_b));
}

TEST_F(update_signature, file_that_grew_or_shrank_after_the_size_query_is_not_read) {
    verified_archive buffer;
    ASSERT_TRUE(read_exact_file(archive, content.size(), buffer));
    EXPECT_EQ(bytes(buffer.bytes().begin(), buffer.bytes().end()), content);
    // The size taken earlier is one less than the file now holds: it grew.
    EXPECT_FALSE(read_exact_file(archive, content.size() - 1, buffer));
    // One more: it shrank.
    EXPECT_FALSE(read_exact_file(archive, content.size() + 1, buffer));
    EXPECT_FALSE(read_exact_file(dir / "missing.zip", 10, buffer));
}

TEST_F(update_signature, staging_unpacks_the_verified_bytes_whatever_the_file_holds_later) {
    // A signed archive passes the check; then someone swaps in an unsigned one of the same
    // size. What is staged is what was verified.
    const std::string genuine = test::build_zip({test::file_entry("Tavrel.exe", "signed exe")});
    const std::string forged = test::build_zip({test::file_entry("Tavrel.exe", "forged exe")});
    ASSERT_EQ(genuine.size(), forged.size());
    test::write_bytes(archive, genuine);
    const bytes genuine_bytes(genuine.begin(), genuine.end());
    verified_archive verified;
    std::string error;
    ASSERT_TRUE(check_update_signature_with_key(archive, sign_bytes_base64(genuine_bytes),
                                                genuine.size(), key, verified, error))
        << error;
    test::write_bytes(archive, forged);

    fs::create_directories(dir / "app");
    update_transaction transaction(dir / "app");
    ASSERT_TRUE(stage_update(transaction, verified.bytes(), error)) << error;
    EXPECT_EQ(test::read_bytes(staged_executable_path(transaction)), "signed exe");
}

struct scalar_case {
    const char* name;
    bytes s; // little-endian
    bool below;
};

bytes order_with(std::size_t at, std::uint8_t value, std::uint8_t below_fill) {
    bytes s = group_order;
    s[at] = value;
    for (std::size_t i = 0; i < at; ++i)
        s[i] = below_fill;
    return s;
}

TEST(signature_scalar, is_compared_with_the_group_order_from_the_top_byte_down) {
    bytes order_minus_one = group_order;
    order_minus_one[0] -= 1;
    bytes order_plus_one = group_order;
    order_plus_one[0] += 1;
    bytes top_only_small = bytes(32, 0xFF);
    top_only_small[31] = 0x0F;
    const std::vector<scalar_case> cases = {
        {"zero", bytes(32, 0), true},
        {"L - 1", order_minus_one, true},
        {"L", group_order, false},
        {"L + 1", order_plus_one, false},
        {"all ones", bytes(32, 0xFF), false},
        {"byte 63 below, the rest all ones", top_only_small, true},
        {"byte 63 above, the rest zero", order_with(31, 0x11, 0x00), false},
        {"byte 47 below, lower bytes all ones", order_with(15, 0x13, 0xFF), true},
        {"byte 47 above, lower bytes zero", order_with(15, 0x15, 0x00), false},
        {"byte 48 set above L's zero", order_with(16, 0x01, 0x00), false},
        {"byte 32 one below", order_with(0, 0xEC, 0x00), true},
    };
    for (const scalar_case& c : cases) {
        bytes signature(64, 0xAB);
        for (std::size_t i = 0; i < 32; ++i)
            signature[32 + i] = c.s[i];
        EXPECT_EQ(signature_scalar_below_order(signature), c.below) << c.name;
    }
}

TEST(verify_signature_lengths, wrong_lengths_are_refused) {
    const bytes message = {1, 2, 3};
    EXPECT_FALSE(verify_signature(message, bytes(63, 0), bytes(32, 0)));
    EXPECT_FALSE(verify_signature(message, bytes(65, 0), bytes(32, 0)));
    EXPECT_FALSE(verify_signature(message, bytes(64, 0), bytes(31, 0)));
    EXPECT_FALSE(verify_signature(message, bytes(64, 0), bytes(33, 0)));
    EXPECT_FALSE(verify_signature(message, {}, {}));
}

TEST(verify_signature_messages, empty_message_verifies) {
    const bytes empty;
    const bytes signature = decoded(sign_bytes_base64(empty));
    const bytes public_key = decoded(test_public_key_base64());
    EXPECT_TRUE(verify_signature(empty, signature, public_key));
    EXPECT_FALSE(verify_signature(bytes{0}, signature, public_key));
}

} // namespace
} // namespace tavrel
