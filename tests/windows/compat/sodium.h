// The Windows build's stand-in for the one libsodium service that the crypto test compares with:
// the system's own SHA-512 (CNG, bcrypt.dll), an independent reference.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <bcrypt.h>

#include <cstddef>

inline constexpr std::size_t crypto_hash_sha512_BYTES = 64;

inline int sodium_init() {
    return 0;
}

inline int crypto_hash_sha512(unsigned char* out, const unsigned char* in,
                              unsigned long long length) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    // One BCryptHashData call takes up to 4 GiB - 1; the test's messages are far smaller.
    const bool ok =
        BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA512_ALGORITHM, nullptr, 0) == 0 &&
        BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) == 0 &&
        BCryptHashData(hash, const_cast<unsigned char*>(in), static_cast<ULONG>(length), 0) == 0 &&
        BCryptFinishHash(hash, out, crypto_hash_sha512_BYTES, 0) == 0;
    if (hash)
        BCryptDestroyHash(hash);
    if (algorithm)
        BCryptCloseAlgorithmProvider(algorithm, 0);
    return ok ? 0 : -1;
}
