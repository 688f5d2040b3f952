// The download check: the archive on disk, byte for byte, against the detached signature
// and the public keys built into the updater.
#pragma once

#include "common/paths.h"
#include "common/progress.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace tavrel {

// The archive as read, once, by the download check. Staging unpacks these very bytes, so
// rewriting the file after the check changes nothing that is installed.
struct verified_archive {
    platform::large_block data;
    std::size_t size = 0;
    std::span<const unsigned char> bytes() const { return {data.get(), size}; }
};

// At most this many trusted keys: each one tried hashes the whole archive once more.
inline constexpr std::size_t max_public_keys = 4;

// `public_keys`: the trusted keys, Base64, separated by "," or ";", tried in this order (the
// current key first); the signature passes when it verifies under any of them.
// False: `error` holds one of the four messages of the check. True: `archive` holds the
// verified bytes.
// `progress`, when given, follows the bytes read and then the bytes hashed for the first key.
bool check_update_signature(const path& archive_path, std::string_view signature_text,
                            std::uint64_t expected_size, std::string_view public_keys,
                            verified_archive& archive, std::string& error,
                            progress_meter* progress = nullptr);
// S < L, then Ed25519; `hashed` hears how much of the message is hashed so far.
bool verify_signature(std::span<const std::uint8_t> message,
                      std::span<const std::uint8_t> signature,
                      std::span<const std::uint8_t> public_key,
                      const std::function<void(std::uint64_t)>& hashed = {});

} // namespace tavrel
