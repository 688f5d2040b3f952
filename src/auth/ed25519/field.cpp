#include "auth/ed25519/field.h"

#if defined(__GNUC__)
#define TAVREL_ALWAYS_INLINE inline __attribute__((always_inline))
#elif defined(_MSC_VER)
#define TAVREL_ALWAYS_INLINE __forceinline
#else
#define TAVREL_ALWAYS_INLINE inline
#endif

namespace tavrel::ed25519_internal {

namespace {

constexpr int limb_bits[10] = {26, 25, 26, 25, 26, 25, 26, 25, 26, 25};
constexpr int limb_position[10] = {0, 26, 51, 77, 102, 128, 153, 179, 204, 230};

// Rounding carries keep every limb centred on zero, which leaves more headroom in the 64-bit
// products than floor carries would. Multiplying instead of shifting keeps negative values
// well-defined.
TAVREL_ALWAYS_INLINE void carry_26(std::int64_t& from, std::int64_t& to) {
    const std::int64_t c = (from + (std::int64_t{1} << 25)) >> 26;
    to += c;
    from -= c * (std::int64_t{1} << 26);
}

TAVREL_ALWAYS_INLINE void carry_25(std::int64_t& from, std::int64_t& to) {
    const std::int64_t c = (from + (std::int64_t{1} << 24)) >> 25;
    to += c;
    from -= c * (std::int64_t{1} << 25);
}

// Carries from the top limb wrap around to limb 0 with weight 19, since 2^255 = 19 (mod p).
TAVREL_ALWAYS_INLINE void carry_top(std::int64_t& top, std::int64_t& bottom) {
    const std::int64_t c = (top + (std::int64_t{1} << 24)) >> 25;
    bottom += 19 * c;
    top -= c * (std::int64_t{1} << 25);
}

// Brings the unreduced 64-bit limbs of a product back below about 2^25 each. The two halves are
// carried in parallel so no intermediate limb grows much beyond its starting size.
TAVREL_ALWAYS_INLINE void reduce_wide(fe& out, std::int64_t h[10]) {
    carry_26(h[0], h[1]);
    carry_26(h[4], h[5]);
    carry_25(h[1], h[2]);
    carry_25(h[5], h[6]);
    carry_26(h[2], h[3]);
    carry_26(h[6], h[7]);
    carry_25(h[3], h[4]);
    carry_25(h[7], h[8]);
    carry_26(h[4], h[5]);
    carry_26(h[8], h[9]);
    carry_top(h[9], h[0]);
    carry_26(h[0], h[1]);
#pragma GCC unroll 10
    for (int i = 0; i < 10; ++i) {
        out.limb[i] = static_cast<std::int32_t>(h[i]);
    }
}

// Limb products land at bit ceil(25.5 i) + ceil(25.5 j), which is one more than the position of
// limb i + j when both i and j are odd; those products are doubled. Products past limb 9 wrap
// around with weight 19. Written out in full: the compiler keeps more of it in registers than it
// does for the equivalent loops.
TAVREL_ALWAYS_INLINE void mul_wide(std::int64_t h[10], const fe& f, const fe& g) {
    const std::int64_t f0 = f.limb[0], f1 = f.limb[1], f2 = f.limb[2], f3 = f.limb[3];
    const std::int64_t f4 = f.limb[4], f5 = f.limb[5], f6 = f.limb[6], f7 = f.limb[7];
    const std::int64_t f8 = f.limb[8], f9 = f.limb[9];
    const std::int64_t g0 = g.limb[0], g1 = g.limb[1], g2 = g.limb[2], g3 = g.limb[3];
    const std::int64_t g4 = g.limb[4], g5 = g.limb[5], g6 = g.limb[6], g7 = g.limb[7];
    const std::int64_t g8 = g.limb[8], g9 = g.limb[9];
    const std::int64_t f1_2 = 2 * f1, f3_2 = 2 * f3, f5_2 = 2 * f5, f7_2 = 2 * f7, f9_2 = 2 * f9;
    const std::int64_t g1_19 = 19 * g1, g2_19 = 19 * g2, g3_19 = 19 * g3, g4_19 = 19 * g4;
    const std::int64_t g5_19 = 19 * g5, g6_19 = 19 * g6, g7_19 = 19 * g7, g8_19 = 19 * g8;
    const std::int64_t g9_19 = 19 * g9;
    h[0] = f0 * g0 + f1_2 * g9_19 + f2 * g8_19 + f3_2 * g7_19 + f4 * g6_19 + f5_2 * g5_19 +
           f6 * g4_19 + f7_2 * g3_19 + f8 * g2_19 + f9_2 * g1_19;
    h[1] = f0 * g1 + f1 * g0 + f2 * g9_19 + f3 * g8_19 + f4 * g7_19 + f5 * g6_19 + f6 * g5_19 +
           f7 * g4_19 + f8 * g3_19 + f9 * g2_19;
    h[2] = f0 * g2 + f1_2 * g1 + f2 * g0 + f3_2 * g9_19 + f4 * g8_19 + f5_2 * g7_19 + f6 * g6_19 +
           f7_2 * g5_19 + f8 * g4_19 + f9_2 * g3_19;
    h[3] = f0 * g3 + f1 * g2 + f2 * g1 + f3 * g0 + f4 * g9_19 + f5 * g8_19 + f6 * g7_19 +
           f7 * g6_19 + f8 * g5_19 + f9 * g4_19;
    h[4] = f0 * g4 + f1_2 * g3 + f2 * g2 + f3_2 * g1 + f4 * g0 + f5_2 * g9_19 + f6 * g8_19 +
           f7_2 * g7_19 + f8 * g6_19 + f9_2 * g5_19;
    h[5] = f0 * g5 + f1 * g4 + f2 * g3 + f3 * g2 + f4 * g1 + f5 * g0 + f6 * g9_19 + f7 * g8_19 +
           f8 * g7_19 + f9 * g6_19;
    h[6] = f0 * g6 + f1_2 * g5 + f2 * g4 + f3_2 * g3 + f4 * g2 + f5_2 * g1 + f6 * g0 +
           f7_2 * g9_19 + f8 * g8_19 + f9_2 * g7_19;
    h[7] = f0 * g7 + f1 * g6 + f2 * g5 + f3 * g4 + f4 * g3 + f5 * g2 + f6 * g1 + f7 * g0 +
           f8 * g9_19 + f9 * g8_19;
    h[8] = f0 * g8 + f1_2 * g7 + f2 * g6 + f3_2 * g5 + f4 * g4 + f5_2 * g3 + f6 * g2 + f7_2 * g1 +
           f8 * g0 + f9_2 * g9_19;
    h[9] = f0 * g9 + f1 * g8 + f2 * g7 + f3 * g6 + f4 * g5 + f5 * g4 + f6 * g3 + f7 * g2 + f8 * g1 +
           f9 * g0;
}

// As mul_wide with g = f, counting each cross product once with weight 2.
TAVREL_ALWAYS_INLINE void sq_wide(std::int64_t h[10], const fe& f) {
    const std::int64_t f0 = f.limb[0], f1 = f.limb[1], f2 = f.limb[2], f3 = f.limb[3];
    const std::int64_t f4 = f.limb[4], f5 = f.limb[5], f6 = f.limb[6], f7 = f.limb[7];
    const std::int64_t f8 = f.limb[8], f9 = f.limb[9];
    const std::int64_t f0_2 = 2 * f0, f1_2 = 2 * f1, f2_2 = 2 * f2, f3_2 = 2 * f3;
    const std::int64_t f4_2 = 2 * f4, f5_2 = 2 * f5, f6_2 = 2 * f6, f7_2 = 2 * f7;
    const std::int64_t f8_2 = 2 * f8, f9_2 = 2 * f9;
    const std::int64_t f1_4 = 4 * f1, f3_4 = 4 * f3, f5_4 = 4 * f5, f7_4 = 4 * f7;
    const std::int64_t f5_19 = 19 * f5, f6_19 = 19 * f6, f7_19 = 19 * f7, f8_19 = 19 * f8;
    const std::int64_t f9_19 = 19 * f9;
    h[0] = f0 * f0 + f1_4 * f9_19 + f2_2 * f8_19 + f3_4 * f7_19 + f4_2 * f6_19 + f5_2 * f5_19;
    h[1] = f0_2 * f1 + f2_2 * f9_19 + f3_2 * f8_19 + f4_2 * f7_19 + f5_2 * f6_19;
    h[2] = f0_2 * f2 + f1_2 * f1 + f3_4 * f9_19 + f4_2 * f8_19 + f5_4 * f7_19 + f6 * f6_19;
    h[3] = f0_2 * f3 + f1_2 * f2 + f4_2 * f9_19 + f5_2 * f8_19 + f6_2 * f7_19;
    h[4] = f0_2 * f4 + f1_4 * f3 + f2 * f2 + f5_4 * f9_19 + f6_2 * f8_19 + f7_2 * f7_19;
    h[5] = f0_2 * f5 + f1_2 * f4 + f2_2 * f3 + f6_2 * f9_19 + f7_2 * f8_19;
    h[6] = f0_2 * f6 + f1_4 * f5 + f2_2 * f4 + f3_2 * f3 + f7_4 * f9_19 + f8 * f8_19;
    h[7] = f0_2 * f7 + f1_2 * f6 + f2_2 * f5 + f3_2 * f4 + f8_2 * f9_19;
    h[8] = f0_2 * f8 + f1_4 * f7 + f2_2 * f6 + f3_4 * f5 + f4 * f4 + f9_2 * f9_19;
    h[9] = f0_2 * f9 + f1_2 * f8 + f2_2 * f7 + f3_2 * f6 + f4_2 * f5;
}

void sq_times(fe& h, const fe& f, int count) {
    fe_sq(h, f);
    for (int i = 1; i < count; ++i) {
        fe_sq(h, h);
    }
}

// Shared start of the inversion and square-root chains: returns f^(2^250 - 1) and f^11.
void pow_2_250_minus_1(fe& out, fe& f11, const fe& f) {
    fe f2, t, f_5, f_10, f_20, f_50, f_100;
    fe_sq(f2, f);            // f^2
    sq_times(t, f2, 2);      // f^8
    fe_mul(t, t, f);         // f^9
    fe_mul(f11, f2, t);      // f^11
    fe_sq(f_5, f11);         // f^22
    fe_mul(f_5, f_5, t);     // f^(2^5 - 1)
    sq_times(t, f_5, 5);     //
    fe_mul(f_10, t, f_5);    // f^(2^10 - 1)
    sq_times(t, f_10, 10);   //
    fe_mul(f_20, t, f_10);   // f^(2^20 - 1)
    sq_times(t, f_20, 20);   //
    fe_mul(t, t, f_20);      // f^(2^40 - 1)
    sq_times(t, t, 10);      //
    fe_mul(f_50, t, f_10);   // f^(2^50 - 1)
    sq_times(t, f_50, 50);   //
    fe_mul(f_100, t, f_50);  // f^(2^100 - 1)
    sq_times(t, f_100, 100); //
    fe_mul(t, t, f_100);     // f^(2^200 - 1)
    sq_times(t, t, 50);      //
    fe_mul(out, t, f_50);    // f^(2^250 - 1)
}

// Fully reduces f into floor-carried limbs holding the value in [0, p).
void canonical_limbs(std::int64_t h[10], const fe& f) {
    for (int i = 0; i < 10; ++i) {
        h[i] = f.limb[i];
    }
    // Floor carries until nothing wraps: the value then lies in [0, 2^255). Each pass shrinks
    // the wrapped amount, so this ends after at most a few passes.
    for (;;) {
        for (int i = 0; i < 9; ++i) {
            h[i + 1] += h[i] >> limb_bits[i];
            h[i] &= (std::int64_t{1} << limb_bits[i]) - 1;
        }
        const std::int64_t top = h[9] >> 25;
        h[9] &= (std::int64_t{1} << 25) - 1;
        if (top == 0) {
            break;
        }
        h[0] += 19 * top;
    }
    // The value is at least p exactly when adding 19 reaches 2^255; if so, subtract p by adding
    // 19 and dropping bit 255.
    std::int64_t q = 19;
    for (int i = 0; i < 10; ++i) {
        q = (h[i] + q) >> limb_bits[i];
    }
    h[0] += 19 * q;
    for (int i = 0; i < 9; ++i) {
        h[i + 1] += h[i] >> limb_bits[i];
        h[i] &= (std::int64_t{1} << limb_bits[i]) - 1;
    }
    h[9] &= (std::int64_t{1} << 25) - 1;
}

} // namespace

void fe_zero(fe& h) {
    for (auto& l : h.limb) {
        l = 0;
    }
}

void fe_one(fe& h) {
    fe_zero(h);
    h.limb[0] = 1;
}

void fe_add(fe& h, const fe& f, const fe& g) {
    for (int i = 0; i < 10; ++i) {
        h.limb[i] = f.limb[i] + g.limb[i];
    }
}

void fe_sub(fe& h, const fe& f, const fe& g) {
    for (int i = 0; i < 10; ++i) {
        h.limb[i] = f.limb[i] - g.limb[i];
    }
}

void fe_neg(fe& h, const fe& f) {
    for (int i = 0; i < 10; ++i) {
        h.limb[i] = -f.limb[i];
    }
}

void fe_mul(fe& h, const fe& f, const fe& g) {
    std::int64_t wide[10];
    mul_wide(wide, f, g);
    reduce_wide(h, wide);
}

void fe_sq(fe& h, const fe& f) {
    std::int64_t wide[10];
    sq_wide(wide, f);
    reduce_wide(h, wide);
}

void fe_sq2(fe& h, const fe& f) {
    std::int64_t wide[10];
    sq_wide(wide, f);
    for (auto& w : wide) {
        w *= 2;
    }
    reduce_wide(h, wide);
}

void fe_invert(fe& h, const fe& f) {
    // p - 2 = 2^255 - 21 = (2^250 - 1) * 2^5 + 11
    fe t, f11;
    pow_2_250_minus_1(t, f11, f);
    sq_times(t, t, 5);
    fe_mul(h, t, f11);
}

void fe_pow22523(fe& h, const fe& f) {
    // (p - 5) / 8 = 2^252 - 3 = (2^250 - 1) * 4 + 1
    fe t, f11;
    pow_2_250_minus_1(t, f11, f);
    sq_times(t, t, 2);
    fe_mul(h, t, f);
}

void fe_from_bytes(fe& h, const std::uint8_t s[32]) {
    std::uint64_t words[4];
    for (int w = 0; w < 4; ++w) {
        std::uint64_t v = 0;
        for (int b = 7; b >= 0; --b) {
            v = (v << 8) | s[8 * w + b];
        }
        words[w] = v;
    }
    words[3] &= 0x7fffffffffffffffULL;
    for (int i = 0; i < 10; ++i) {
        const int word = limb_position[i] / 64;
        const int offset = limb_position[i] % 64;
        std::uint64_t v = words[word] >> offset;
        if (offset + limb_bits[i] > 64) {
            v |= words[word + 1] << (64 - offset);
        }
        h.limb[i] = static_cast<std::int32_t>(v & ((std::uint64_t{1} << limb_bits[i]) - 1));
    }
}

void fe_to_bytes(std::uint8_t s[32], const fe& f) {
    std::int64_t h[10];
    canonical_limbs(h, f);
    std::uint64_t words[4] = {0, 0, 0, 0};
    for (int i = 0; i < 10; ++i) {
        const auto v = static_cast<std::uint64_t>(h[i]);
        const int word = limb_position[i] / 64;
        const int offset = limb_position[i] % 64;
        words[word] |= v << offset;
        if (offset + limb_bits[i] > 64) {
            words[word + 1] |= v >> (64 - offset);
        }
    }
    for (int w = 0; w < 4; ++w) {
        for (int b = 0; b < 8; ++b) {
            s[8 * w + b] = static_cast<std::uint8_t>(words[w] >> (8 * b));
        }
    }
}

bool fe_is_negative(const fe& f) {
    std::uint8_t s[32];
    fe_to_bytes(s, f);
    return (s[0] & 1) != 0;
}

bool fe_is_nonzero(const fe& f) {
    std::uint8_t s[32];
    fe_to_bytes(s, f);
    std::uint8_t acc = 0;
    for (const std::uint8_t b : s) {
        acc |= b;
    }
    return acc != 0;
}

} // namespace tavrel::ed25519_internal

#undef TAVREL_ALWAYS_INLINE
