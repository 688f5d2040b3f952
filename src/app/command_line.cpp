#include "app/command_line.h"

#include <stdexcept>
#include <string>

namespace tavrel {

namespace {

bool is_space(platform::native_text::value_type c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// wcstoul/wcstoull: white space, sign, decimal digits; overflow saturates and is reported.
std::uint64_t parse_unsigned(const platform::native_text& text, std::size_t& consumed,
                             std::uint64_t max, const char* name) {
    std::size_t i = 0;
    while (i < text.size() && is_space(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    const std::size_t digits_start = i;
    std::uint64_t value = 0;
    bool overflow = false;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const std::uint64_t digit = static_cast<std::uint64_t>(text[i] - '0');
        if (value > (max - digit) / 10)
            overflow = true;
        else
            value = value * 10 + digit;
    }
    if (i == digits_start)
        throw std::invalid_argument(std::string("invalid ") + name + " argument");
    if (overflow)
        throw std::out_of_range(std::string(name) + " argument out of range");
    consumed = i;
    return negative ? (0 - value) & max : value;
}

} // namespace

std::uint32_t parse_stoul(const platform::native_text& text, std::size_t& consumed) {
    return static_cast<std::uint32_t>(parse_unsigned(text, consumed, 0xFFFFFFFFu, "stoul"));
}

std::uint64_t parse_stoull(const platform::native_text& text, std::size_t& consumed) {
    return parse_unsigned(text, consumed, UINT64_MAX, "stoull");
}

bool is_signature_argument(const platform::native_text& text) {
    if (text.size() != 88)
        return false;
    for (const auto c : text) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                        (c >= '0' && c <= '9') || c == '+' || c == '/' || c == '=';
        if (!ok)
            return false;
    }
    return true;
}

} // namespace tavrel
