#include "auth/ed25519/ed25519.h"
#include "auth/ed25519/field.h"
#include "auth/ed25519/group.h"
#include "auth/ed25519/scalar.h"
#include "auth/update_signature.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#ifndef TAVREL_TESTDATA_DIR
#error "TAVREL_TESTDATA_DIR must name the test data directory (tests/data)"
#endif

namespace {

using namespace tavrel::ed25519_internal;
using bytes = std::vector<std::uint8_t>;

bytes from_hex(const std::string& hex) {
    if (hex.size() % 2 != 0) {
        throw std::invalid_argument("odd hex length");
    }
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        if (c >= 'A' && c <= 'F') {
            return c - 'A' + 10;
        }
        throw std::invalid_argument("bad hex digit");
    };
    bytes out(hex.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<std::uint8_t>(nibble(hex[2 * i]) * 16 + nibble(hex[2 * i + 1]));
    }
    return out;
}

std::string to_hex(const std::uint8_t* data, std::size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < size; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

// L = 2^252 + 27742317777372353535851937790883648493, little-endian.
const std::array<std::uint8_t, 32> group_order = {
    0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7, 0xa2, 0xde, 0xf9, 0xde, 0x14,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10,
};

bool accepted(const bytes& sig, const bytes& msg, const bytes& pk) {
    return tavrel::verify_signature(msg, sig, pk); // the updater's S < L check, then Ed25519
}

int verify(const bytes& sig, const bytes& msg, const bytes& pk) {
    return ed25519_verify(sig.data(), msg.data(), msg.size(), pk.data());
}

// Little-endian 32-byte addition, for building S + L.
bytes add_32(const std::uint8_t* a, const std::uint8_t* b) {
    bytes out(32);
    unsigned carry = 0;
    for (int i = 0; i < 32; ++i) {
        const unsigned sum = a[i] + b[i] + carry;
        out[i] = static_cast<std::uint8_t>(sum);
        carry = sum >> 8;
    }
    return out;
}

struct rfc_vector {
    const char* name;
    const char* public_key;
    const char* message;
    const char* signature;
};

// RFC 8032 section 7.1, Ed25519.
const rfc_vector rfc_vectors[] = {
    {"TEST 1", "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b"
     "4"
     "6bd25bf5f0595bbe24655141438e7a100b"},
    {"TEST 2", "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11"
     "d"
     "8c387b2eaeb4302aeeb00d291612bb0c00"},
    {"TEST 3", "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
     "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc"
     "6"
     "594a7c15e9716ed28dc027beceea1ec40a"},
    {"TEST 1024", "278117fc144c72340f67d0f2316e8386ceffbf2b2428c9c51fef7c597f1d426e",
     "08b8b2b733424243760fe426a4b54908632110a66c2f6591eabd3345e3e4eb98"
     "fa6e264bf09efe12ee50f8f54e9f77b1e355f6c50544e23fb1433ddf73be84d8"
     "79de7c0046dc4996d9e773f4bc9efe5738829adb26c81b37c93a1b270b20329d"
     "658675fc6ea534e0810a4432826bf58c941efb65d57a338bbd2e26640f89ffbc"
     "1a858efcb8550ee3a5e1998bd177e93a7363c344fe6b199ee5d02e82d522c4fe"
     "ba15452f80288a821a579116ec6dad2b3b310da903401aa62100ab5d1a36553e"
     "06203b33890cc9b832f79ef80560ccb9a39ce767967ed628c6ad573cb116dbef"
     "efd75499da96bd68a8a97b928a8bbc103b6621fcde2beca1231d206be6cd9ec7"
     "aff6f6c94fcd7204ed3455c68c83f4a41da4af2b74ef5c53f1d8ac70bdcb7ed1"
     "85ce81bd84359d44254d95629e9855a94a7c1958d1f8ada5d0532ed8a5aa3fb2"
     "d17ba70eb6248e594e1a2297acbbb39d502f1a8c6eb6f1ce22b3de1a1f40cc24"
     "554119a831a9aad6079cad88425de6bde1a9187ebb6092cf67bf2b13fd65f270"
     "88d78b7e883c8759d2c4f5c65adb7553878ad575f9fad878e80a0c9ba63bcbcc"
     "2732e69485bbc9c90bfbd62481d9089beccf80cfe2df16a2cf65bd92dd597b07"
     "07e0917af48bbb75fed413d238f5555a7a569d80c3414a8d0859dc65a46128ba"
     "b27af87a71314f318c782b23ebfe808b82b0ce26401d2e22f04d83d1255dc51a"
     "ddd3b75a2b1ae0784504df543af8969be3ea7082ff7fc9888c144da2af58429e"
     "c96031dbcad3dad9af0dcbaaaf268cb8fcffead94f3c7ca495e056a9b47acdb7"
     "51fb73e666c6c655ade8297297d07ad1ba5e43f1bca32301651339e22904cc8c"
     "42f58c30c04aafdb038dda0847dd988dcda6f3bfd15c4b4c4525004aa06eeff8"
     "ca61783aacec57fb3d1f92b0fe2fd1a85f6724517b65e614ad6808d6f6ee34df"
     "f7310fdc82aebfd904b01e1dc54b2927094b2db68d6f903b68401adebf5a7e08"
     "d78ff4ef5d63653a65040cf9bfd4aca7984a74d37145986780fc0b16ac451649"
     "de6188a7dbdf191f64b5fc5e2ab47b57f7f7276cd419c17a3ca8e1b939ae49e4"
     "88acba6b965610b5480109c8b17b80e1b7b750dfc7598d5d5011fd2dcc5600a3"
     "2ef5b52a1ecc820e308aa342721aac0943bf6686b64b2579376504ccc493d97e"
     "6aed3fb0f9cd71a43dd497f01f17c0e2cb3797aa2a2f256656168e6c496afc5f"
     "b93246f6b1116398a346f1a641f3b041e989f7914f90cc2c7fff357876e506b5"
     "0d334ba77c225bc307ba537152f3f1610e4eafe595f6d9d90d11faa933a15ef1"
     "369546868a7f3a45a96768d40fd9d03412c091c6315cf4fde7cb68606937380d"
     "b2eaaa707b4c4185c32eddcdd306705e4dc1ffc872eeee475a64dfac86aba41c"
     "0618983f8741c5ef68d3a101e8a3b8cac60c905c15fc910840b94c00a0b9d0",
     "0aab4c900501b3e24d7cdf4663326a3a87df5e4843b2cbdb67cbf6e460fec350aa5371b1508f9f4528ecea23c436d"
     "9"
     "4b5e8fcd4f681e30a6ac00a9704a188a03"},
    {"TEST SHA(abc)", "ec172b93ad5e563bf4932c70e1245034c35467ef2efd4d64ebf819683467e2bf",
     "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3fee"
     "b"
     "bd454d4423643ce80e2a9ac94fa54ca49f",
     "dc2a4459e7369633a52b1bf277839a00201009a3efbf3ecb69bea2186c26b58909351fc9ac90b3ecfdfbc7c66431e"
     "0"
     "303dca179c138ac17ad9bef1177331a704"},
};

TEST(ed25519_rfc8032, vectors_verify) {
    for (const auto& v : rfc_vectors) {
        const bytes pk = from_hex(v.public_key);
        const bytes msg = from_hex(v.message);
        const bytes sig = from_hex(v.signature);
        ASSERT_EQ(pk.size(), 32u);
        ASSERT_EQ(sig.size(), 64u);
        EXPECT_EQ(verify(sig, msg, pk), 1) << v.name;
        EXPECT_TRUE(accepted(sig, msg, pk)) << v.name;
    }
    EXPECT_EQ(from_hex(rfc_vectors[3].message).size(), 1023u);
}

TEST(ed25519_rfc8032, every_signature_bit_flip_fails) {
    for (const auto& v : rfc_vectors) {
        const bytes pk = from_hex(v.public_key);
        const bytes msg = from_hex(v.message);
        const bytes sig = from_hex(v.signature);
        for (int bit = 0; bit < 512; ++bit) {
            bytes bad = sig;
            bad[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
            ASSERT_EQ(verify(bad, msg, pk), 0) << v.name << " bit " << bit;
        }
    }
}

TEST(ed25519_rfc8032, every_key_bit_flip_fails) {
    for (const auto& v : rfc_vectors) {
        const bytes pk = from_hex(v.public_key);
        const bytes msg = from_hex(v.message);
        const bytes sig = from_hex(v.signature);
        for (int bit = 0; bit < 256; ++bit) {
            bytes bad = pk;
            bad[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
            ASSERT_EQ(verify(sig, msg, bad), 0) << v.name << " bit " << bit;
        }
    }
}

// Every bit of the short messages; for the 1023-byte one every 13th bit plus the first and last
// bytes entirely.
TEST(ed25519_rfc8032, message_bit_flips_fail) {
    for (const auto& v : rfc_vectors) {
        const bytes pk = from_hex(v.public_key);
        const bytes msg = from_hex(v.message);
        const bytes sig = from_hex(v.signature);
        const std::size_t bits = msg.size() * 8;
        for (std::size_t bit = 0; bit < bits; ++bit) {
            const bool sampled = msg.size() <= 64 || bit % 13 == 0 || bit < 8 || bit >= bits - 8;
            if (!sampled) {
                continue;
            }
            bytes bad = msg;
            bad[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
            ASSERT_EQ(verify(sig, bad, pk), 0) << v.name << " bit " << bit;
        }
        bytes longer = msg;
        longer.push_back(0);
        EXPECT_EQ(verify(sig, longer, pk), 0) << v.name;
        if (!msg.empty()) {
            const bytes shorter(msg.begin(), msg.end() - 1);
            EXPECT_EQ(verify(sig, shorter, pk), 0) << v.name;
        }
    }
}

TEST(ed25519_verify_api, null_arguments) {
    const auto& v = rfc_vectors[0]; // empty message
    const bytes pk = from_hex(v.public_key);
    const bytes sig = from_hex(v.signature);
    const std::uint8_t byte = 0;
    EXPECT_EQ(ed25519_verify(sig.data(), &byte, 0, pk.data()), 1);
    EXPECT_EQ(ed25519_verify(sig.data(), nullptr, 0, pk.data()), 1);
    EXPECT_EQ(ed25519_verify(sig.data(), nullptr, 1, pk.data()), 0);
    EXPECT_EQ(ed25519_verify(nullptr, &byte, 0, pk.data()), 0);
    EXPECT_EQ(ed25519_verify(sig.data(), &byte, 0, nullptr), 0);
}

// ed25519_verify leaves S < L to the caller but refuses byte 63 above 0x1f. S + L (still below
// 2^253) satisfies the group equation, so the library alone accepts it; S + 2L crosses 2^253.
TEST(ed25519_verify_api, high_s_rules) {
    for (const auto& v : rfc_vectors) {
        const bytes pk = from_hex(v.public_key);
        const bytes msg = from_hex(v.message);
        const bytes sig = from_hex(v.signature);

        bytes plus_l = sig;
        const bytes s1 = add_32(sig.data() + 32, group_order.data());
        std::copy(s1.begin(), s1.end(), plus_l.begin() + 32);
        ASSERT_LE(plus_l[63], 0x1f) << v.name;
        EXPECT_EQ(verify(plus_l, msg, pk), 1) << v.name;
        EXPECT_FALSE(accepted(plus_l, msg, pk)) << v.name;

        bytes plus_2l = plus_l;
        const bytes s2 = add_32(plus_l.data() + 32, group_order.data());
        std::copy(s2.begin(), s2.end(), plus_2l.begin() + 32);
        ASSERT_GT(plus_2l[63], 0x1f) << v.name;
        EXPECT_EQ(verify(plus_2l, msg, pk), 0) << v.name;

        for (const std::uint8_t top : {0x20, 0x40, 0x80, 0xff}) {
            bytes bad = sig;
            bad[63] = static_cast<std::uint8_t>(bad[63] | top);
            EXPECT_EQ(verify(bad, msg, pk), 0) << v.name << " top " << int{top};
        }
    }
}

// The identity point, in all four of its encodings (y = 1 or y = p + 1, either sign bit), is a
// valid key under these rules. With it, R = identity and S = 0 verify for any message, while R's
// own non-canonical encodings never match.
TEST(ed25519_verify_api, identity_key_encodings) {
    const char* keys[] = {
        "0100000000000000000000000000000000000000000000000000000000000000",
        "0100000000000000000000000000000000000000000000000000000000000080",
        "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
        "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
    };
    const struct {
        const char* r;
        int expected;
    } rs[] = {
        {"0100000000000000000000000000000000000000000000000000000000000000", 1},
        {"0100000000000000000000000000000000000000000000000000000000000080", 0},
        {"eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", 0},
    };
    const bytes messages[] = {{}, {0x61}, from_hex("deadbeef")};
    for (const char* key : keys) {
        for (const auto& r : rs) {
            bytes sig = from_hex(r.r);
            sig.resize(64, 0);
            for (const auto& msg : messages) {
                EXPECT_EQ(verify(sig, msg, from_hex(key)), r.expected) << key << " R " << r.r;
            }
        }
    }
}

struct json_record {
    bytes msg;
    bytes sig;
    bytes pk;
    bool expected;
    std::string note;
};

// Pulls the string value of "key" out of a one-line JSON object; fails the test when absent.
std::string string_field(const std::string& line, const std::string& key) {
    const std::string tag = "\"" + key + "\": \"";
    const auto start = line.find(tag);
    if (start == std::string::npos) {
        ADD_FAILURE() << "missing " << key << " in " << line;
        return {};
    }
    const auto value = start + tag.size();
    const auto end = line.find('"', value);
    return line.substr(value, end - value);
}

std::vector<json_record> load_records(const std::filesystem::path& path) {
    std::ifstream in(path);
    EXPECT_TRUE(in.good()) << "cannot open " << path;
    std::vector<json_record> records;
    std::string line;
    while (std::getline(in, line)) {
        const auto first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] != '{') {
            continue; // the array brackets
        }
        json_record r;
        r.msg = from_hex(string_field(line, "msg"));
        r.sig = from_hex(string_field(line, "sig"));
        r.pk = from_hex(string_field(line, "pk"));
        const bool is_true = line.find("\"expected\": true") != std::string::npos;
        const bool is_false = line.find("\"expected\": false") != std::string::npos;
        EXPECT_NE(is_true, is_false) << "no verdict in " << line;
        r.expected = is_true;
        r.note = string_field(line, "note");
        records.push_back(std::move(r));
    }
    return records;
}

// Every *.json file of the public Ed25519 vectors in tests/data (two sources at the time of
// writing), every record. A missing directory or an empty file fails rather than passing vacuously.
TEST(ed25519_vector_files, every_record_gets_its_verdict) {
    const std::filesystem::path dir = std::filesystem::path(TAVREL_TESTDATA_DIR) / "ed25519";
    ASSERT_TRUE(std::filesystem::is_directory(dir)) << dir;
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() == ".json") {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    ASSERT_GE(files.size(), 2u) << dir;
    EXPECT_TRUE(std::filesystem::exists(dir / "wycheproof.json"));

    for (const auto& file : files) {
        SCOPED_TRACE(file.filename().string());
        const auto records = load_records(file);
        ASSERT_FALSE(records.empty());
        int valid = 0;
        for (const auto& r : records) {
            // Some records have a signature or key of the wrong length; the caller rejects
            // those before reaching the library, which takes fixed-size buffers.
            const bool well_formed = r.sig.size() == 64 && r.pk.size() == 32;
            const bool verdict = well_formed && accepted(r.sig, r.msg, r.pk);
            EXPECT_EQ(verdict, r.expected) << r.note;
            valid += r.expected ? 1 : 0;
        }
        EXPECT_GT(valid, 0);
        EXPECT_LT(valid, static_cast<int>(records.size()));
    }
}

// Field encoding: values from p to 2^255 - 1 are accepted and reduce; bit 255 is ignored.
TEST(ed25519_field, encoding_is_canonical) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"0000000000000000000000000000000000000000000000000000000000000000",
         "0000000000000000000000000000000000000000000000000000000000000000"},
        {"ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
         "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"},
        {"edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
         "0000000000000000000000000000000000000000000000000000000000000000"},
        {"eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
         "0100000000000000000000000000000000000000000000000000000000000000"},
        {"ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
         "1200000000000000000000000000000000000000000000000000000000000000"},
        {"ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
         "1200000000000000000000000000000000000000000000000000000000000000"},
        {"0100000000000000000000000000000000000000000000000000000000000080",
         "0100000000000000000000000000000000000000000000000000000000000000"},
        {"1234567890abcdef1234567890abcdef1234567890abcdef1234567890abcd7f",
         "1234567890abcdef1234567890abcdef1234567890abcdef1234567890abcd7f"},
    };
    for (const auto& c : cases) {
        fe f;
        fe_from_bytes(f, from_hex(c.in).data());
        std::uint8_t out[32];
        fe_to_bytes(out, f);
        EXPECT_EQ(to_hex(out, 32), c.out) << c.in;
    }
}

// Differences of reduced values land anywhere in (-p, p) limb-wise; encoding must still come out
// canonical, and a - a must be zero.
TEST(ed25519_field, arithmetic_identities) {
    std::mt19937_64 rng(25519);
    auto random_fe = [&rng](fe& f) {
        std::uint8_t s[32];
        for (auto& b : s) {
            b = static_cast<std::uint8_t>(rng());
        }
        fe_from_bytes(f, s);
    };
    fe one;
    fe_one(one);
    for (int i = 0; i < 200; ++i) {
        fe a, b, t, u;
        random_fe(a);
        random_fe(b);
        // a * a^-1 = 1
        fe_invert(t, a);
        fe_mul(t, t, a);
        fe_sub(t, t, one);
        EXPECT_FALSE(fe_is_nonzero(t)) << i;
        // (a + b)(a - b) = a^2 - b^2
        fe_add(t, a, b);
        fe_sub(u, a, b);
        fe_mul(t, t, u);
        fe a2, b2;
        fe_sq(a2, a);
        fe_sq(b2, b);
        fe_sub(u, a2, b2);
        fe_sub(t, t, u);
        EXPECT_FALSE(fe_is_nonzero(t)) << i;
        // 2 a^2 = sq2(a)
        fe_sq2(t, a);
        fe_add(u, a2, a2);
        fe_sub(t, t, u);
        EXPECT_FALSE(fe_is_nonzero(t)) << i;
        // -a and a have opposite signs unless a = 0
        fe_neg(t, a);
        EXPECT_NE(fe_is_negative(t), fe_is_negative(a)) << i;
        // a^((p-5)/8) squared three times and times a^5... checked via a^(p-1) = 1:
        // (a^((p-5)/8))^8 * a^4 = a^(p-1)
        fe_pow22523(t, a);
        for (int k = 0; k < 3; ++k) {
            fe_sq(t, t);
        }
        fe_sq(u, a2);
        fe_mul(t, t, u);
        fe_sub(t, t, one);
        EXPECT_FALSE(fe_is_nonzero(t)) << i;
    }
    fe zero, inv;
    fe_zero(zero);
    fe_invert(inv, zero);
    EXPECT_FALSE(fe_is_nonzero(inv));
    EXPECT_FALSE(fe_is_negative(zero));
}

// y = 0 .. 18 are the only values with a second encoding y + p below 2^255. Which of them are
// on the curve was worked out independently; the non-reduced encoding must decode exactly like
// the reduced one, to the same point.
TEST(ed25519_group, decoding_small_and_unreduced_y) {
    const bool on_curve[19] = {true, true,  false, true,  true, true, true, false, false, true,
                               true, false, false, false, true, true, true, false, true};
    for (int y = 0; y < 19; ++y) {
        for (int sign = 0; sign < 2; ++sign) {
            std::uint8_t reduced[32] = {};
            reduced[0] = static_cast<std::uint8_t>(y);
            reduced[31] = static_cast<std::uint8_t>(sign << 7);
            std::uint8_t unreduced[32];
            for (int i = 0; i < 32; ++i) {
                unreduced[i] = 0xff;
            }
            unreduced[0] = static_cast<std::uint8_t>(0xed + y);
            unreduced[31] = static_cast<std::uint8_t>(0x7f | (sign << 7));

            ge_extended a, b;
            const bool ok_a = ge_decode_negated(a, reduced);
            const bool ok_b = ge_decode_negated(b, unreduced);
            EXPECT_EQ(ok_a, on_curve[y]) << "y " << y << " sign " << sign;
            EXPECT_EQ(ok_b, on_curve[y]) << "y + p " << y << " sign " << sign;
            if (ok_a && ok_b) {
                std::uint8_t ea[32], eb[32];
                ge_encode(ea, ge_projective{a.x, a.y, a.z});
                ge_encode(eb, ge_projective{b.x, b.y, b.z});
                EXPECT_EQ(to_hex(ea, 32), to_hex(eb, 32)) << "y " << y;
                // The stored point is the negation, whose encoding differs in the sign bit only
                // (or not at all when x = 0).
                std::uint8_t expected[32];
                std::copy(reduced, reduced + 32, expected);
                if (y == 1) {
                    expected[31] = 0; // x = 0: both signs decode to the identity
                } else {
                    expected[31] ^= 0x80;
                }
                EXPECT_EQ(to_hex(ea, 32), to_hex(expected, 32)) << "y " << y << " sign " << sign;
            }
        }
    }
}

// Random encodings: about half are points; each decodes to its negation.
TEST(ed25519_group, decode_then_encode_negates) {
    std::mt19937_64 rng(8032);
    int points = 0;
    for (int i = 0; i < 400; ++i) {
        std::uint8_t s[32];
        for (auto& b : s) {
            b = static_cast<std::uint8_t>(rng());
        }
        s[31] &= 0x7f;
        s[31] |= static_cast<std::uint8_t>((i & 1) << 7);
        ge_extended a;
        if (!ge_decode_negated(a, s)) {
            continue;
        }
        ++points;
        std::uint8_t e[32];
        ge_encode(e, ge_projective{a.x, a.y, a.z});
        s[31] ^= 0x80;
        ASSERT_EQ(to_hex(e, 32), to_hex(s, 32)) << i;
    }
    EXPECT_GT(points, 140);
    EXPECT_LT(points, 260);
}

const char* const base_point_hex =
    "5866666666666666666666666666666666666666666666666666666666666666";

// With A = B the double multiplication computes [a](-B) + [b]B = [b - a]B, which can be checked
// without any outside reference: equal scalars give the identity, b = a + 1 gives B.
TEST(ed25519_group, double_scalarmult_on_the_base_point) {
    ge_extended minus_b;
    ASSERT_TRUE(ge_decode_negated(minus_b, from_hex(base_point_hex).data()));
    std::mt19937_64 rng(252);
    const std::string identity_hex =
        "0100000000000000000000000000000000000000000000000000000000000000";
    for (int i = 0; i < 300; ++i) {
        std::uint8_t a[32];
        for (auto& b : a) {
            b = static_cast<std::uint8_t>(rng());
        }
        a[31] &= 0x1f; // below 2^253
        if (i == 0) {
            std::fill(a, a + 32, 0);
        } else if (i == 1) {
            std::fill(a, a + 32, 0xff);
            a[31] = 0x1f; // 2^253 - 1, the largest allowed
        } else if (i == 2) {
            std::copy(group_order.begin(), group_order.end(), a);
        }
        ge_projective r;
        std::uint8_t out[32];
        ge_double_scalarmult_vartime(r, a, minus_b, a);
        ge_encode(out, r);
        ASSERT_EQ(to_hex(out, 32), identity_hex) << i;

        if (i == 1) {
            continue; // a + 1 would leave the allowed range
        }
        std::uint8_t one[32] = {1};
        const bytes a_plus_1 = add_32(a, one);
        ge_double_scalarmult_vartime(r, a, minus_b, a_plus_1.data());
        ge_encode(out, r);
        ASSERT_EQ(to_hex(out, 32), base_point_hex) << i;
    }
}

TEST(ed25519_scalar, reduce_wide_known_values) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        // 0, 1
        {"0000000000000000000000000000000000000000000000000000000000000000"
         "0000000000000000000000000000000000000000000000000000000000000000",
         "0000000000000000000000000000000000000000000000000000000000000000"},
        {"0100000000000000000000000000000000000000000000000000000000000000"
         "0000000000000000000000000000000000000000000000000000000000000000",
         "0100000000000000000000000000000000000000000000000000000000000000"},
        // L - 1, L, L + 1
        {"ecd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010"
         "0000000000000000000000000000000000000000000000000000000000000000",
         "ecd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010"},
        {"edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010"
         "0000000000000000000000000000000000000000000000000000000000000000",
         "0000000000000000000000000000000000000000000000000000000000000000"},
        {"eed3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010"
         "0000000000000000000000000000000000000000000000000000000000000000",
         "0100000000000000000000000000000000000000000000000000000000000000"},
        // 2L - 1, 2L
        {"d9a7ebb934c624b0ac39ef45bdf3bd2900000000000000000000000000000020"
         "0000000000000000000000000000000000000000000000000000000000000000",
         "ecd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010"},
        {"daa7ebb934c624b0ac39ef45bdf3bd2900000000000000000000000000000020"
         "0000000000000000000000000000000000000000000000000000000000000000",
         "0000000000000000000000000000000000000000000000000000000000000000"},
        // 2^252 - 1, 2^252 (below L, kept as is)
        {"ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff0f"
         "0000000000000000000000000000000000000000000000000000000000000000",
         "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff0f"},
        {"0000000000000000000000000000000000000000000000000000000000000010"
         "0000000000000000000000000000000000000000000000000000000000000000",
         "0000000000000000000000000000000000000000000000000000000000000010"},
        // 2^253 - 1, 2^256 - 1
        {"ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff1f"
         "0000000000000000000000000000000000000000000000000000000000000000",
         "122c0aa3e59ceda72963085d210621ebffffffffffffffffffffffffffffff0f"},
        {"ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff"
         "0000000000000000000000000000000000000000000000000000000000000000",
         "1c95988d7431ecd670cf7d73f45befc6feffffffffffffffffffffffffffff0f"},
        // 2^512 - 1, the largest multiple of L below it, and that minus 1
        {"ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff"
         "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
         "000f9c44e31106a447938568a71b0ed065bef517d273ecce3d9a307c1b419903"},
        {"fff063bb1ceef95bb86c7a9758e4f12f9a410ae82d8c1331c265cf83e4be66fc"
         "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
         "0000000000000000000000000000000000000000000000000000000000000000"},
        {"fef063bb1ceef95bb86c7a9758e4f12f9a410ae82d8c1331c265cf83e4be66fc"
         "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
         "ecd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010"},
        // 2^511, 19 L + 12345
        {"0000000000000000000000000000000000000000000000000000000000000000"
         "0000000000000000000000000000000000000000000000000000000000000080",
         "77f1c8d07e3a0cfe0e98be05c38a76f232dffa0be93976e71e4d18be8da0cc09"},
        {"d0ea3ee6f45a5d89e8a36018868b8c8c010000000000000000000000000000300"
         "100000000000000000000000000000000000000000000000000000000000000",
         "3930000000000000000000000000000000000000000000000000000000000000"},
    };
    for (const auto& c : cases) {
        const bytes in = from_hex(c.in);
        ASSERT_EQ(in.size(), 64u);
        std::uint8_t out[32];
        scalar_reduce_wide(out, in.data());
        EXPECT_EQ(to_hex(out, 32), c.out) << c.in;
    }
}

// The recoding must represent the scalar exactly, with odd digits in [-15, 15]. After a nonzero
// digit the next four positions always end up zero (a 2^1..2^4 neighbour can always be merged
// by adding or subtracting), which is what keeps the number of point additions low.
TEST(ed25519_scalar, signed_window_recoding) {
    std::mt19937_64 rng(15);
    for (int i = 0; i < 500; ++i) {
        std::uint8_t a[32];
        for (auto& b : a) {
            b = static_cast<std::uint8_t>(rng());
        }
        a[31] &= 0x1f;
        if (i == 0) {
            std::fill(a, a + 32, 0);
        } else if (i == 1) {
            std::fill(a, a + 32, 0xff);
            a[31] = 0x1f;
        } else if (i == 2) {
            std::copy(group_order.begin(), group_order.end(), a);
        } else if (i == 3) {
            std::fill(a, a + 32, 0);
            a[0] = 1;
        }
        std::int8_t digits[256];
        scalar_signed_window(digits, a);

        // Rebuild the value as 256-bit little-endian with signed carries.
        std::int64_t acc[32] = {};
        int last_nonzero = -100;
        for (int k = 0; k < 256; ++k) {
            const int d = digits[k];
            ASSERT_GE(d, -15) << i;
            ASSERT_LE(d, 15) << i;
            if (d != 0) {
                ASSERT_EQ(d & 1, 1) << "even digit at " << k;
                ASSERT_GE(k - last_nonzero, 5) << "digits too close at " << k;
                last_nonzero = k;
            }
            // d * 2^k spread over bytes
            acc[k / 8] += static_cast<std::int64_t>(d) * (1 << (k % 8));
        }
        std::uint8_t rebuilt[32];
        std::int64_t carry = 0;
        for (int k = 0; k < 32; ++k) {
            const std::int64_t v = acc[k] + carry;
            rebuilt[k] = static_cast<std::uint8_t>(v & 0xff);
            carry = (v - (v & 0xff)) / 256;
        }
        ASSERT_EQ(carry, 0) << i;
        ASSERT_EQ(to_hex(rebuilt, 32), to_hex(a, 32)) << i;
    }
}

} // namespace
