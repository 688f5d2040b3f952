#include "auth/ed25519/group.h"

#include "auth/ed25519/scalar.h"

namespace tavrel::ed25519_internal {

namespace {

// d = -121665 / 121666
constexpr fe curve_d = {{-10913610, 13857413, -15372611, 6949391, 114729, -8787816, -6275908,
                         -3247719, -18696448, -12055116}};
constexpr fe curve_2d = {{-21827239, -5839606, -30745221, 13898782, 229458, 15978800, -12551817,
                          -6495438, 29715968, 9444199}};
// 2^((p-1)/4), a square root of -1
constexpr fe sqrt_m1 = {{-32595792, -7943725, 9377950, 3500415, 12389472, -272473, -25146209,
                         -2005654, 326686, 11406482}};

// Sum of two points in the unnormalised form (X : Z) for x and (Y : T) for y. Addition and
// doubling produce this cheaply; converting to projective or extended costs 3 or 4
// multiplications, and only the form actually needed next is built.
struct ge_completed {
    fe x, y, z, t;
};

// Affine point prepared for mixed addition: (y + x, y - x, 2dxy).
struct ge_precomputed {
    fe y_plus_x, y_minus_x, xy2d;
};

// Extended point prepared for addition: (Y + X, Y - X, Z, 2dT).
struct ge_cached {
    fe y_plus_x, y_minus_x, z, t2d;
};

// [1]B, [3]B, ..., [15]B for the standard base point B.
constexpr ge_precomputed base_odd_multiples[8] = {
    {{{25967493, -14356035, 29566456, 3660896, -12694345, 4014787, 27544626, -11754271, -6079156,
       2047605}},
     {{-12545711, 934262, -2722910, 3049990, -727428, 9406986, 12720692, 5043384, 19500929,
       -15469378}},
     {{-8738181, 4489570, 9688441, -14785194, 10184609, -12363380, 29287919, 11864899, -24514362,
       -4438546}}},
    {{{15636291, -9688557, 24204773, -7912398, 616977, -16685262, 27787600, -14772189, 28944400,
       -1550024}},
     {{16568933, 4717097, -11556148, -1102322, 15682896, -11807043, 16354577, -11775962, 7689662,
       11199574}},
     {{30464156, -5976125, -11779434, -15670865, 23220365, 15915852, 7512774, 10017326, -17749093,
       -9920357}}},
    {{{10861363, 11473154, 27284546, 1981175, -30064349, 12577861, 32867885, 14515107, -15438304,
       10819380}},
     {{4708026, 6336745, 20377586, 9066809, -11272109, 6594696, -25653668, 12483688, -12668491,
       5581306}},
     {{19563160, 16186464, -29386857, 4097519, 10237984, -4348115, 28542350, 13850243, -23678021,
       -15815942}}},
    {{{5153746, 9909285, 1723747, -2777874, 30523605, 5516873, 19480852, 5230134, -23952439,
       -15175766}},
     {{-30269007, -3463509, 7665486, 10083793, 28475525, 1649722, 20654025, 16520125, 30598449,
       7715701}},
     {{28881845, 14381568, 9657904, 3680757, -20181635, 7843316, -31400660, 1370708, 29794553,
       -1409300}}},
    {{{-22518993, -6692182, 14201702, -8745502, -23510406, 8844726, 18474211, -1361450, -13062696,
       13821877}},
     {{-6455177, -7839871, 3374702, -4740862, -27098617, -10571707, 31655028, -7212327, 18853322,
       -14220951}},
     {{4566830, -12963868, -28974889, -12240689, -7602672, -2830569, -8514358, -10431137, 2207753,
       -3209784}}},
    {{{-25154831, -4185821, 29681144, 7868801, -6854661, -9423865, -12437364, -663000, -31111463,
       -16132436}},
     {{25576264, -2703214, 7349804, -11814844, 16472782, 9300885, 3844789, 15725684, 171356,
       6466918}},
     {{23103977, 13316479, 9739013, -16149481, 817875, -15038942, 8965339, -14088058, -30714912,
       16193877}}},
    {{{-33521811, 3180713, -2394130, 14003687, -16903474, -16270840, 17238398, 4729455, -18074513,
       9256800}},
     {{-25182317, -4174131, 32336398, 5036987, -21236817, 11360617, 22616405, 9761698, -19827198,
       630305}},
     {{-13720693, 2639453, -24237460, -7406481, 9494427, -5774029, -6554551, -15960994, -2449256,
       -14291300}}},
    {{{-3151181, -5046075, 9282714, 6866145, -31907062, -863023, -18940575, 15033784, 25105118,
       -7894876}},
     {{-24326370, 15950226, -31801215, -14592823, -11662737, -5090925, 1573892, -2625887, 2198790,
       -15804619}},
     {{-3099351, 10324967, -2241613, 7453183, -5446979, -2735503, -13812022, -16236442, -32461234,
       -12290683}}},
};

void to_projective(ge_projective& r, const ge_completed& p) {
    fe_mul(r.x, p.x, p.t);
    fe_mul(r.y, p.y, p.z);
    fe_mul(r.z, p.z, p.t);
}

void to_extended(ge_extended& r, const ge_completed& p) {
    fe_mul(r.x, p.x, p.t);
    fe_mul(r.y, p.y, p.z);
    fe_mul(r.z, p.z, p.t);
    fe_mul(r.t, p.x, p.y);
}

void to_cached(ge_cached& r, const ge_extended& p) {
    fe_add(r.y_plus_x, p.y, p.x);
    fe_sub(r.y_minus_x, p.y, p.x);
    r.z = p.z;
    fe_mul(r.t2d, p.t, curve_2d);
}

// 2P with a = -1: x3 = 2xy / (y^2 - x^2), y3 = (y^2 + x^2) / (2 - y^2 + x^2), scaled by Z^2.
void double_point(ge_completed& r, const ge_projective& p) {
    fe xx, yy, zz2, sum_sq;
    fe_sq(xx, p.x);
    fe_sq(yy, p.y);
    fe_sq2(zz2, p.z);
    fe_add(sum_sq, p.x, p.y);
    fe_sq(sum_sq, sum_sq);
    fe_add(r.y, yy, xx);
    fe_sub(r.z, yy, xx);
    fe_sub(r.x, sum_sq, r.y);
    fe_sub(r.t, zz2, r.z);
}

// Unified addition for a = -1; it is complete because d is not a square, so small-order and
// identity inputs need no separate handling.
void add_cached(ge_completed& r, const ge_extended& p, const ge_cached& q) {
    fe a, b, c, dd;
    fe_sub(a, p.y, p.x);
    fe_mul(a, a, q.y_minus_x);
    fe_add(b, p.y, p.x);
    fe_mul(b, b, q.y_plus_x);
    fe_mul(c, p.t, q.t2d);
    fe_mul(dd, p.z, q.z);
    fe_add(dd, dd, dd);
    fe_sub(r.x, b, a);
    fe_add(r.y, b, a);
    fe_add(r.z, dd, c);
    fe_sub(r.t, dd, c);
}

// Adds -Q: swapping y+x with y-x and negating 2dT negates the cached point.
void sub_cached(ge_completed& r, const ge_extended& p, const ge_cached& q) {
    fe a, b, c, dd;
    fe_sub(a, p.y, p.x);
    fe_mul(a, a, q.y_plus_x);
    fe_add(b, p.y, p.x);
    fe_mul(b, b, q.y_minus_x);
    fe_mul(c, p.t, q.t2d);
    fe_mul(dd, p.z, q.z);
    fe_add(dd, dd, dd);
    fe_sub(r.x, b, a);
    fe_add(r.y, b, a);
    fe_sub(r.z, dd, c);
    fe_add(r.t, dd, c);
}

// As add_cached with an affine second operand (Z = 1).
void add_precomputed(ge_completed& r, const ge_extended& p, const ge_precomputed& q) {
    fe a, b, c, dd;
    fe_sub(a, p.y, p.x);
    fe_mul(a, a, q.y_minus_x);
    fe_add(b, p.y, p.x);
    fe_mul(b, b, q.y_plus_x);
    fe_mul(c, p.t, q.xy2d);
    fe_add(dd, p.z, p.z);
    fe_sub(r.x, b, a);
    fe_add(r.y, b, a);
    fe_add(r.z, dd, c);
    fe_sub(r.t, dd, c);
}

void sub_precomputed(ge_completed& r, const ge_extended& p, const ge_precomputed& q) {
    fe a, b, c, dd;
    fe_sub(a, p.y, p.x);
    fe_mul(a, a, q.y_plus_x);
    fe_add(b, p.y, p.x);
    fe_mul(b, b, q.y_minus_x);
    fe_mul(c, p.t, q.xy2d);
    fe_add(dd, p.z, p.z);
    fe_sub(r.x, b, a);
    fe_add(r.y, b, a);
    fe_sub(r.z, dd, c);
    fe_add(r.t, dd, c);
}

} // namespace

bool ge_decode_negated(ge_extended& out, const std::uint8_t s[32]) {
    fe u, v, v3, vxx, check;
    fe_from_bytes(out.y, s);
    fe_one(out.z);

    // x^2 = u / v with u = y^2 - 1, v = d y^2 + 1. A candidate root is
    // u v^3 (u v^7)^((p-5)/8); it is right up to a factor sqrt(-1).
    fe_sq(u, out.y);
    fe_mul(v, u, curve_d);
    fe_sub(u, u, out.z);
    fe_add(v, v, out.z);

    fe_sq(v3, v);
    fe_mul(v3, v3, v); // v^3
    fe_sq(out.x, v3);
    fe_mul(out.x, out.x, v); // v^7
    fe_mul(out.x, out.x, u); // u v^7
    fe_pow22523(out.x, out.x);
    fe_mul(out.x, out.x, v3);
    fe_mul(out.x, out.x, u);

    fe_sq(vxx, out.x);
    fe_mul(vxx, vxx, v);
    fe_sub(check, vxx, u);
    if (fe_is_nonzero(check)) {
        fe_add(check, vxx, u);
        if (fe_is_nonzero(check)) {
            return false;
        }
        fe_mul(out.x, out.x, sqrt_m1);
    }

    // Choose the root whose sign differs from the encoded one: that is -A.
    if (fe_is_negative(out.x) == ((s[31] >> 7) != 0)) {
        fe_neg(out.x, out.x);
    }
    fe_mul(out.t, out.x, out.y);
    return true;
}

void ge_double_scalarmult_vartime(ge_projective& r, const std::uint8_t a[32], const ge_extended& A,
                                  const std::uint8_t b[32]) {
    std::int8_t a_digits[256];
    std::int8_t b_digits[256];
    scalar_signed_window(a_digits, a);
    scalar_signed_window(b_digits, b);

    // [1]A, [3]A, ..., [15]A
    ge_cached a_odd[8];
    ge_completed t;
    ge_extended u;
    ge_extended a2;
    to_cached(a_odd[0], A);
    ge_projective a_proj{A.x, A.y, A.z};
    double_point(t, a_proj);
    to_extended(a2, t);
    for (int i = 0; i < 7; ++i) {
        add_cached(t, a2, a_odd[i]);
        to_extended(u, t);
        to_cached(a_odd[i + 1], u);
    }

    fe_zero(r.x);
    fe_one(r.y);
    fe_one(r.z);

    int i = 255;
    while (i >= 0 && a_digits[i] == 0 && b_digits[i] == 0) {
        --i;
    }
    for (; i >= 0; --i) {
        double_point(t, r);
        if (a_digits[i] > 0) {
            to_extended(u, t);
            add_cached(t, u, a_odd[a_digits[i] / 2]);
        } else if (a_digits[i] < 0) {
            to_extended(u, t);
            sub_cached(t, u, a_odd[-a_digits[i] / 2]);
        }
        if (b_digits[i] > 0) {
            to_extended(u, t);
            add_precomputed(t, u, base_odd_multiples[b_digits[i] / 2]);
        } else if (b_digits[i] < 0) {
            to_extended(u, t);
            sub_precomputed(t, u, base_odd_multiples[-b_digits[i] / 2]);
        }
        to_projective(r, t);
    }
}

void ge_encode(std::uint8_t s[32], const ge_projective& p) {
    fe recip, x, y;
    fe_invert(recip, p.z);
    fe_mul(x, p.x, recip);
    fe_mul(y, p.y, recip);
    fe_to_bytes(s, y);
    s[31] ^= static_cast<std::uint8_t>(fe_is_negative(x) ? 0x80 : 0);
}

} // namespace tavrel::ed25519_internal
