// Strict Base64 (RFC 4648 section 4): no white space, no URL-safe characters, padding only
// at the end and only with zero bits below it; at most 128 characters.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tavrel {

bool decode_base64(std::string_view text, std::vector<std::uint8_t>& out);
// Standard alphabet with padding: what the tools print and the decoder accepts.
std::string encode_base64(std::span<const std::uint8_t> bytes);

} // namespace tavrel
