// The download check: the archive on disk, byte for byte, against the detached signature
// and the public key built into the updater.
#pragma once

#include "common/paths.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tavrel {

// False: `error` holds one of the four messages of the check.
bool check_update_signature(const path& archive_path, std::string_view signature_text,
                            std::uint64_t expected_size, std::string& error);
// S < L, then Ed25519.
bool verify_signature(std::span<const std::uint8_t> message,
                      std::span<const std::uint8_t> signature,
                      std::span<const std::uint8_t> public_key);

} // namespace tavrel
