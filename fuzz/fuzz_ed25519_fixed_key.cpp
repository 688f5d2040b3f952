// Ed25519 verification under the test signing key: input = 64-byte signature + message.
#include "auth/base64.h"
#include "auth/ed25519/ed25519.h"
#include "fuzz_support.h"

namespace {

std::vector<std::uint8_t> test_public_key() {
    std::vector<std::uint8_t> key;
    tavrel::fuzz::require(tavrel::decode_base64(TAVREL_TEST_PUBLIC_KEY, key) && key.size() == 32,
                          "the test public key does not decode to 32 bytes");
    return key;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::vector<std::uint8_t> key = test_public_key();
    if (size < 64)
        return 0;
    // Copies, so that AddressSanitizer sees every read past the exact extent.
    const std::vector<std::uint8_t> signature(data, data + 64);
    const std::vector<std::uint8_t> message(data + 64, data + size);
    const int result = ed25519_verify(signature.data(), message.data(), message.size(), key.data());
    tavrel::fuzz::require(result == 0 || result == 1, "ed25519_verify returned neither 0 nor 1");
    return 0;
}
