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
#include <map>

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
        // What decoded encodes back, reading no byte beyond its own (here two 0xFF).
        out.insert(out.end(), {0xFF, 0xFF});
        EXPECT_TRUE(!ok || encode_base64(std::span(out).first(out.size() - 2)) == c[0]) << c[0];
    }
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
            check_update_signature(archive, signature_text, size, key_text, read, error);
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
    // A valid public key that signed nothing here.
    static std::string other_key(std::uint8_t n) {
        bytes other(32, n);
        return encode_base64(other);
    }
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
    const test::placeholders values = {
        {"{sig}", signature},
        {"{sig:84}", signature.substr(0, 84)},
        {"{sig:86}", signature.substr(0, 86)},
        {"{sig y|1}", signature.substr(0, 85) + alphabet[y | 1] + "=="},
        {"{S=L}", with_s([](bytes& s) { std::ranges::copy(group_order, s.begin() + 32); })},
        {"{S+L}", with_s(plus_l)},
        {"{S ones}", with_s([](bytes& s) { std::fill(s.begin() + 32, s.end(), 0xFF); })},
        {"{R^1}", with_s([](bytes& s) { s[0] ^= 1; })},
        {"{key}", key},
        {"{o1}", other_key(1)},
        {"{o2}", other_key(2)},
        {"{o3}", other_key(3)},
        {"{o4}", other_key(4)},
        {"{key:43}", key.substr(0, 43)},
        {"{key:40}", key.substr(0, 40)},
        {"{size}", std::to_string(content.size())},
        {"{content}", content},
        {"{content:1}", content.substr(1)},
        {"{content-1}", content.substr(0, content.size() - 1)}};
    const std::map<std::string, std::string> messages = {
        {"ok", "ok"}, {"A", message_a}, {"B", message_b}, {"C", message_c}, {"D", message_d}};
    for (const test::case_row& c : test::read_cases("download_checks")) {
        SCOPED_TRACE(c[5]);
        fs::remove_all(archive);
        fs::remove(dir / "real.zip");
        test::write_bytes(archive, content);
        const std::string change = test::expand(c[3], values);
        if (change.starts_with("bytes:"))
            test::write_bytes(archive, change.substr(6));
        if (change.starts_with("size:"))
            fs::resize_file(archive, std::stoull(change.substr(5)));
        if (change == "link")
            fs::rename(archive, dir / "real.zip"), fs::create_symlink(dir / "real.zip", archive);
        if (change == "dangling" || change == "directory" || change == "gone")
            fs::remove(archive);
        if (change == "dangling")
            fs::create_symlink(dir / "nowhere.zip", archive);
        if (change == "directory")
            fs::create_directory(archive);
        EXPECT_EQ(check(test::expand(c[0], values), std::stoull(test::expand(c[2], values)),
                        test::expand(c[1], values)),
                  messages.at(c[4]));
    }
    // A failed link test is a failure to read.
    fs::remove_all(archive);
    test::write_bytes(archive, content);
    const std::uint64_t size = content.size();
    {
        const test::injected_failure failure("status:1");
        EXPECT_EQ(check(signature, size, key), message_d);
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
    ASSERT_TRUE(check_update_signature(
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
