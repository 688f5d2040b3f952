// The download check: the archive on disk, byte for byte, against the detached signature
// and the public key built into the updater.
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

// False: `error` holds one of the four messages of the check. True: `archive` holds the
// verified bytes.
// `progress`, when given, follows the bytes read and then the bytes hashed.
bool check_update_signature(const path& archive_path, std::string_view signature_text,
                            std::uint64_t expected_size, verified_archive& archive,
                            std::string& error, progress_meter* progress = nullptr);
// S < L, then Ed25519; `hashed` hears how much of the message is hashed so far.
bool verify_signature(std::span<const std::uint8_t> message,
                      std::span<const std::uint8_t> signature,
                      std::span<const std::uint8_t> public_key,
                      const std::function<void(std::uint64_t)>& hashed = {});

} // namespace tavrel
