// Ed25519 verification: input = 32-byte key + 64-byte signature + message. The signature is
// checked under the input's key and under the test key, whose valid points take every input
// through the whole verification; each answer must be 0 or 1.
#include "auth/base64.h"
#include "auth/ed25519/ed25519.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using tavrel::fuzz::require;
    static std::vector<std::uint8_t> test_key;
    static const bool decoded = tavrel::decode_base64(TAVREL_TEST_PUBLIC_KEY, test_key);
    require(decoded && test_key.size() == 32, "the test public key does not decode to 32 bytes");
    if (size < 96)
        return 0;
    // Copies, so that AddressSanitizer sees every read past the exact extent.
    std::vector<std::uint8_t> key(data, data + 32);
    const std::vector<std::uint8_t> signature(data + 32, data + 96);
    const std::vector<std::uint8_t> message(data + 96, data + size);
    for (const std::uint8_t* k : {key.data(), test_key.data()}) {
        const int result = ed25519_verify(signature.data(), message.data(), message.size(), k);
        require(result == 0 || result == 1, "ed25519_verify returned neither 0 nor 1");
    }
    return 0;
}
