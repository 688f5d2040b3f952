#include "auth/base64.h"
#include "support/programs.h"
#include "support/signing.h"
#include "support/temp_tree.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace tavrel {
namespace {

namespace fs = std::filesystem;
using bytes = std::vector<std::uint8_t>;

using test::encode_base64;
using test::test_public_key_base64;
using test::test_signature_base64;

const fs::path test_key_file = fs::path(TAVREL_SOURCE_DIR) / "tests/keys/test_update.key";

std::string read_text(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void write_text(const fs::path& file, std::string_view text) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    if (!out)
        throw std::runtime_error("cannot write " + file.string());
}

class tavrel_sign : public ::testing::Test {
  protected:
    static test::run_result sign_tool_run(const std::vector<std::string>& arguments) {
        return test::run(test::program("tavrel-sign"), arguments);
    }

    test::temp_dir dir;
};

bool is_base64_of(const std::string& text, std::size_t size) {
    bytes out;
    return decode_base64(text, out) && out.size() == size;
}

TEST_F(tavrel_sign, keygen_writes_an_owner_only_key_and_prints_its_public_half) {
    const fs::path key = dir / "release.key";
    for (const ::mode_t mask : {0000, 0077, 0022, 0277}) {
        fs::remove(key);
        // The tool inherits the mask; whatever it says, the key ends up owner read/write.
        const ::mode_t saved = ::umask(mask);
        const test::run_result r = sign_tool_run({"keygen", key.string()});
        ::umask(saved);
        ASSERT_EQ(r.exit_code, 0) << r.err;
        ASSERT_EQ(r.out.size(), 45u) << r.out;
        EXPECT_EQ(r.out.back(), '\n');
        EXPECT_TRUE(is_base64_of(r.out.substr(0, 44), 32)) << r.out;
        EXPECT_EQ(fs::status(key).permissions(), fs::perms::owner_read | fs::perms::owner_write)
            << "umask " << mask;
        EXPECT_EQ(read_text(key).substr(0, 25), "tavrel-sign secret key 1\n");
        const test::run_result again = sign_tool_run({"public", key.string()});
        EXPECT_EQ(again.exit_code, 0) << again.err;
        EXPECT_EQ(again.out, r.out);
    }
}

TEST_F(tavrel_sign, keygen_never_overwrites_an_existing_file) {
    const fs::path key = dir / "release.key";
    write_text(key, "the only copy of an older key\n");
    const test::run_result r = sign_tool_run({"keygen", key.string()});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(key.string()), std::string::npos) << r.err;
    EXPECT_EQ(read_text(key), "the only copy of an older key\n");
    fs::create_symlink(dir / "elsewhere.key", dir / "link.key");
    EXPECT_EQ(sign_tool_run({"keygen", (dir / "link.key").string()}).exit_code, 2);
    EXPECT_FALSE(fs::exists(dir / "elsewhere.key"));
}

TEST_F(tavrel_sign, the_test_key_files_belong_together) {
    const test::run_result r = sign_tool_run({"public", test_key_file.string()});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, test_public_key_base64() + "\n");
}

TEST_F(tavrel_sign, sign_prints_signature_and_size_that_verify) {
    const fs::path file = dir / "update.zip";
    write_text(file, std::string(100000, 'z') + "end");
    const test::run_result r = sign_tool_run({"sign", test_key_file.string(), file.string()});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::string signature = r.out.substr(0, r.out.find('\n'));
    EXPECT_EQ(r.out, signature + "\n100003\n");
    ASSERT_TRUE(is_base64_of(signature, 64)) << signature;
    // Ed25519 is deterministic: libsodium with the same key gives the same signature.
    EXPECT_EQ(signature, test_signature_base64(file));

    const test::run_result valid =
        sign_tool_run({"verify", test_public_key_base64(), signature, file.string()});
    EXPECT_EQ(valid.exit_code, 0) << valid.err;
    EXPECT_EQ(valid.out, "valid\n");

    write_text(file, std::string(100000, 'z') + "enD");
    const test::run_result invalid =
        sign_tool_run({"verify", test_public_key_base64(), signature, file.string()});
    EXPECT_EQ(invalid.exit_code, 1) << invalid.err;
    EXPECT_EQ(invalid.out, "invalid\n");
}

TEST_F(tavrel_sign, sign_and_verify_an_empty_file) {
    const fs::path file = dir / "empty";
    write_text(file, "");
    const test::run_result r = sign_tool_run({"sign", test_key_file.string(), file.string()});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::string signature = r.out.substr(0, 88);
    EXPECT_EQ(r.out, signature + "\n0\n");
    EXPECT_EQ(sign_tool_run({"verify", test_public_key_base64(), signature, file.string()}).out,
              "valid\n");
}

TEST_F(tavrel_sign, verify_refuses_another_key_and_wrong_length_signatures_as_invalid) {
    const fs::path file = dir / "update.zip";
    write_text(file, "content");
    const std::string signature = test_signature_base64(file);
    bytes other_key(32);
    randombytes_buf(other_key.data(), other_key.size());
    EXPECT_EQ(
        sign_tool_run({"verify", encode_base64(other_key), signature, file.string()}).exit_code, 1);
    // 63 bytes: a Base64 text, but no signature.
    bytes decoded;
    ASSERT_TRUE(decode_base64(signature, decoded));
    decoded.pop_back();
    const test::run_result r =
        sign_tool_run({"verify", test_public_key_base64(), encode_base64(decoded), file.string()});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "invalid\n");
}

TEST_F(tavrel_sign, usage_errors_and_undecodable_input_exit_with_2) {
    const fs::path file = dir / "update.zip";
    write_text(file, "content");
    const std::string key = test_public_key_base64();
    const std::string signature = test_signature_base64(file);
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"help"},
        {"keygen"},
        {"keygen", "a", "b"},
        {"public"},
        {"sign", test_key_file.string()},
        {"verify", key, signature},
        {"verify", key, signature, file.string(), "extra"},
        {"verify", key, signature.substr(0, 86), file.string()},          // no padding
        {"verify", key, " " + signature.substr(1), file.string()},        // white space
        {"verify", key, signature.substr(0, 85) + "B==", file.string()},  // bits in padding
        {"verify", key, "", file.string()},                               // empty
        {"verify", key.substr(0, 43), signature, file.string()},          // key: 43 chars
        {"verify", key.substr(0, 40) + "AAAA", signature, file.string()}, // key: 33 bytes
        {"verify", key, signature, (dir / "missing.zip").string()},       // unreadable
        {"sign", test_key_file.string(), (dir / "missing.zip").string()}, // unreadable
        {"sign", (dir / "missing.key").string(), file.string()},          // no key
        {"public", file.string()},                                        // not a key
    };
    for (const auto& arguments : cases) {
        const test::run_result r = sign_tool_run(arguments);
        std::string shown;
        for (const auto& a : arguments)
            shown += a + " ";
        EXPECT_EQ(r.exit_code, 2) << shown;
        EXPECT_EQ(r.out, "") << shown;
        EXPECT_FALSE(r.err.empty()) << shown;
    }
    EXPECT_NE(sign_tool_run({}).err.find("usage: tavrel-sign"), std::string::npos);
}

TEST_F(tavrel_sign, secret_key_files_of_wrong_size_format_or_content_are_refused) {
    const std::string good = read_text(test_key_file);
    ASSERT_EQ(good.size(), 114u);
    std::string wrong_header = good;
    wrong_header[21] = '2'; // "secret key 2"
    std::string damaged = good;
    // The last Base64 group carries the public half: its seed no longer gives it.
    ASSERT_EQ(good.substr(111), "==\n");
    damaged[109] = damaged[109] == 'A' ? 'B' : 'A';
    std::string not_base64 = good;
    not_base64[30] = '-';
    const std::vector<std::pair<std::string, std::string>> cases = {
        {good.substr(0, 113), "is not a tavrel-sign secret key file (113 bytes"},
        {good + "\n", "is not a tavrel-sign secret key file (115 bytes"},
        {"", "is not a tavrel-sign secret key file (0 bytes"},
        {wrong_header, "(unknown format)"},
        {good.substr(0, 113) + "\r", "(unknown format)"},
        {not_base64, "(the key is not valid Base64)"},
        {damaged, "is damaged: its public half does not match its seed"},
    };
    const fs::path key = dir / "release.key";
    for (const auto& [content, message] : cases) {
        write_text(key, content);
        const test::run_result r = sign_tool_run({"public", key.string()});
        EXPECT_EQ(r.exit_code, 2) << message;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
        EXPECT_EQ(sign_tool_run({"sign", key.string(), test_key_file.string()}).exit_code, 2);
    }
}

// --- published Ed25519 vectors through the updater's verifier --------------------------------

bytes from_hex(const std::string& hex) {
    bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// The text of `"name": "..."` in one record line, or of `"name": true/false`.
std::string field(const std::string& line, const std::string& name) {
    const std::string key = "\"" + name + "\": ";
    const std::size_t at = line.find(key);
    if (at == std::string::npos)
        throw std::runtime_error("record without " + name + ": " + line);
    const std::size_t start = at + key.size();
    if (line[start] == '"')
        return line.substr(start + 1, line.find('"', start + 1) - start - 1);
    return line.substr(start, line.find_first_of(",}", start) - start);
}

class published_vectors : public tavrel_sign, public ::testing::WithParamInterface<const char*> {};

TEST_P(published_vectors, give_their_expected_verdict) {
    std::ifstream records(fs::path(TAVREL_TESTDATA_DIR) / "ed25519" / GetParam());
    ASSERT_TRUE(records) << GetParam();
    const fs::path message_file = dir / "message";
    std::string line;
    int count = 0;
    while (std::getline(records, line)) {
        if (line.find("\"msg\"") == std::string::npos)
            continue;
        ++count;
        const bytes message = from_hex(field(line, "msg"));
        const bytes signature = from_hex(field(line, "sig"));
        const bytes key = from_hex(field(line, "pk"));
        const bool expected = field(line, "expected") == "true";
        write_text(message_file,
                   std::string_view(reinterpret_cast<const char*>(message.data()), message.size()));
        const test::run_result r = sign_tool_run(
            {"verify", encode_base64(key), encode_base64(signature), message_file.string()});
        // An empty signature has no Base64 text that the updater accepts.
        const int wanted = expected ? 0 : signature.empty() ? 2 : 1;
        EXPECT_EQ(r.exit_code, wanted) << field(line, "note") << "\n" << r.err;
    }
    EXPECT_GT(count, 10);
}

INSTANTIATE_TEST_SUITE_P(ed25519, published_vectors,
                         ::testing::Values("wycheproof.json", "speccheck.json"));

} // namespace
} // namespace tavrel
