// The download check's pieces, open to tests: the S < L test and the exact read that catches a file
// that grew or shrank after its size was taken.
#pragma once

#include "auth/update_signature.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tavrel {

// S, bytes 32 to 63 of a 64-byte signature, read little-endian, is below the group order L.
bool signature_scalar_below_order(std::span<const std::uint8_t> signature);

// Reads exactly `size` bytes into `archive`. False when the file cannot be opened, holds fewer
// bytes, or holds more. Allocation failures raise.
bool read_exact_file(const path& file, std::uint64_t size, verified_archive& archive,
                     progress_meter* progress = nullptr);

} // namespace tavrel
