// Authentication: strict Base64, the download check with its four messages (A: the signature or
// key text, B: not verified, C: size or path, D: unreadable), the S < L test, the exact read,
// and that staging unpacks the very bytes that were verified.
#include "auth/base64.h"
#include "auth/update_signature.h"
#include "auth/update_signature_internal.h"
#include "install/transaction.h"
#include "staging/stage_update.h"
#include "support/case_table.h"
#include "support/signing.h"
#include "support/temp_tree.h"
#include "support/zip_builder.h"

#include <gtest/gtest.h>

#include <functional>

namespace tavrel {
namespace {

namespace fs = std::filesystem;
using bytes = std::vector<std::uint8_t>;

const std::string message_a = "The update signature or configured public key is invalid.";
const std::string message_b =
    "The update signature could not be verified. No installed files were changed.";
const std::string message_c = "The downloaded update has an unexpected size or path.";
const std::string message_d = "The downloaded update could not be read.";

// L of RFC 8032, little-endian.
const bytes group_order = {0xED, 0xD3, 0xF5, 0x5C, 0x1A, 0x63, 0x12, 0x58, 0xD6, 0x9C, 0xF7,
                           0xA2, 0xDE, 0xF9, 0xDE, 0x14, 0,    0,    0,    0,    0,    0,
                           0,    0,    0,    0,    0,    0,    0,    0,    0,    0x10};

TEST(base64, decodes_strictly) {
    for (const test::case_row& c : test::read_cases("base64")) {
        bytes out = {0xAA}; // what it held must not survive
        const bool ok = decode_base64(c[0], out);
        EXPECT_EQ(ok ? std::string(out.begin(), out.end()) : "-", c[1]) << '"' << c[0] << '"';
    }
    // Every character of the alphabet has its six bits, in order; encoding gives it back.
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    bytes out;
    ASSERT_TRUE(decode_base64(alphabet, out));
    for (std::size_t i = 0; i < 64; ++i) {
        std::uint32_t value = 0;
        for (std::size_t bit = i * 6; bit < i * 6 + 6; ++bit)
            value = value << 1 | ((out[bit / 8] >> (7 - bit % 8)) & 1);
        EXPECT_EQ(value, i) << alphabet[i];
    }
    EXPECT_EQ(encode_base64(out), alphabet);
    EXPECT_EQ(encode_base64(bytes{'f', 'o'}), "Zm8=");
}

class download_check : public ::testing::Test {
  protected:
    void SetUp() override { test::write_bytes(archive, content); }

    // The result, or the message the call left (an old text must never survive); only the
    // verified bytes come out, exactly those of the file.
    std::string check(const std::string& signature_text, std::uint64_t size,
                      const std::string& key_text) {
        std::string error = "left over from an earlier stage";
        verified_archive read;
        const bool ok =
            check_update_signature_with_key(archive, signature_text, size, key_text, read, error);
        EXPECT_EQ(read.size, ok ? size : 0u);
        EXPECT_TRUE(!ok || std::string(read.bytes().begin(), read.bytes().end()) ==
                               test::read_bytes(archive));
        return ok ? (error.empty() ? "ok" : "ok with " + error) : error;
    }

    test::temp_dir dir;
    fs::path archive = dir / "update.zip";
    std::string content = std::string(4000, 'c') + "tail";
    bytes content_bytes{content.begin(), content.end()};
    std::string signature = test::sign_bytes_base64(content_bytes);
    std::string key = test::test_public_key_base64();
};

TEST_F(download_check, gives_each_failure_its_message) {
    bytes raw;
    ASSERT_TRUE(decode_base64(signature, raw));
    const auto with_s = [&](const std::function<void(bytes&)>& change) {
        bytes s = raw;
        change(s);
        return encode_base64(s);
    };
    const auto plus_l = [](bytes& s) {
        for (unsigned i = 0, carry = 0; i < 32; ++i) {
            carry += s[32 + i] + group_order[i];
            s[32 + i] = static_cast<std::uint8_t>(carry);
            carry >>= 8;
        }
    };
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const auto y = alphabet.find(signature[85]); // "xy==": the low bits of y must be 0
    const std::uint64_t size = content.size();
    // The archive's changes: its bytes replaced, or it made a link to them, a dangling link,
    // a directory, or nothing.
    using alteration = std::function<void(const fs::path&)>;
    const auto bytes_of = [](std::string b) {
        return [b](const fs::path& a) { test::write_bytes(a, b); };
    };
    const auto resized = [](std::uintmax_t n) {
        return [n](const fs::path& a) { fs::resize_file(a, n); };
    };
    const alteration gone = [](const fs::path& a) { fs::remove(a); };
    const alteration a_directory = [](const fs::path& a) {
        fs::remove(a), fs::create_directory(a);
    };
    const alteration a_link = [&](const fs::path& a) {
        fs::rename(a, dir / "real.zip"), fs::create_symlink(dir / "real.zip", a);
    };
    const alteration dangling = [&](const fs::path& a) {
        fs::remove(a), fs::create_symlink(dir / "nowhere.zip", a);
    };
    const struct {
        const char* what;
        std::string signature, key;
        std::uint64_t size;
        alteration change;
        std::string result;
    } cases[] = {
        // clang-format off
        {"a good signature", signature, key, size, {}, "ok"},
        {"88 padding characters", std::string(88, '='), key, size, {}, message_a},
        {"set bits in the last group", signature.substr(0, 85) + alphabet[y | 1] + "==", key, size, {}, message_a},
        {"63 bytes", signature.substr(0, 84), key, size, {}, message_a},
        {"66 bytes", signature.substr(0, 84) + "AAAA", key, size, {}, message_a},
        {"padding missing", signature.substr(0, 86), key, size, {}, message_a},
        {"a key of 43 characters", signature, key.substr(0, 43), size, {}, message_a},
        {"a key of 33 bytes", signature, key.substr(0, 40) + "AAAA", size, {}, message_a},
        {"a key with a line break", signature, key + "\n", size, {}, message_a},
        {"A before the archive is looked at", std::string(88, '='), key, 1, gone, message_a},
        {"S = L", with_s([](bytes& s) { std::copy(group_order.begin(), group_order.end(), s.begin() + 32); }), key, size, {}, message_b},
        {"S + L, which the group equation would take", with_s(plus_l), key, size, {}, message_b},
        {"S all ones", with_s([](bytes& s) { std::fill(s.begin() + 32, s.end(), 0xFF); }), key, size, {}, message_b},
        {"R changed", with_s([](bytes& s) { s[0] ^= 1; }), key, size, {}, message_b},
        {"another key", signature, encode_base64(bytes(32, 7)), size, {}, message_b},
        {"the first byte changed", signature, key, size, bytes_of("C" + content.substr(1)), message_b},
        {"the last byte changed", signature, key, size, bytes_of(content.substr(0, size - 1) + "L"), message_b},
        {"a size one larger", signature, key, size + 1, {}, message_c},
        {"a size one smaller", signature, key, size - 1, {}, message_c},
        {"a file one byte longer", signature, key, size, bytes_of(content + "x"), message_c},
        {"size 0 of an empty file", signature, key, 0, bytes_of(""), message_c},
        {"exactly 512 MiB, judged by its signature", signature, key, 0x20000000, resized(0x20000000), message_b},
        {"one byte beyond 512 MiB", signature, key, 0x20000001, resized(0x20000001), message_c},
        {"a link to a good archive", signature, key, size, a_link, message_c},
        {"a missing archive", signature, key, size, gone, message_d},
        {"a link to nowhere", signature, key, size, dangling, message_d},
        {"a directory", signature, key, size, a_directory, message_d},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(archive);
        fs::remove(dir / "real.zip");
        test::write_bytes(archive, content);
        if (c.change)
            c.change(archive);
        EXPECT_EQ(check(c.signature, c.size, c.key), c.result);
    }
    // A failed link test is a failure to read; the built-in key is the configured one.
    fs::remove_all(archive);
    test::write_bytes(archive, content);
    {
        const test::injected_failure failure("status:1");
        EXPECT_EQ(check(signature, size, key), message_d);
    }
    if (std::string(TAVREL_TEST_PUBLIC_KEY) == key) {
        std::string error;
        verified_archive read;
        EXPECT_TRUE(check_update_signature(archive, signature, size, read, error)) << error;
    }
}

TEST_F(download_check, reads_exactly_the_announced_size_and_stages_what_it_verified) {
    verified_archive buffer;
    ASSERT_TRUE(read_exact_file(archive, content.size(), buffer));
    EXPECT_FALSE(read_exact_file(archive, content.size() - 1, buffer)); // the file grew
    EXPECT_FALSE(read_exact_file(archive, content.size() + 1, buffer)); // it shrank
    EXPECT_FALSE(read_exact_file(dir / "missing.zip", 10, buffer));

    // A signed archive passes the check; then an unsigned one of the same size is swapped in.
    // What is staged is what was verified.
    const std::string genuine = test::build_zip({test::file_entry("Tavrel.exe", "signed exe")});
    const std::string forged = test::build_zip({test::file_entry("Tavrel.exe", "forged exe")});
    test::write_bytes(archive, genuine);
    verified_archive verified;
    std::string error;
    ASSERT_TRUE(check_update_signature_with_key(
        archive, test::sign_bytes_base64(bytes(genuine.begin(), genuine.end())), genuine.size(),
        key, verified, error))
        << error;
    test::write_bytes(archive, forged);
    fs::create_directories(dir / "app");
    update_transaction transaction(dir / "app");
    ASSERT_TRUE(stage_update(transaction, verified.bytes(), error)) << error;
    EXPECT_EQ(test::read_bytes(staged_executable_path(transaction)), "signed exe");
}

TEST(signature_scalar, is_compared_with_the_group_order_from_the_top_byte_down) {
    for (const test::case_row& c : test::read_cases("signature_scalars")) {
        bytes signature(64, 0xAB);
        for (std::size_t i = 0; i < 32; ++i)
            signature[32 + i] =
                static_cast<std::uint8_t>(std::stoi(c[0].substr(2 * i, 2), nullptr, 16));
        EXPECT_EQ(signature_scalar_below_order(signature), c[1] == "below") << c[2];
    }
}

} // namespace
} // namespace tavrel
