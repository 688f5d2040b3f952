// The Windows build of the signing helpers has the Base64 encoder only: signing needs
// libsodium, which is not built for Windows, and the tests built here do not sign.
#include "support/signing.h"

#include <algorithm>

namespace tavrel::test {

std::string encode_base64(std::span<const std::uint8_t> bytes) {
    static constexpr char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (std::size_t at = 0; at < bytes.size(); at += 3) {
        const std::size_t count = std::min<std::size_t>(3, bytes.size() - at);
        std::uint32_t group = std::uint32_t{bytes[at]} << 16;
        if (count > 1)
            group |= std::uint32_t{bytes[at + 1]} << 8;
        if (count > 2)
            group |= bytes[at + 2];
        text += alphabet[group >> 18 & 63];
        text += alphabet[group >> 12 & 63];
        text += count > 1 ? alphabet[group >> 6 & 63] : '=';
        text += count > 2 ? alphabet[group & 63] : '=';
    }
    return text;
}

} // namespace tavrel::test
