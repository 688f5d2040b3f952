#include "auth/ed25519/sha512.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

std::string to_hex(const std::uint8_t* data, std::size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < size; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

std::string digest_hex(const std::vector<std::uint8_t>& message) {
    sha512_context ctx;
    std::uint8_t out[64];
    EXPECT_EQ(sha512_init(&ctx), 0);
    // An empty vector may hand out a null pointer, which update rejects even for length 0.
    const std::uint8_t none = 0;
    EXPECT_EQ(sha512_update(&ctx, message.empty() ? &none : message.data(), message.size()), 0);
    EXPECT_EQ(sha512_final(&ctx, out), 0);
    return to_hex(out, sizeof out);
}

std::vector<std::uint8_t> bytes_of(const std::string& text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

// Bytes 3, 10, 17, ...: distinct neighbours, so a misplaced byte changes the digest.
std::vector<std::uint8_t> pattern(std::size_t length) {
    std::vector<std::uint8_t> out(length);
    for (std::size_t i = 0; i < length; ++i) {
        out[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    return out;
}

std::string sodium_hex(const std::vector<std::uint8_t>& message) {
    std::uint8_t out[crypto_hash_sha512_BYTES];
    crypto_hash_sha512(out, message.data(), message.size());
    return to_hex(out, sizeof out);
}

class sha512_test : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { ASSERT_GE(sodium_init(), 0); }
};

TEST_F(sha512_test, context_layout_is_fixed) {
    EXPECT_EQ(offsetof(sha512_context, bit_count), 0u);
    EXPECT_EQ(offsetof(sha512_context, state), 8u);
    EXPECT_EQ(offsetof(sha512_context, buffered), 72u);
    EXPECT_EQ(offsetof(sha512_context, buffer), 80u);
    EXPECT_EQ(sizeof(sha512_context::buffer), 128u);
}

TEST_F(sha512_test, init_sets_initial_value) {
    sha512_context ctx;
    std::memset(&ctx, 0xa5, sizeof ctx);
    ASSERT_EQ(sha512_init(&ctx), 0);
    EXPECT_EQ(ctx.bit_count, 0u);
    EXPECT_EQ(ctx.buffered, 0u);
    const std::uint64_t expected[8] = {
        0x6a09e667f3bcc908ULL, 0xbb67ae8584caa73bULL, 0x3c6ef372fe94f82bULL, 0xa54ff53a5f1d36f1ULL,
        0x510e527fade682d1ULL, 0x9b05688c2b3e6c1fULL, 0x1f83d9abfb41bd6bULL, 0x5be0cd19137e2179ULL,
    };
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(ctx.state[i], expected[i]) << i;
    }
}

struct known_digest {
    const char* name;
    std::vector<std::uint8_t> message;
    const char* digest;
};

TEST_F(sha512_test, known_digests) {
    const known_digest cases[] = {
        {"empty",
         {},
         "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
         "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e"},
        {"abc", bytes_of("abc"),
         "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
         "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
        {"448 bits", bytes_of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
         "204a8fc6dda82f0a0ced7beb8e08a41657c16ef468b228a8279be331a703c335"
         "96fd15c13b1b07f9aa1d3bea57789ca031ad85c7a71dd70354ec631238ca3445"},
        {"896 bits",
         bytes_of("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmno"
                  "ijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu"),
         "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018"
         "501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545e96e55b874be909"},
        {"one million a", std::vector<std::uint8_t>(1000000, 'a'),
         "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973eb"
         "de0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(digest_hex(c.message), c.digest) << c.name;
    }
}

// Lengths on either side of the padding boundaries: up to 111 bytes the length field still fits
// in the last block, from 112 on the padding needs an extra block.
TEST_F(sha512_test, padding_boundaries) {
    const struct {
        std::size_t length;
        const char* digest;
    } cases[] = {
        {0, "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
            "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e"},
        {1, "e45bf5817ddf94aa2f7a407071f0eedc6beb98f768b4cd33d1176d44d1563a45"
            "a5d7212290eb7670c6786b13591aedac86478993895e8b24e612014abaa6ba04"},
        {111, "68cffa6d0d76f309c9ce0d35280939f8e25990c43b7b086ccdf709be35b07d4d"
              "dba599541ff2b1c19d34ea49aeafb9659adb7ac3c0b078bb30a22d57fc6687ef"},
        {112, "d0865c524d1dddf7c23b799c413f5adcd7caefd3f66a9b49750ec81066012c25"
              "a8bcf94ddea6dc525691673097ca40e0101e897fc97218cfdb0704084e2bef4b"},
        {113, "606314353bd419f9f7720e8297f2af8a9ed5f0bb0bed29b716bf18e34577623a"
              "e7effa46f496bd4282134e7e895284a4760a910d2ad8ec11e9dd75863058cd9c"},
        {127, "e0b6a20f1c0c88970a9340152cd5a1c1ecf3d3b8de55102741879438079473540"
              "133b812706e5dbec322c8c9523b6fc8c6d16ee626e87ad5fe3d2916afedc369"},
        {128, "99b16f17aa0b969a5b8f08f367719d516e330ccd2660b6f0688ec031dbc783de"
              "50a1cd185a2568dba75070a2403d17d4741d163578515dfd2ff756ddfe4d47b1"},
        {129, "a1556e29185778aa5991e34b8884c840d589f0fbb4b8ed590e51e9ac4eb03a00"
              "8125000db2671f8fe7f485b59a77b518670078ecb41a54b4cd02a7f1d2ca4c6d"},
        {239, "18ee83f30261c3c645d52aee6a209105b25bba39d33845ef48984cc238e4f216"
              "61fb7bd7dd4336f71c40fe87d95e5115d6c7be52e0d3e7e7877d24500b5b58df"},
        {240, "9d60ee60d29ec4fa0b9690c04c1c29413bbe3ed345639182d9d53dcc05926b77"
              "b04f4fec1562fb85182954c96b7cbb5d5e4410251ff4f352d09a2da90419fb13"},
        {255, "c2e3bb67012f9eb526202efa59997933f7d3e75e7ded738818bc27d94977f457"
              "3afddb1b2793745701e62affa3b7a1c8262c992a321f488a6b1942a4795bab98"},
        {256, "e49c208e41556e859d1a52d14784a061c2d5ae2c8690a5360e9f9344f60861c1"
              "362a9ec05a9f08a4167b3da41bdd122a387413dd06976470e4beff5053f2ac71"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(digest_hex(pattern(c.length)), c.digest) << c.length;
    }
}

TEST_F(sha512_test, matches_libsodium_for_every_length_up_to_300) {
    for (std::size_t length = 0; length <= 300; ++length) {
        const auto message = pattern(length);
        ASSERT_EQ(digest_hex(message), sodium_hex(message)) << length;
    }
}

// The same message fed in random pieces, including empty ones, must give the same digest as a
// single call, and the context must account for exactly the bytes seen so far.
TEST_F(sha512_test, random_chunking_matches_libsodium) {
    std::mt19937 rng(512);
    for (int round = 0; round < 400; ++round) {
        const std::size_t length = std::uniform_int_distribution<std::size_t>(0, 1500)(rng);
        std::vector<std::uint8_t> message(length);
        for (auto& b : message) {
            b = static_cast<std::uint8_t>(rng());
        }
        sha512_context ctx;
        ASSERT_EQ(sha512_init(&ctx), 0);
        std::size_t offset = 0;
        while (offset < length) {
            const std::size_t piece = std::min<std::size_t>(
                length - offset, std::uniform_int_distribution<std::size_t>(0, 300)(rng));
            ASSERT_EQ(sha512_update(&ctx, message.data() + offset, piece), 0);
            offset += piece;
            ASSERT_EQ(ctx.buffered, offset % 128);
            ASSERT_EQ(ctx.bit_count, (offset / 128) * 1024);
        }
        std::uint8_t out[64];
        ASSERT_EQ(sha512_final(&ctx, out), 0);
        ASSERT_EQ(to_hex(out, 64), sodium_hex(message)) << "length " << length;
    }
}

TEST_F(sha512_test, null_arguments_are_rejected) {
    sha512_context ctx;
    std::uint8_t data[4] = {1, 2, 3, 4};
    std::uint8_t out[64];
    EXPECT_EQ(sha512_init(nullptr), 1);
    ASSERT_EQ(sha512_init(&ctx), 0);
    EXPECT_EQ(sha512_update(nullptr, data, sizeof data), 1);
    EXPECT_EQ(sha512_update(&ctx, nullptr, sizeof data), 1);
    EXPECT_EQ(sha512_update(&ctx, nullptr, 0), 1);
    EXPECT_EQ(sha512_final(nullptr, out), 1);
    EXPECT_EQ(sha512_final(&ctx, nullptr), 1);
    // None of the rejected calls may have touched the context.
    EXPECT_EQ(ctx.bit_count, 0u);
    EXPECT_EQ(ctx.buffered, 0u);
    ASSERT_EQ(sha512_final(&ctx, out), 0);
    EXPECT_EQ(to_hex(out, 64), sodium_hex({}));
}

TEST_F(sha512_test, zero_length_update_changes_nothing) {
    sha512_context ctx;
    ASSERT_EQ(sha512_init(&ctx), 0);
    const auto message = pattern(200);
    ASSERT_EQ(sha512_update(&ctx, message.data(), message.size()), 0);
    sha512_context before;
    std::memcpy(&before, &ctx, sizeof ctx);
    const std::uint8_t byte = 0;
    EXPECT_EQ(sha512_update(&ctx, &byte, 0), 0);
    EXPECT_EQ(std::memcmp(&before, &ctx, sizeof ctx), 0);
}

// buffered is checked against the buffer size: 128 is still accepted by update (the full buffer
// is compressed first) but no longer by final, which needs room for the 0x80 byte.
TEST_F(sha512_test, corrupt_buffered_count) {
    const std::uint8_t byte = 0x61;
    std::uint8_t out[64];
    sha512_context ctx;

    ASSERT_EQ(sha512_init(&ctx), 0);
    ctx.buffered = 129;
    EXPECT_EQ(sha512_update(&ctx, &byte, 1), 1);
    EXPECT_EQ(ctx.buffered, 129u);
    EXPECT_EQ(ctx.bit_count, 0u);
    EXPECT_EQ(sha512_final(&ctx, out), 1);

    ASSERT_EQ(sha512_init(&ctx), 0);
    ctx.buffered = 128;
    EXPECT_EQ(sha512_final(&ctx, out), 1);

    // A full buffer of 128 bytes followed by one more byte is the 129-byte message.
    const auto message = pattern(129);
    ASSERT_EQ(sha512_init(&ctx), 0);
    std::memcpy(ctx.buffer, message.data(), 128);
    ctx.buffered = 128;
    EXPECT_EQ(sha512_update(&ctx, message.data() + 128, 1), 0);
    EXPECT_EQ(ctx.buffered, 1u);
    EXPECT_EQ(ctx.bit_count, 1024u);
    ASSERT_EQ(sha512_final(&ctx, out), 0);
    EXPECT_EQ(to_hex(out, 64), sodium_hex(message));

    // 127 buffered bytes is the largest count final accepts.
    const auto short_message = pattern(127);
    ASSERT_EQ(sha512_init(&ctx), 0);
    ASSERT_EQ(sha512_update(&ctx, short_message.data(), short_message.size()), 0);
    ASSERT_EQ(ctx.buffered, 127u);
    ASSERT_EQ(sha512_final(&ctx, out), 0);
    EXPECT_EQ(to_hex(out, 64), sodium_hex(short_message));
}

// Whole blocks taken straight from the input and blocks assembled in the buffer must be hashed
// alike; an unaligned source pointer must not matter either.
TEST_F(sha512_test, direct_and_buffered_blocks_agree) {
    const auto message = pattern(1024 + 1);
    const std::string expected =
        sodium_hex(std::vector<std::uint8_t>(message.begin() + 1, message.end()));
    sha512_context ctx;
    std::uint8_t out[64];

    ASSERT_EQ(sha512_init(&ctx), 0);
    ASSERT_EQ(sha512_update(&ctx, message.data() + 1, 1024), 0);
    EXPECT_EQ(ctx.buffered, 0u);
    EXPECT_EQ(ctx.bit_count, 8192u);
    ASSERT_EQ(sha512_final(&ctx, out), 0);
    EXPECT_EQ(to_hex(out, 64), expected);

    ASSERT_EQ(sha512_init(&ctx), 0);
    for (std::size_t i = 1; i <= 1024; ++i) {
        ASSERT_EQ(sha512_update(&ctx, message.data() + i, 1), 0);
    }
    ASSERT_EQ(sha512_final(&ctx, out), 0);
    EXPECT_EQ(to_hex(out, 64), expected);
}

} // namespace
