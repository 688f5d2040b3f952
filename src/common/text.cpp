#include "common/text.h"

#include <limits>

namespace tavrel {

namespace {

constexpr std::size_t max_conversion_units = std::size_t{1} << 31;
constexpr int invalid_argument_code = 22;

} // namespace

conversion_error::conversion_error(int code)
    : std::runtime_error(platform::error_description(code)), code_(code) {}

std::size_t decode_utf8(std::string_view text, char32_t& code_point) {
    if (text.empty())
        return 0;
    const auto b0 = static_cast<unsigned char>(text[0]);
    if (b0 < 0x80) {
        code_point = b0;
        return 1;
    }
    std::size_t length;
    char32_t cp;
    char32_t min;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2, cp = b0 & 0x1F, min = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3, cp = b0 & 0x0F, min = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4, cp = b0 & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (text.size() < length)
        return 0;
    for (std::size_t k = 1; k < length; ++k) {
        const auto b = static_cast<unsigned char>(text[k]);
        if ((b & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    code_point = cp;
    return length;
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

namespace {

// The code point of the well-formed UTF-8 sequence at text[i], and its length in bytes; false
// for a byte that begins none.
bool decode_sequence(std::string_view text, std::size_t i, char32_t& cp, std::size_t& length) {
    length = decode_utf8(text.substr(i), cp);
    return length != 0;
}

void append_utf16(std::u16string& out, char32_t cp) {
    if (cp >= 0x10000) {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
        out.push_back(static_cast<char16_t>(cp));
    }
}

} // namespace

std::u16string utf8_to_utf16(std::string_view text) {
    if (text.size() >= max_conversion_units)
        throw conversion_error(invalid_argument_code);
    std::u16string out;
    out.reserve(text.size());
    for (std::size_t i = 0, length = 0; i < text.size(); i += length) {
        char32_t cp = 0;
        if (!decode_sequence(text, i, cp, length))
            throw conversion_error(platform::unicode_translation_error());
        append_utf16(out, cp);
    }
    return out;
}

bool is_valid_utf8(std::string_view text) {
    char32_t cp = 0;
    for (std::size_t i = 0, length = 0; i < text.size(); i += length)
        if (!decode_sequence(text, i, cp, length))
            return false;
    return true;
}

std::string utf16_to_utf8(std::u16string_view text) {
    if (text.size() >= max_conversion_units)
        throw conversion_error(invalid_argument_code);
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF)
                throw conversion_error(platform::unicode_translation_error());
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            throw conversion_error(platform::unicode_translation_error());
        }
        append_utf8(out, cp);
    }
    return out;
}

std::u16string widen_message(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (std::size_t i = 0, length = 0; i < text.size(); i += length) {
        char32_t cp = 0;
        if (decode_sequence(text, i, cp, length)) {
            append_utf16(out, cp);
        } else {
            // A byte of no UTF-8 sequence, sign-extended: 0xE9 becomes 0xFFE9.
            out.push_back(static_cast<char16_t>(
                static_cast<std::int16_t>(static_cast<signed char>(text[i]))));
            length = 1;
        }
    }
    return out;
}

platform::native_text to_native(std::string_view ascii) {
    return platform::native_text(ascii.begin(), ascii.end());
}

std::string native_to_utf8(const platform::native_text& text) {
    if constexpr (sizeof(platform::native_text::value_type) == 1) {
        return std::string(text.begin(), text.end());
    } else {
        return utf16_to_utf8(std::u16string(text.begin(), text.end()));
    }
}

platform::native_text decimal_text(std::uint32_t value) {
    return to_native(std::to_string(value));
}

platform::native_text decimal_text(std::int64_t value) {
    return to_native(std::to_string(value));
}

} // namespace tavrel
