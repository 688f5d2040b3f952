#include "auth/base64.h"

#include <algorithm>

#include <array>

namespace tavrel {

namespace {

constexpr std::size_t max_text_length = 128;
constexpr int not_alphabet = -1;

constexpr std::array<int, 256> make_values() {
    std::array<int, 256> values{};
    for (int& v : values)
        v = not_alphabet;
    constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i)
        values[static_cast<unsigned char>(alphabet[i])] = i;
    return values;
}

constexpr std::array<int, 256> values = make_values();

int value_of(char c) {
    return values[static_cast<unsigned char>(c)];
}

} // namespace

bool decode_base64(std::string_view text, std::vector<std::uint8_t>& out) {
    out.clear();
    const std::size_t n = text.size();
    if (n == 0 || n > max_text_length || n % 4 != 0)
        return false;
    for (std::size_t at = 0; at < n; at += 4) {
        const bool last = at + 4 == n;
        const int v0 = value_of(text[at]);
        const int v1 = value_of(text[at + 1]);
        if (v0 == not_alphabet || v1 == not_alphabet)
            return false;
        // Padding must carry no bits: otherwise two different texts would name the same bytes.
        if (text[at + 2] == '=') {
            if (!last || text[at + 3] != '=' || (v1 & 0x0F) != 0)
                return false;
            out.push_back(static_cast<std::uint8_t>(v0 << 2 | v1 >> 4));
            continue;
        }
        const int v2 = value_of(text[at + 2]);
        if (v2 == not_alphabet)
            return false;
        const std::uint32_t bits = static_cast<std::uint32_t>(v0 << 18 | v1 << 12 | v2 << 6);
        if (text[at + 3] == '=') {
            if (!last || (v2 & 0x03) != 0)
                return false;
            out.push_back(static_cast<std::uint8_t>(bits >> 16));
            out.push_back(static_cast<std::uint8_t>(bits >> 8));
            continue;
        }
        const int v3 = value_of(text[at + 3]);
        if (v3 == not_alphabet)
            return false;
        const std::uint32_t group = bits | static_cast<std::uint32_t>(v3);
        out.push_back(static_cast<std::uint8_t>(group >> 16));
        out.push_back(static_cast<std::uint8_t>(group >> 8));
        out.push_back(static_cast<std::uint8_t>(group));
    }
    return true;
}

std::string encode_base64(std::span<const std::uint8_t> bytes) {
    static constexpr char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
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

} // namespace tavrel
