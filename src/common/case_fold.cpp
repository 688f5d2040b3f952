#include "common/case_fold.h"

#include "common/text.h"

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
        const std::size_t length = decode_utf8(utf8, code_point);
        if (length == 0) {
            out += utf8.front();
            utf8.remove_prefix(1);
        } else {
            append_utf8(out, fold_code_point(code_point));
            utf8.remove_prefix(length);
        }
    }
    return out;
}

} // namespace tavrel
