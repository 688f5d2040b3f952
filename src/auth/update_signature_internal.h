// The download check's pieces, open to tests: the check against a key of the caller's choice,
// and the exact read that catches a file that grew or shrank after its size was taken.
#pragma once

#include "auth/update_signature.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tavrel {

bool check_update_signature_with_key(const path& archive_path, std::string_view signature_text,
                                     std::uint64_t expected_size, std::string_view public_key_text,
                                     verified_archive& archive, std::string& error,
                                     progress_meter* progress = nullptr);

// S, bytes 32 to 63 of a 64-byte signature, read little-endian, is below the group order L.
bool signature_scalar_below_order(std::span<const std::uint8_t> signature);

// Reads exactly `size` bytes into `archive`. False when the file cannot be opened, holds fewer
// bytes, or holds more. Allocation failures raise.
bool read_exact_file(const path& file, std::uint64_t size, verified_archive& archive,
                     progress_meter* progress = nullptr);

} // namespace tavrel
