#include "auth/ed25519/ed25519.h"

#include "auth/ed25519/group.h"
#include "auth/ed25519/scalar.h"
#include "auth/ed25519/sha512.h"

#include <algorithm>

using namespace tavrel::ed25519_internal;

int ed25519_verify(const unsigned char* signature, const unsigned char* message,
                   std::uint64_t message_length, const unsigned char* public_key) {
    return ed25519_verify(signature, message, message_length, public_key, {});
}

int ed25519_verify(const unsigned char* signature, const unsigned char* message,
                   std::uint64_t message_length, const unsigned char* public_key,
                   const std::function<void(std::uint64_t hashed)>& hashed) {
    if (signature == nullptr || public_key == nullptr ||
        (message == nullptr && message_length != 0)) {
        return 0;
    }
    // Cheap rejection of S >= 2^253, which also keeps S inside the range the scalar
    // multiplication supports.
    if (signature[63] > 0x1f) {
        return 0;
    }

    ge_extended minus_a;
    if (!ge_decode_negated(minus_a, public_key)) {
        return 0;
    }

    sha512_context ctx;
    std::uint8_t digest[64];
    sha512_init(&ctx);
    sha512_update(&ctx, signature, 32);
    sha512_update(&ctx, public_key, 32);
    constexpr std::uint64_t chunk = 8 << 20;
    for (std::uint64_t done = 0; done < message_length;) {
        const std::uint64_t size = std::min(chunk, message_length - done);
        sha512_update(&ctx, message + done, size);
        done += size;
        if (hashed)
            hashed(done);
    }
    sha512_final(&ctx, digest);

    std::uint8_t h[32];
    scalar_reduce_wide(h, digest);

    // R' = [h](-A) + [S]B equals R exactly when [S]B = R + [h]A.
    ge_projective r_check;
    ge_double_scalarmult_vartime(r_check, h, minus_a, signature + 32);
    std::uint8_t r_encoded[32];
    ge_encode(r_encoded, r_check);

    std::uint8_t diff = 0;
    for (int i = 0; i < 32; ++i) {
        diff |= static_cast<std::uint8_t>(r_encoded[i] ^ signature[i]);
    }
    return diff == 0 ? 1 : 0;
}
