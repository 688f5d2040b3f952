#include "delta/suffix_array.h"

#include <algorithm>
#include <stdexcept>

namespace tavrel {

namespace {

// Induced sorting of the suffixes of `text` (symbols below `alphabet`) into `sa`, with an
// implicit end marker smaller than every symbol. Recurses on the string of LMS-substring names,
// which it keeps in the upper half of `sa` (there are at most n / 2 LMS positions).
template <typename Symbol>
void induced_sort(const Symbol* text, std::int32_t* sa, std::int32_t n, std::int32_t alphabet) {
    if (n == 0)
        return;
    if (n == 1) {
        sa[0] = 0;
        return;
    }
    // S-type: smaller than the suffix after it. The last suffix is L-type (the end marker is
    // smaller).
    std::vector<bool> s_type(static_cast<std::size_t>(n));
    for (std::int32_t i = n - 2; i >= 0; --i)
        s_type[i] = text[i] < text[i + 1] || (text[i] == text[i + 1] && s_type[i + 1]);
    const auto is_lms = [&](std::int32_t i) { return i > 0 && s_type[i] && !s_type[i - 1]; };

    std::vector<std::int32_t> counts(static_cast<std::size_t>(alphabet), 0);
    for (std::int32_t i = 0; i < n; ++i)
        ++counts[text[i]];
    std::vector<std::int32_t> bucket(counts.size());
    const auto bucket_heads = [&] {
        std::int32_t sum = 0;
        for (std::size_t c = 0; c < counts.size(); ++c) {
            bucket[c] = sum;
            sum += counts[c];
        }
    };
    const auto bucket_ends = [&] {
        std::int32_t sum = 0;
        for (std::size_t c = 0; c < counts.size(); ++c) {
            sum += counts[c];
            bucket[c] = sum;
        }
    };
    // From LMS suffixes placed at their buckets' ends, the L-type suffixes left to right, then
    // the S-type ones right to left.
    const auto induce = [&] {
        bucket_heads();
        sa[bucket[text[n - 1]]++] = n - 1; // follows the end marker
        for (std::int32_t i = 0; i < n; ++i) {
            const std::int32_t j = sa[i] - 1;
            if (sa[i] > 0 && !s_type[j])
                sa[bucket[text[j]]++] = j;
        }
        bucket_ends();
        for (std::int32_t i = n - 1; i >= 0; --i) {
            const std::int32_t j = sa[i] - 1;
            if (sa[i] > 0 && s_type[j])
                sa[--bucket[text[j]]] = j;
        }
    };

    // 1. Sort the LMS substrings.
    std::fill(sa, sa + n, -1);
    bucket_ends();
    for (std::int32_t i = 1; i < n; ++i)
        if (is_lms(i))
            sa[--bucket[text[i]]] = i;
    induce();

    // 2. Name them: equal substrings (same symbols, same types, up to the next LMS position)
    // share a name. Names go to sa[m + pos / 2], then are gathered at the top in text order.
    std::int32_t m = 0;
    for (std::int32_t i = 0; i < n; ++i)
        if (is_lms(sa[i]))
            sa[m++] = sa[i];
    std::fill(sa + m, sa + n, -1);
    std::int32_t names = 0;
    std::int32_t previous = -1;
    for (std::int32_t i = 0; i < m; ++i) {
        const std::int32_t pos = sa[i];
        bool differs = previous < 0;
        for (std::int32_t d = 0; !differs; ++d) {
            if (pos + d == n || previous + d == n || text[pos + d] != text[previous + d] ||
                s_type[pos + d] != s_type[previous + d]) {
                differs = true;
            } else if (d > 0 && (is_lms(pos + d) || is_lms(previous + d))) {
                differs = !(is_lms(pos + d) && is_lms(previous + d));
                break;
            }
        }
        if (differs) {
            ++names;
            previous = pos;
        }
        sa[m + pos / 2] = names - 1;
    }
    for (std::int32_t i = n - 1, j = n - 1; i >= m; --i)
        if (sa[i] >= 0)
            sa[j--] = sa[i];

    // 3. Sort the LMS suffixes: directly when every name is unique, else by recursion.
    std::int32_t* reduced = sa + n - m;
    if (names < m) {
        induced_sort(reduced, sa, m, names);
    } else {
        for (std::int32_t i = 0; i < m; ++i)
            sa[reduced[i]] = i;
    }
    for (std::int32_t i = 1, j = 0; i < n; ++i)
        if (is_lms(i))
            reduced[j++] = i;
    for (std::int32_t i = 0; i < m; ++i)
        sa[i] = reduced[sa[i]];

    // 4. Place them at their buckets' ends in that order, and induce the rest.
    std::fill(sa + m, sa + n, -1);
    bucket_ends();
    for (std::int32_t i = m - 1; i >= 0; --i) {
        const std::int32_t j = sa[i];
        sa[i] = -1;
        sa[--bucket[text[j]]] = j;
    }
    induce();
}

} // namespace

std::vector<std::int32_t> build_suffix_array(std::span<const std::uint8_t> text) {
    if (text.size() >= 0x7FFFFFFF)
        throw std::length_error("A file of 2 GiB or more cannot be indexed for a delta.");
    const auto n = static_cast<std::int32_t>(text.size());
    std::vector<std::int32_t> sa(text.size());
    induced_sort(text.data(), sa.data(), n, 256);
    return sa;
}

} // namespace tavrel
