#include "auth/ed25519/scalar.h"

namespace tavrel::ed25519_internal {

namespace {

constexpr int limb_bits = 21;
constexpr std::int64_t limb_mask = (std::int64_t{1} << limb_bits) - 1;

// c = L - 2^252 in 21-bit limbs. Since 2^252 = -c (mod L), limb k >= 12 folds down onto limbs
// k-12 .. k-7 with weight -c.
constexpr std::int64_t c_limbs[6] = {1430509, 1626855, 1442968, 997804, 1960495, 683900};

// Limb 12 has weight 2^252: it and everything above it fold down.
constexpr int top_limb = 12;

void fold(std::int64_t s[25], int k) {
    const std::int64_t v = s[k];
    s[k] = 0;
    for (int j = 0; j < 6; ++j) {
        s[k - top_limb + j] -= v * c_limbs[j];
    }
}

// Floor carries from limb `first` up to (and into) limb `last`.
void carry_range(std::int64_t s[25], int first, int last) {
    for (int i = first; i < last; ++i) {
        s[i + 1] += s[i] >> limb_bits;
        s[i] &= limb_mask;
    }
}

} // namespace

void scalar_reduce_wide(std::uint8_t out[32], const std::uint8_t in[64]) {
    // 512 bits as 24 full 21-bit limbs plus 8 bits in limb 24.
    std::int64_t s[25] = {};
    for (int bit = 0; bit < 512; ++bit) {
        if (((in[bit / 8] >> (bit % 8)) & 1) != 0) {
            s[bit / limb_bits] |= std::int64_t{1} << (bit % limb_bits);
        }
    }

    // Fold the top limb down one at a time, re-carrying the affected limbs after each step so
    // every product stays near 2^42. The carry chain ends in the next limb to be folded.
    for (int k = 24; k >= top_limb; --k) {
        fold(s, k);
        carry_range(s, k - top_limb, k - 1);
    }
    // Now s[0..10] are in range and s[11] nearly so; carrying it leaves s[12] in {-1, 0, 1}, and
    // one more fold settles a -1.
    carry_range(s, 0, top_limb);
    while (s[top_limb] != 0 && s[top_limb] != 1) {
        fold(s, top_limb);
        carry_range(s, 0, top_limb);
    }

    // The value is now in [0, 2^253) and so below 2L. The folds above already end below L, but a
    // single conditional subtraction makes the result canonical whatever the carries did.
    if (s[top_limb] == 1) {
        std::int64_t t[25] = {};
        for (int i = 0; i < top_limb; ++i) {
            t[i] = s[i] - (i < 6 ? c_limbs[i] : 0);
        }
        carry_range(t, 0, top_limb);
        // t[12] is the borrow: 0 means s - L did not go negative.
        if (t[top_limb] == 0) {
            for (int i = 0; i <= top_limb; ++i) {
                s[i] = t[i];
            }
        }
    }

    for (int i = 0; i < 32; ++i) {
        out[i] = 0;
    }
    for (int bit = 0; bit < 253; ++bit) {
        if (((s[bit / limb_bits] >> (bit % limb_bits)) & 1) != 0) {
            out[bit / 8] |= static_cast<std::uint8_t>(1u << (bit % 8));
        }
    }
}

void scalar_signed_window(std::int8_t digits[256], const std::uint8_t a[32]) {
    for (int i = 0; i < 256; ++i) {
        digits[i] = static_cast<std::int8_t>((a[i >> 3] >> (i & 7)) & 1);
    }
    for (int i = 0; i < 256; ++i) {
        if (digits[i] == 0) {
            continue;
        }
        for (int b = 1; b <= 6 && i + b < 256; ++b) {
            if (digits[i + b] == 0) {
                continue;
            }
            const int shifted = digits[i + b] * (1 << b);
            if (digits[i] + shifted <= 15) {
                digits[i] = static_cast<std::int8_t>(digits[i] + shifted);
                digits[i + b] = 0;
            } else if (digits[i] - shifted >= -15) {
                digits[i] = static_cast<std::int8_t>(digits[i] - shifted);
                for (int k = i + b; k < 256; ++k) {
                    if (digits[k] == 0) {
                        digits[k] = 1;
                        break;
                    }
                    digits[k] = 0;
                }
            } else {
                break;
            }
        }
    }
}

} // namespace tavrel::ed25519_internal
