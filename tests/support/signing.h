// Update signatures for tests, made with libsodium and the test key pair in tests/keys/. The
// build under test must be configured with the test public key (TAVREL_TEST_PUBLIC_KEY).
#pragma once

#include "auth/base64.h"

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

namespace tavrel::test {

using tavrel::encode_base64;

// The 88-character signature of `bytes` with the test secret key.
std::string sign_bytes_base64(std::span<const std::uint8_t> bytes);
// The signature of the whole file with the test secret key.
std::string test_signature_base64(const std::filesystem::path& file);

// tests/keys/test_update.pub without its line break.
std::string test_public_key_base64();

} // namespace tavrel::test
