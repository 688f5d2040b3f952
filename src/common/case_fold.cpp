#include "common/case_fold.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>

namespace tavrel {
namespace {

struct fold_pair {
    std::uint16_t from;
    std::uint16_t to;
};

// Generated at build time from CaseFolding.txt (cmake/case_fold_table.cmake): about 1,200 rows
// of four bytes, looked up by binary search.
constexpr fold_pair fold_pairs[] = {
#include "case_fold_table.inc"
};

consteval bool strictly_ascending() {
    for (std::size_t i = 1; i < std::size(fold_pairs); ++i)
        if (fold_pairs[i - 1].from >= fold_pairs[i].from)
            return false;
    return true;
}
static_assert(strictly_ascending(), "binary search needs the table in ascending order");

bool continuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// The length of the well-formed UTF-8 sequence at the start of `text` (Unicode's table of
// well-formed byte sequences) and its code point; 0 if none begins there.
std::size_t decode(std::string_view text, char32_t& code_point) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length;
    unsigned char low = 0x80, high = 0xBF; // the range of the second byte
    if (lead < 0x80) {
        code_point = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code_point = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code_point = lead & 0x0F;
        if (lead == 0xE0)
            low = 0xA0; // overlong below
        else if (lead == 0xED)
            high = 0x9F; // surrogates above
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code_point = lead & 0x07;
        if (lead == 0xF0)
            low = 0x90; // overlong below
        else if (lead == 0xF4)
            high = 0x8F; // beyond U+10FFFF above
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high)
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if (!continuation(byte(i)))
            return 0;
        code_point = (code_point << 6) | (byte(i) & 0x3F);
    }
    return length;
}

void encode(char32_t code_point, std::string& out) {
    if (code_point < 0x80) {
        out += static_cast<char>(code_point);
    } else if (code_point < 0x800) {
        out += static_cast<char>(0xC0 | (code_point >> 6));
        out += static_cast<char>(0x80 | (code_point & 0x3F));
    } else if (code_point < 0x10000) {
        out += static_cast<char>(0xE0 | (code_point >> 12));
        out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code_point & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code_point >> 18));
        out += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code_point & 0x3F));
    }
}

} // namespace

char32_t fold_code_point(char32_t code_point) {
    if (code_point >= 0x10000)
        return code_point;
    const auto found =
        std::lower_bound(std::begin(fold_pairs), std::end(fold_pairs), code_point,
                         [](const fold_pair& pair, char32_t value) { return pair.from < value; });
    return found != std::end(fold_pairs) && found->from == code_point ? char32_t{found->to}
                                                                      : code_point;
}

std::string fold_case(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    while (!utf8.empty()) {
        const unsigned char lead = static_cast<unsigned char>(utf8.front());
        if (lead < 0x80) { // the common case, without the search
            out += static_cast<char>(lead >= 'A' && lead <= 'Z' ? lead + ('a' - 'A') : lead);
            utf8.remove_prefix(1);
            continue;
        }
        char32_t code_point = 0;
        const std::size_t length = decode(utf8, code_point);
        if (length == 0) {
            out += utf8.front();
            utf8.remove_prefix(1);
        } else {
            encode(fold_code_point(code_point), out);
            utf8.remove_prefix(length);
        }
    }
    return out;
}

} // namespace tavrel
