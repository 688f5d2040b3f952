#include "support/signing.h"

#include "auth/base64.h"

#include <sodium.h>

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace tavrel::test {

namespace {

const std::filesystem::path keys_dir = std::filesystem::path(TAVREL_SOURCE_DIR) / "tests/keys";

std::string read_text(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot open " + file.string());
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The secret key file of tavrel-sign: an identification line, then the Base64 of the key.
std::vector<std::uint8_t> test_secret_key() {
    constexpr std::string_view header = "tavrel-sign secret key 1\n";
    const std::string text = read_text(keys_dir / "test_update.key");
    std::vector<std::uint8_t> key;
    if (!text.starts_with(header) ||
        !decode_base64(std::string_view(text).substr(header.size(), 88), key) ||
        key.size() != crypto_sign_SECRETKEYBYTES)
        throw std::runtime_error("tests/keys/test_update.key is not a tavrel-sign secret key");
    return key;
}

} // namespace

std::string sign_bytes_base64(std::span<const std::uint8_t> bytes) {
    if (sodium_init() < 0)
        throw std::runtime_error("libsodium could not be initialised");
    const std::vector<std::uint8_t> key = test_secret_key();
    std::uint8_t signature[crypto_sign_BYTES];
    crypto_sign_detached(signature, nullptr, bytes.data(), bytes.size(), key.data());
    return encode_base64(signature);
}

std::string test_signature_base64(const std::filesystem::path& file) {
    const std::string text = read_text(file);
    return sign_bytes_base64(
        std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

std::string test_public_key_base64() {
    std::string text = read_text(keys_dir / "test_update.pub");
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

} // namespace tavrel::test
