// Scalars modulo the group order L = 2^252 + 27742317777372353535851937790883648493.
// Internal to tavrel_ed25519.
#pragma once

#include <cstdint>

namespace tavrel::ed25519_internal {

// out = in mod L, where in is a 512-bit little-endian number; out is canonical, little-endian.
void scalar_reduce_wide(std::uint8_t out[32], const std::uint8_t in[64]);

// Rewrites a 256-bit little-endian scalar as sum(digits[i] * 2^i) with every digit zero or odd
// in [-15, 15], leaving long runs of zeros for the scalar multiplication to skip. Scalars must
// be below 2^253; the few spare top digits absorb the carries.
void scalar_signed_window(std::int8_t digits[256], const std::uint8_t a[32]);

} // namespace tavrel::ed25519_internal
