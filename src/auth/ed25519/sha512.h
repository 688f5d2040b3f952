// SHA-512 (FIPS 180-4), streaming interface.
#pragma once

#include <cstddef>
#include <cstdint>

struct sha512_context {
    std::uint64_t bit_count; // message bits absorbed into the state so far
    std::uint64_t state[8];
    std::size_t buffered; // bytes waiting in buffer
    std::uint8_t buffer[128];
};

// All three return 0 on success and 1 on a bad argument (null pointer or a corrupt context).
// After sha512_final the context must be initialised again before reuse.
int sha512_init(sha512_context* ctx);
int sha512_update(sha512_context* ctx, const std::uint8_t* data, std::uint64_t length);
int sha512_final(sha512_context* ctx, std::uint8_t out[64]);
