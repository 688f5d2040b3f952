// Ed25519 signature verification.
#pragma once

#include <cstdint>
#include <functional>

// Returns 1 when `signature` (64 bytes: R || S) is valid for `message` under `public_key`
// (32 bytes), 0 otherwise. Verification is cofactorless and compares R byte for byte, so a
// non-canonical R never verifies. The key is hashed exactly as given and decoded without rejecting
// small-order or non-reduced encodings.
//
// The caller must reject S >= L beforehand; only signatures with byte 63 above 0x1F are refused
// here. Null signature or key pointers give 0, as does a null message with a non-zero length; a
// null message of length 0 is the empty message. Uses no heap and is variable-time, which is fine
// because every input is public.
int ed25519_verify(const unsigned char* signature, const unsigned char* message,
                   std::uint64_t message_length, const unsigned char* public_key);

// The same, telling `hashed` how many bytes of the message are hashed so far, every few MiB
// (the download check moves its progress bar with it).
int ed25519_verify(const unsigned char* signature, const unsigned char* message,
                   std::uint64_t message_length, const unsigned char* public_key,
                   const std::function<void(std::uint64_t hashed)>& hashed);
