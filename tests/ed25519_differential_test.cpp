// Our verification against libsodium's on random keys, messages and signatures, plus the cases
// where our rules are deliberately more lenient than libsodium's.
//
// libsodium additionally rejects keys that are not reduced (y >= p) or of small order, and R of
// small order; it agrees with us everywhere else once our caller-side S < L check is applied.
// Random cases are compared only where both rule sets coincide (which is all but a negligible
// fraction), and the lenient cases are checked against verdicts worked out independently.

#include "auth/ed25519/ed25519.h"
#include "auth/ed25519/group.h"
#include "auth/ed25519/scalar.h"
#include "auth/update_signature.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace tavrel::ed25519_internal;
using bytes = std::vector<std::uint8_t>;

std::string to_hex(const std::uint8_t* data, std::size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < size; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

bytes from_hex(const std::string& hex) {
    bytes out(hex.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<std::uint8_t>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    }
    return out;
}

const std::array<std::uint8_t, 32> group_order = {
    0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7, 0xa2, 0xde, 0xf9, 0xde, 0x14,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10,
};

// Our complete verdict: the caller's S < L check, then the library.
bool ours(const bytes& sig, const bytes& msg, const bytes& pk) {
    return tavrel::verify_signature(msg, sig, pk); // the updater's S < L check, then Ed25519
}

bool theirs(const bytes& sig, const bytes& msg, const bytes& pk) {
    return crypto_sign_verify_detached(sig.data(), msg.data(), msg.size(), pk.data()) == 0;
}

// Canonical encodings of the eight points of order dividing 8, and the non-reduced or
// sign-bit variants that also decode to them.
const std::set<std::string>& small_order_encodings() {
    static const std::set<std::string> encodings = {
        "0000000000000000000000000000000000000000000000000000000000000000",
        "0000000000000000000000000000000000000000000000000000000000000080",
        "0100000000000000000000000000000000000000000000000000000000000000",
        "0100000000000000000000000000000000000000000000000000000000000080",
        "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05",
        "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc85",
        "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a",
        "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac03fa",
        "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
        "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
        "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
        "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
        "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
        "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
    };
    return encodings;
}

bool y_reduced(const std::uint8_t* s) {
    std::uint8_t y[32];
    std::memcpy(y, s, 32);
    y[31] &= 0x7f;
    // p = 2^255 - 19: y >= p only when bytes 1..30 are all 0xff, byte 31 is 0x7f and byte 0 is at
    // least 0xed.
    for (int i = 1; i < 31; ++i) {
        if (y[i] != 0xff) {
            return true;
        }
    }
    return !(y[31] == 0x7f && y[0] >= 0xed);
}

// Where libsodium's rules and ours give the same verdict by construction.
bool rules_coincide(const bytes& sig, const bytes& pk) {
    const auto& small = small_order_encodings();
    return y_reduced(pk.data()) && small.count(to_hex(pk.data(), 32)) == 0 &&
           small.count(to_hex(sig.data(), 32)) == 0;
}

class ed25519_differential : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { ASSERT_GE(sodium_init(), 0); }
};

enum class mutation {
    none,
    flip_signature_bit,
    flip_message_bit,
    flip_key_bit,
    random_s,
    random_s_below_order,
    s_plus_order,
    random_r,
    r_from_other_signature,
    random_key,
    other_key,
    other_message,
    count
};

TEST_F(ed25519_differential, random_cases_agree_with_libsodium) {
    std::mt19937_64 rng(20240601);
    auto random_bytes = [&rng](std::size_t n) {
        bytes out(n);
        for (auto& b : out) {
            b = static_cast<std::uint8_t>(rng());
        }
        return out;
    };
    constexpr int cases = 12000;
    constexpr int kinds = static_cast<int>(mutation::count);
    int compared = 0;
    int both_valid = 0;
    int per_kind_valid[kinds] = {};

    bytes previous_sig(64, 0);
    bytes previous_pk(32, 0);
    bytes previous_msg;
    for (int i = 0; i < cases; ++i) {
        bytes pk(crypto_sign_PUBLICKEYBYTES);
        bytes sk(crypto_sign_SECRETKEYBYTES);
        crypto_sign_keypair(pk.data(), sk.data());
        bytes msg = random_bytes(std::uniform_int_distribution<std::size_t>(0, 200)(rng));
        bytes sig(crypto_sign_BYTES);
        crypto_sign_detached(sig.data(), nullptr, msg.data(), msg.size(), sk.data());
        const bytes good_sig = sig;
        const bytes good_pk = pk;
        const bytes good_msg = msg;

        const auto kind = static_cast<mutation>(i % kinds);
        auto flip = [&rng](bytes& b) {
            const std::size_t bit =
                std::uniform_int_distribution<std::size_t>(0, b.size() * 8 - 1)(rng);
            b[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        };
        switch (kind) {
        case mutation::none:
            break;
        case mutation::flip_signature_bit:
            flip(sig);
            break;
        case mutation::flip_message_bit:
            if (msg.empty()) {
                msg.push_back(static_cast<std::uint8_t>(rng()));
            } else {
                flip(msg);
            }
            break;
        case mutation::flip_key_bit:
            flip(pk);
            break;
        case mutation::random_s: {
            const bytes s = random_bytes(32);
            std::copy(s.begin(), s.end(), sig.begin() + 32);
            break;
        }
        case mutation::random_s_below_order:
            crypto_core_ed25519_scalar_random(sig.data() + 32);
            break;
        case mutation::s_plus_order: {
            unsigned carry = 0;
            for (int k = 0; k < 32; ++k) {
                const unsigned sum = sig[32 + k] + group_order[k] + carry;
                sig[32 + k] = static_cast<std::uint8_t>(sum);
                carry = sum >> 8;
            }
            break;
        }
        case mutation::random_r: {
            const bytes r = random_bytes(32);
            std::copy(r.begin(), r.end(), sig.begin());
            break;
        }
        case mutation::r_from_other_signature:
            std::copy(previous_sig.begin(), previous_sig.begin() + 32, sig.begin());
            break;
        case mutation::random_key:
            pk = random_bytes(32);
            break;
        case mutation::other_key:
            pk = previous_pk;
            break;
        case mutation::other_message:
            msg = previous_msg;
            if (msg == good_msg) {
                msg.push_back(0);
            }
            break;
        case mutation::count:
            break;
        }
        previous_sig = good_sig;
        previous_pk = good_pk;
        previous_msg = good_msg;

        if (!rules_coincide(sig, pk)) {
            continue;
        }
        ++compared;
        const bool a = ours(sig, msg, pk);
        const bool b = theirs(sig, msg, pk);
        ASSERT_EQ(a, b) << "case " << i << " kind " << static_cast<int>(kind) << "\n  pk  "
                        << to_hex(pk.data(), 32) << "\n  sig " << to_hex(sig.data(), 64)
                        << "\n  msg " << to_hex(msg.data(), msg.size());
        if (a) {
            ++both_valid;
            ++per_kind_valid[static_cast<int>(kind)];
        }
    }
    EXPECT_GE(compared, 10000);
    // Every unmutated case is valid, and nothing else verifies.
    EXPECT_EQ(per_kind_valid[static_cast<int>(mutation::none)], cases / kinds);
    EXPECT_EQ(both_valid, per_kind_valid[static_cast<int>(mutation::none)]);
}

// The scalar reduction of the 64-byte hash, on random inputs and on inputs with long runs of
// 0x00 and 0xff that make the carries travel far.
TEST_F(ed25519_differential, scalar_reduction_agrees_with_libsodium) {
    std::mt19937_64 rng(252);
    for (int i = 0; i < 20000; ++i) {
        std::uint8_t in[64];
        for (auto& b : in) {
            b = static_cast<std::uint8_t>(rng());
        }
        if (i % 4 == 1) {
            // Runs of 0xff / 0x00 with a few random bytes.
            const std::uint8_t fill = (i % 8 == 1) ? 0xff : 0x00;
            for (int k = 0; k < 64; ++k) {
                if (rng() % 8 != 0) {
                    in[k] = fill;
                }
            }
        }
        std::uint8_t ours_out[32];
        std::uint8_t theirs_out[32];
        scalar_reduce_wide(ours_out, in);
        std::uint8_t copy[64];
        std::memcpy(copy, in, 64);
        crypto_core_ed25519_scalar_reduce(theirs_out, copy);
        ASSERT_EQ(to_hex(ours_out, 32), to_hex(theirs_out, 32)) << to_hex(in, 64);
    }
}

// [a](-K) + [b]B against libsodium's separate scalar multiplications, for keys in the prime-order
// subgroup and scalars up to 2^253 - 1 (S is used unreduced, so values >= L must work too).
TEST_F(ed25519_differential, double_scalarmult_agrees_with_libsodium) {
    std::mt19937_64 rng(25519);
    for (int i = 0; i < 1500; ++i) {
        std::uint8_t k[32];
        crypto_core_ed25519_scalar_random(k);
        std::uint8_t key[32];
        ASSERT_EQ(crypto_scalarmult_ed25519_base_noclamp(key, k), 0);

        std::uint8_t a[32];
        std::uint8_t b[32];
        for (int j = 0; j < 32; ++j) {
            a[j] = static_cast<std::uint8_t>(rng());
            b[j] = static_cast<std::uint8_t>(rng());
        }
        a[31] &= 0x1f;
        b[31] &= 0x1f;
        if (i == 0) {
            std::fill(b, b + 32, 0xff);
            b[31] = 0x1f;
        }

        ge_extended minus_key;
        ASSERT_TRUE(ge_decode_negated(minus_key, key));
        ge_projective r;
        ge_double_scalarmult_vartime(r, a, minus_key, b);
        std::uint8_t got[32];
        ge_encode(got, r);

        // libsodium wants reduced scalars; the points do not change.
        std::uint8_t wide[64] = {};
        std::uint8_t a_reduced[32];
        std::uint8_t b_reduced[32];
        std::memcpy(wide, a, 32);
        crypto_core_ed25519_scalar_reduce(a_reduced, wide);
        std::memset(wide, 0, sizeof wide);
        std::memcpy(wide, b, 32);
        crypto_core_ed25519_scalar_reduce(b_reduced, wide);
        std::uint8_t a_key[32];
        std::uint8_t b_base[32];
        std::uint8_t expected[32];
        ASSERT_EQ(crypto_scalarmult_ed25519_noclamp(a_key, a_reduced, key), 0);
        ASSERT_EQ(crypto_scalarmult_ed25519_base_noclamp(b_base, b_reduced), 0);
        ASSERT_EQ(crypto_core_ed25519_sub(expected, b_base, a_key), 0);
        ASSERT_EQ(to_hex(got, 32), to_hex(expected, 32)) << i;
    }
}

// Keys of order 2 and 4, in every encoding that decodes to them: y = -1 (x = 0, so the sign bit
// may be set), y = 0 and its unreduced form y = p, with either sign. libsodium refuses them all;
// we accept them, so a signature (R, S = 0) is valid exactly when R encodes [h](-A), which
// depends only on h mod the order of A. The expected verdict is computed from libsodium's SHA-512
// and scalar reduction and a table of the few multiples of A, not from our own code. Because the
// key bytes are hashed as given, the two encodings of one point give different verdicts for the
// same R and message.
TEST_F(ed25519_differential, small_order_keys_we_accept) {
    const char* const identity = "0100000000000000000000000000000000000000000000000000000000000000";
    const char* const minus_one =
        "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f";
    const char* const i_even = "0000000000000000000000000000000000000000000000000000000000000000";
    const char* const i_odd = "0000000000000000000000000000000000000000000000000000000000000080";
    const struct {
        const char* key;
        // Encodings of [k](-A) for k = 0 .. order - 1.
        std::vector<const char*> multiples;
    } keys[] = {
        {"ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", {identity, minus_one}},
        {"ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff", {identity, minus_one}},
        // A = (sqrt(-1), 0) with the even root: -A has the odd one.
        {"0000000000000000000000000000000000000000000000000000000000000000",
         {identity, i_odd, minus_one, i_even}},
        {"edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
         {identity, i_odd, minus_one, i_even}},
        {"0000000000000000000000000000000000000000000000000000000000000080",
         {identity, i_even, minus_one, i_odd}},
        {"edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
         {identity, i_even, minus_one, i_odd}},
    };
    std::mt19937_64 rng(4);
    int valid = 0;
    int rejected_by_libsodium = 0;
    int total = 0;
    int encodings_disagree = 0;
    for (int m = 0; m < 40; ++m) {
        bytes msg(static_cast<std::size_t>(m));
        for (auto& b : msg) {
            b = static_cast<std::uint8_t>(rng());
        }
        for (std::size_t key_index = 0; key_index < std::size(keys); ++key_index) {
            const auto& entry = keys[key_index];
            const bytes pk = from_hex(entry.key);
            for (const char* r : entry.multiples) {
                bytes sig = from_hex(r);
                sig.resize(64, 0);

                // h = SHA-512(R || A || M) mod L, by libsodium.
                bytes input(sig.begin(), sig.begin() + 32);
                input.insert(input.end(), pk.begin(), pk.end());
                input.insert(input.end(), msg.begin(), msg.end());
                std::uint8_t digest[64];
                crypto_hash_sha512(digest, input.data(), input.size());
                std::uint8_t h[32];
                crypto_core_ed25519_scalar_reduce(h, digest);
                const std::size_t order = entry.multiples.size();
                const std::size_t h_mod_order = h[0] % order; // order divides 256
                const bool expected = std::string(entry.multiples[h_mod_order]) == r;

                EXPECT_EQ(ours(sig, msg, pk), expected) << entry.key << " R " << r << " m " << m;
                valid += expected ? 1 : 0;
                rejected_by_libsodium += theirs(sig, msg, pk) ? 0 : 1;
                ++total;

                // The unreduced twin of this key (entries 2/3 and 4/5 pair up).
                if (key_index >= 2 && key_index % 2 == 0) {
                    const bytes twin = from_hex(keys[key_index + 1].key);
                    encodings_disagree += ours(sig, msg, twin) != expected ? 1 : 0;
                }
            }
        }
    }
    EXPECT_GT(valid, total / 8);
    EXPECT_EQ(rejected_by_libsodium, total);
    EXPECT_GT(encodings_disagree, 0);
}

} // namespace
