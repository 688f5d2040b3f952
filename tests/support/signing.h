// Update signatures for tests, made by the publisher's signing code with the test key pair in
// tests/keys/. The build under test must trust its public key (TAVREL_TEST_PUBLIC_KEY).
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

namespace tavrel::test {

// The 88-character signature of `bytes`, or of the whole file, with the test secret key.
std::string sign_bytes_base64(std::span<const std::uint8_t> bytes);
std::string test_signature_base64(const std::filesystem::path& file);

// tests/keys/test_update.pub without its line break.
std::string test_public_key_base64();

} // namespace tavrel::test
