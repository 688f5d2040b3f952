// Ed25519 verification with any key: input = 32-byte key + 64-byte signature + message.
#include "auth/ed25519/ed25519.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 96)
        return 0;
    // Copies, so that AddressSanitizer sees every read past the exact extent.
    const std::vector<std::uint8_t> key(data, data + 32);
    const std::vector<std::uint8_t> signature(data + 32, data + 96);
    const std::vector<std::uint8_t> message(data + 96, data + size);
    const int result = ed25519_verify(signature.data(), message.data(), message.size(), key.data());
    tavrel::fuzz::require(result == 0 || result == 1, "ed25519_verify returned neither 0 nor 1");
    return 0;
}
