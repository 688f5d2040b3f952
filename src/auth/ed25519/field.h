// Arithmetic modulo p = 2^255 - 19 for signature verification. Internal to tavrel_ed25519.
#pragma once

#include <cstdint>

namespace tavrel::ed25519_internal {

// Ten signed limbs in radix 2^25.5: limb i sits at bit ceil(25.5 * i), even limbs nominally hold
// 26 bits and odd limbs 25. Limbs are signed so that sums and differences need no carrying before
// the next multiplication; the value is only meaningful modulo p.
//
// fe_mul and the squarings return limbs below about 2^25 in magnitude and accept limbs up to
// about 2^27, i.e. a sum or difference of two or three of their own outputs; the 64-bit column
// sums then stay under 2^62.
struct fe {
    std::int32_t limb[10];
};

void fe_zero(fe& h);
void fe_one(fe& h);
void fe_add(fe& h, const fe& f, const fe& g);
void fe_sub(fe& h, const fe& f, const fe& g);
void fe_neg(fe& h, const fe& f);
void fe_mul(fe& h, const fe& f, const fe& g);
void fe_sq(fe& h, const fe& f);
void fe_sq2(fe& h, const fe& f);      // 2 * f^2
void fe_invert(fe& h, const fe& f);   // f^(p-2), so 0 maps to 0
void fe_pow22523(fe& h, const fe& f); // f^((p-5)/8), the core of the square root

// Reads 255 bits little-endian, ignoring bit 255. Values in [p, 2^255) are kept as they are and
// act as their residue.
void fe_from_bytes(fe& h, const std::uint8_t s[32]);
// Writes the unique representative in [0, p).
void fe_to_bytes(std::uint8_t s[32], const fe& f);
bool fe_is_negative(const fe& f); // low bit of the canonical encoding
bool fe_is_nonzero(const fe& f);

} // namespace tavrel::ed25519_internal
