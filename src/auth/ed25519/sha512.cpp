#include "auth/ed25519/sha512.h"

#include <cstring>

#if defined(__GNUC__)
#define TAVREL_ALWAYS_INLINE inline __attribute__((always_inline))
#elif defined(_MSC_VER)
#define TAVREL_ALWAYS_INLINE __forceinline
#else
#define TAVREL_ALWAYS_INLINE inline
#endif

namespace {

constexpr std::uint64_t round_constants[80] = {
    0x428a2f98d728ae22ULL, 0x7137449123ef65cdULL, 0xb5c0fbcfec4d3b2fULL, 0xe9b5dba58189dbbcULL,
    0x3956c25bf348b538ULL, 0x59f111f1b605d019ULL, 0x923f82a4af194f9bULL, 0xab1c5ed5da6d8118ULL,
    0xd807aa98a3030242ULL, 0x12835b0145706fbeULL, 0x243185be4ee4b28cULL, 0x550c7dc3d5ffb4e2ULL,
    0x72be5d74f27b896fULL, 0x80deb1fe3b1696b1ULL, 0x9bdc06a725c71235ULL, 0xc19bf174cf692694ULL,
    0xe49b69c19ef14ad2ULL, 0xefbe4786384f25e3ULL, 0x0fc19dc68b8cd5b5ULL, 0x240ca1cc77ac9c65ULL,
    0x2de92c6f592b0275ULL, 0x4a7484aa6ea6e483ULL, 0x5cb0a9dcbd41fbd4ULL, 0x76f988da831153b5ULL,
    0x983e5152ee66dfabULL, 0xa831c66d2db43210ULL, 0xb00327c898fb213fULL, 0xbf597fc7beef0ee4ULL,
    0xc6e00bf33da88fc2ULL, 0xd5a79147930aa725ULL, 0x06ca6351e003826fULL, 0x142929670a0e6e70ULL,
    0x27b70a8546d22ffcULL, 0x2e1b21385c26c926ULL, 0x4d2c6dfc5ac42aedULL, 0x53380d139d95b3dfULL,
    0x650a73548baf63deULL, 0x766a0abb3c77b2a8ULL, 0x81c2c92e47edaee6ULL, 0x92722c851482353bULL,
    0xa2bfe8a14cf10364ULL, 0xa81a664bbc423001ULL, 0xc24b8b70d0f89791ULL, 0xc76c51a30654be30ULL,
    0xd192e819d6ef5218ULL, 0xd69906245565a910ULL, 0xf40e35855771202aULL, 0x106aa07032bbd1b8ULL,
    0x19a4c116b8d2d0c8ULL, 0x1e376c085141ab53ULL, 0x2748774cdf8eeb99ULL, 0x34b0bcb5e19b48a8ULL,
    0x391c0cb3c5c95a63ULL, 0x4ed8aa4ae3418acbULL, 0x5b9cca4f7763e373ULL, 0x682e6ff3d6b2b8a3ULL,
    0x748f82ee5defb2fcULL, 0x78a5636f43172f60ULL, 0x84c87814a1f0ab72ULL, 0x8cc702081a6439ecULL,
    0x90befffa23631e28ULL, 0xa4506cebde82bde9ULL, 0xbef9a3f7b2c67915ULL, 0xc67178f2e372532bULL,
    0xca273eceea26619cULL, 0xd186b8c721c0c207ULL, 0xeada7dd6cde0eb1eULL, 0xf57d4f7fee6ed178ULL,
    0x06f067aa72176fbaULL, 0x0a637dc5a2c898a6ULL, 0x113f9804bef90daeULL, 0x1b710b35131c471bULL,
    0x28db77f523047d84ULL, 0x32caab7b40c72493ULL, 0x3c9ebe0a15c9bebcULL, 0x431d67c49c100d4cULL,
    0x4cc5d4becb3e42b6ULL, 0x597f299cfc657e2aULL, 0x5fcb6fab3ad6faecULL, 0x6c44198c4a475817ULL,
};

constexpr std::uint64_t initial_state[8] = {
    0x6a09e667f3bcc908ULL, 0xbb67ae8584caa73bULL, 0x3c6ef372fe94f82bULL, 0xa54ff53a5f1d36f1ULL,
    0x510e527fade682d1ULL, 0x9b05688c2b3e6c1fULL, 0x1f83d9abfb41bd6bULL, 0x5be0cd19137e2179ULL,
};

inline std::uint64_t rotr(std::uint64_t x, int n) {
    return (x >> n) | (x << (64 - n));
}

inline std::uint64_t load_be64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
#if defined(__GNUC__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return __builtin_bswap64(v);
#else
    const auto* b = p;
    return (std::uint64_t{b[0]} << 56) | (std::uint64_t{b[1]} << 48) | (std::uint64_t{b[2]} << 40) |
           (std::uint64_t{b[3]} << 32) | (std::uint64_t{b[4]} << 24) | (std::uint64_t{b[5]} << 16) |
           (std::uint64_t{b[6]} << 8) | std::uint64_t{b[7]};
#endif
}

inline void store_be64(std::uint8_t* p, std::uint64_t v) {
    for (int i = 7; i >= 0; --i) {
        p[i] = static_cast<std::uint8_t>(v);
        v >>= 8;
    }
}

// One round. The eight working variables are rotated by renaming at the call site rather than
// by moving values, so only d and h change here.
TAVREL_ALWAYS_INLINE void round_step(std::uint64_t a, std::uint64_t b, std::uint64_t c,
                                     std::uint64_t& d, std::uint64_t e, std::uint64_t f,
                                     std::uint64_t g, std::uint64_t& h, std::uint64_t k_plus_w) {
    const std::uint64_t t1 =
        h + (rotr(e, 14) ^ rotr(e, 18) ^ rotr(e, 41)) + (g ^ (e & (f ^ g))) + k_plus_w;
    const std::uint64_t t2 = (rotr(a, 28) ^ rotr(a, 34) ^ rotr(a, 39)) + ((a & b) | (c & (a | b)));
    d += t1;
    h = t1 + t2;
}

// Next message-schedule word, kept in a 16-entry ring instead of the full 80-word array.
TAVREL_ALWAYS_INLINE std::uint64_t schedule(std::uint64_t* w, int i) {
    const std::uint64_t w2 = w[(i + 14) & 15];
    const std::uint64_t w15 = w[(i + 1) & 15];
    const std::uint64_t s1 = rotr(w2, 19) ^ rotr(w2, 61) ^ (w2 >> 6);
    const std::uint64_t s0 = rotr(w15, 1) ^ rotr(w15, 8) ^ (w15 >> 7);
    w[i & 15] += s1 + w[(i + 9) & 15] + s0;
    return w[i & 15];
}

#define TAVREL_SHA512_ROUNDS_8(base, next_word)                                                    \
    round_step(a, b, c, d, e, f, g, h, round_constants[(base) + 0] + next_word((base) + 0));       \
    round_step(h, a, b, c, d, e, f, g, round_constants[(base) + 1] + next_word((base) + 1));       \
    round_step(g, h, a, b, c, d, e, f, round_constants[(base) + 2] + next_word((base) + 2));       \
    round_step(f, g, h, a, b, c, d, e, round_constants[(base) + 3] + next_word((base) + 3));       \
    round_step(e, f, g, h, a, b, c, d, round_constants[(base) + 4] + next_word((base) + 4));       \
    round_step(d, e, f, g, h, a, b, c, round_constants[(base) + 5] + next_word((base) + 5));       \
    round_step(c, d, e, f, g, h, a, b, round_constants[(base) + 6] + next_word((base) + 6));       \
    round_step(b, c, d, e, f, g, h, a, round_constants[(base) + 7] + next_word((base) + 7))

void compress_blocks(std::uint64_t state[8], const std::uint8_t* data, std::size_t blocks) {
    std::uint64_t w[16];
    while (blocks-- > 0) {
        std::uint64_t a = state[0], b = state[1], c = state[2], d = state[3];
        std::uint64_t e = state[4], f = state[5], g = state[6], h = state[7];

#define TAVREL_SHA512_LOAD(i) (w[(i)] = load_be64(data + 8 * (i)))
#define TAVREL_SHA512_NEXT(i) schedule(w, (i))
        TAVREL_SHA512_ROUNDS_8(0, TAVREL_SHA512_LOAD);
        TAVREL_SHA512_ROUNDS_8(8, TAVREL_SHA512_LOAD);
        for (int base = 16; base < 80; base += 16) {
            TAVREL_SHA512_ROUNDS_8(base, TAVREL_SHA512_NEXT);
            TAVREL_SHA512_ROUNDS_8(base + 8, TAVREL_SHA512_NEXT);
        }
#undef TAVREL_SHA512_LOAD
#undef TAVREL_SHA512_NEXT

        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
        data += 128;
    }
}

#undef TAVREL_SHA512_ROUNDS_8

} // namespace

#undef TAVREL_ALWAYS_INLINE

int sha512_init(sha512_context* ctx) {
    if (ctx == nullptr) {
        return 1;
    }
    ctx->bit_count = 0;
    std::memcpy(ctx->state, initial_state, sizeof initial_state);
    ctx->buffered = 0;
    return 0;
}

int sha512_update(sha512_context* ctx, const std::uint8_t* data, std::uint64_t length) {
    if (ctx == nullptr || data == nullptr || ctx->buffered > 128) {
        return 1;
    }
    while (length > 0) {
        if (ctx->buffered == 0 && length >= 128) {
            // Whole blocks go straight from the caller's memory, skipping the copy.
            const std::uint64_t blocks = length / 128;
            compress_blocks(ctx->state, data, static_cast<std::size_t>(blocks));
            ctx->bit_count += blocks * 1024;
            data += blocks * 128;
            length -= blocks * 128;
            continue;
        }
        std::size_t take = 128 - ctx->buffered;
        if (length < take) {
            take = static_cast<std::size_t>(length);
        }
        std::memcpy(ctx->buffer + ctx->buffered, data, take);
        ctx->buffered += take;
        data += take;
        length -= take;
        if (ctx->buffered == 128) {
            compress_blocks(ctx->state, ctx->buffer, 1);
            ctx->bit_count += 1024;
            ctx->buffered = 0;
        }
    }
    return 0;
}

int sha512_final(sha512_context* ctx, std::uint8_t out[64]) {
    if (ctx == nullptr || out == nullptr || ctx->buffered >= 128) {
        return 1;
    }
    ctx->bit_count += 8 * static_cast<std::uint64_t>(ctx->buffered);
    ctx->buffer[ctx->buffered++] = 0x80;
    if (ctx->buffered > 112) {
        std::memset(ctx->buffer + ctx->buffered, 0, 128 - ctx->buffered);
        compress_blocks(ctx->state, ctx->buffer, 1);
        ctx->buffered = 0;
    }
    // The length field is 128 bits wide; the upper half stays zero.
    std::memset(ctx->buffer + ctx->buffered, 0, 120 - ctx->buffered);
    store_be64(ctx->buffer + 120, ctx->bit_count);
    compress_blocks(ctx->state, ctx->buffer, 1);
    for (int i = 0; i < 8; ++i) {
        store_be64(out + 8 * i, ctx->state[i]);
    }
    return 0;
}
