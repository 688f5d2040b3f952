// The publisher's signing key file, shared by tavrel-sign and tavrel-release: two lines, an
// identification line and the Base64 of the 64-byte Ed25519 secret key (seed, then public
// key), readable by its owner only. Failures raise std::runtime_error with the user's message.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace tavrel::tools {

struct key_pair {
    unsigned char public_key[32];
    unsigned char secret_key[64];
};

// Refuses a file of the wrong size or form, and one whose public half does not match its seed.
key_pair read_secret_key(const std::string& file);
// A new key pair in a new file (never over an existing one), mode 0600.
key_pair create_secret_key(const std::string& file);

std::string public_key_base64(const key_pair& pair);
// The detached signature of `message`, 88 characters of Base64.
std::string signature_base64(const key_pair& pair, std::span<const std::uint8_t> message);

} // namespace tavrel::tools
