// Points of the twisted Edwards curve -x^2 + y^2 = 1 + d x^2 y^2 over GF(2^255 - 19).
// Internal to tavrel_ed25519; everything here is variable-time and meant for public data only.
#pragma once

#include "auth/ed25519/field.h"

#include <cstdint>

namespace tavrel::ed25519_internal {

struct ge_projective { // (X : Y : Z), x = X/Z, y = Y/Z
    fe x, y, z;
};

struct ge_extended { // as projective, plus T = XY/Z
    fe x, y, z, t;
};

// Decodes a 32-byte point encoding and stores its NEGATION, which is what verification needs.
// Returns false when the y coordinate has no matching x. A y that is not reduced, x = 0 with the
// sign bit set, and points of small order are all accepted.
bool ge_decode_negated(ge_extended& out, const std::uint8_t s[32]);

// r = [a]A + [b]B where B is the standard base point. Both scalars are 32 bytes little-endian and
// must be below 2^253.
void ge_double_scalarmult_vartime(ge_projective& r, const std::uint8_t a[32], const ge_extended& A,
                                  const std::uint8_t b[32]);

void ge_encode(std::uint8_t s[32], const ge_projective& p);

} // namespace tavrel::ed25519_internal
