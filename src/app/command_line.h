// Number parsing of the command line with the semantics of the Windows build's stoul/stoull
// (32-bit unsigned long), on every platform.
#pragma once

#include "platform/platform.h"

#include <cstddef>
#include <cstdint>

namespace tavrel {

// Leading white space and one sign are accepted; a minus negates modulo 2^32 (2^64).
// Raise "invalid stoul argument" / "stoul argument out of range" (stoull likewise).
// `consumed` counts the characters read, white space included.
std::uint32_t parse_stoul(const platform::native_text& text, std::size_t& consumed);
std::uint64_t parse_stoull(const platform::native_text& text, std::size_t& consumed);

// 88 characters of the Base64 alphabet, "=" anywhere.
bool is_signature_argument(const platform::native_text& text);

} // namespace tavrel
