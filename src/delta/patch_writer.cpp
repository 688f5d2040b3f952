#include "delta/patch_writer.h"

#include "delta/patch_format.h"
#include "delta/suffix_array.h"

#include <lzma.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace tavrel {

namespace {

using bytes = std::span<const std::uint8_t>;

void append_varint(std::string& out, std::uint64_t value) {
    do {
        const auto low = static_cast<char>(value & 0x7F);
        value >>= 7;
        out.push_back(static_cast<char>(low | (value ? 0x80 : 0)));
    } while (value);
}

struct match {
    std::int64_t position = 0;
    std::int64_t length = 0;
};

std::int64_t common_length(bytes a, bytes b) {
    const std::size_t limit = std::min(a.size(), b.size());
    std::size_t i = 0;
    while (i < limit && a[i] == b[i])
        ++i;
    return static_cast<std::int64_t>(i);
}

// The longest prefix of `target` found in the base: it starts at one of the two suffixes
// between which `target` sorts.
match longest_match(const std::vector<std::int32_t>& sa, bytes base, bytes target) {
    std::size_t low = 0;
    std::size_t high = sa.size();
    while (low < high) {
        const std::size_t middle = low + (high - low) / 2;
        const bytes suffix = base.subspan(static_cast<std::size_t>(sa[middle]));
        const std::size_t n = std::min(suffix.size(), target.size());
        const int order = n ? std::memcmp(suffix.data(), target.data(), n) : 0;
        if (order < 0 || (order == 0 && suffix.size() < target.size()))
            low = middle + 1;
        else
            high = middle;
    }
    match best;
    for (const std::size_t i : {low, low - 1}) {
        if (i >= sa.size()) // also low - 1 when low is 0
            continue;
        const std::int64_t length =
            common_length(base.subspan(static_cast<std::size_t>(sa[i])), target);
        if (length > best.length)
            best = {sa[i], length};
    }
    return best;
}

struct streams {
    std::string control;
    std::string diff;
    std::string extra;
    std::int64_t base_position = 0; // where the reader's base position stands
};

// One instruction: the result's bytes from `scan` against the base from `position` for `copy`
// bytes, then the result's bytes up to `extra_end` as they are. One that would make nothing is
// left out: the next seek starts from where the reader stands anyway.
void emit(streams& out, bytes base, bytes result, std::int64_t scan, std::int64_t position,
          std::int64_t copy, std::int64_t extra_end) {
    if (copy == 0 && extra_end == scan)
        return;
    append_varint(out.control, patch_format::zigzag(position - out.base_position));
    append_varint(out.control, static_cast<std::uint64_t>(copy));
    append_varint(out.control, static_cast<std::uint64_t>(extra_end - scan - copy));
    for (std::int64_t i = 0; i < copy; ++i)
        out.diff.push_back(static_cast<char>(result[scan + i] - base[position + i]));
    out.extra.append(reinterpret_cast<const char*>(result.data() + scan + copy),
                     static_cast<std::size_t>(extra_end - scan - copy));
    out.base_position = position + copy;
}

// The differences, in the way of approximate matches: a stretch of the result is taken against
// the base where more than half of its bytes agree at one offset; the byte differences there
// are mostly zeros (and compress to little), and the rest goes as extra bytes.
streams find_differences(bytes base, bytes result) {
    const std::vector<std::int32_t> sa = build_suffix_array(base);
    const auto base_size = static_cast<std::int64_t>(base.size());
    const auto result_size = static_cast<std::int64_t>(result.size());
    const auto agrees = [&](std::int64_t at, std::int64_t offset) {
        const std::int64_t b = at + offset;
        return b >= 0 && b < base_size && base[b] == result[at];
    };
    streams out;
    std::int64_t scan = 0, length = 0, position = 0;
    std::int64_t last_scan = 0, last_position = 0, last_offset = 0;
    while (scan < result_size) {
        // Look for a match that the current offset does not already explain.
        std::int64_t old_score = 0;
        std::int64_t scored = scan += length;
        for (; scan < result_size; ++scan) {
            const match m = longest_match(sa, base, result.subspan(scan));
            position = m.position;
            length = m.length;
            for (; scored < scan + length; ++scored)
                old_score += agrees(scored, last_offset);
            if ((length == old_score && length != 0) || length > old_score + 8)
                break;
            old_score -= agrees(scan, last_offset);
        }
        if (length == old_score && scan != result_size)
            continue;
        // The stretch after the last match that still agrees with its offset more than not...
        std::int64_t forward = 0;
        for (std::int64_t i = 0, score = 0, best = 0;
             last_scan + i < scan && last_position + i < base_size; ++i) {
            score += base[last_position + i] == result[last_scan + i];
            if (score * 2 - (i + 1) > best * 2 - forward) {
                best = score;
                forward = i + 1;
            }
        }
        // ... and the stretch before the new match that agrees with the new one.
        std::int64_t backward = 0;
        if (scan < result_size) {
            for (std::int64_t i = 1, score = 0, best = 0; scan >= last_scan + i && position >= i;
                 ++i) {
                score += base[position - i] == result[scan - i];
                if (score * 2 - i > best * 2 - backward) {
                    best = score;
                    backward = i;
                }
            }
        }
        // Where the two overlap, the split that keeps the most agreeing bytes.
        if (last_scan + forward > scan - backward) {
            const std::int64_t overlap = last_scan + forward - (scan - backward);
            std::int64_t score = 0, best = 0, split = 0;
            for (std::int64_t i = 0; i < overlap; ++i) {
                score += result[last_scan + forward - overlap + i] ==
                         base[last_position + forward - overlap + i];
                score -= result[scan - backward + i] == base[position - backward + i];
                if (score > best) {
                    best = score;
                    split = i + 1;
                }
            }
            forward += split - overlap;
            backward -= split;
        }
        emit(out, base, result, last_scan, last_position, forward, scan - backward);
        last_scan = scan - backward;
        last_position = position - backward;
        last_offset = position - scan;
    }
    return out;
}

// Raw LZMA2 at its strongest with the format's dictionary, or the bytes as they are when that
// is not smaller.
void append_stream(std::string& patch, const std::string& raw) {
    lzma_options_lzma options{};
    if (lzma_lzma_preset(&options, 9 | LZMA_PRESET_EXTREME))
        throw std::logic_error("LZMA preset");
    // No larger than the stream needs (the encoder's tables grow with it); the reader's is
    // always the format's, which holds any smaller one.
    options.dict_size = LZMA_DICT_SIZE_MIN;
    while (options.dict_size < raw.size() && options.dict_size < patch_format::lzma2_dictionary)
        options.dict_size *= 2;
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    std::string packed(raw.size() + raw.size() / 16 + 4096, '\0');
    std::size_t packed_size = 0;
    const lzma_ret code = lzma_raw_buffer_encode(
        filters, nullptr, reinterpret_cast<const std::uint8_t*>(raw.data()), raw.size(),
        reinterpret_cast<std::uint8_t*>(packed.data()), &packed_size, packed.size());
    if (code != LZMA_OK)
        throw std::runtime_error("A patch stream could not be compressed.");
    packed.resize(packed_size);
    const bool stored = packed.size() >= raw.size();
    patch.push_back(
        static_cast<char>(stored ? patch_format::codec_stored : patch_format::codec_lzma2));
    append_varint(patch, raw.size());
    const std::string& body = stored ? raw : packed;
    append_varint(patch, body.size());
    patch += body;
}

} // namespace

std::string make_patch(std::span<const std::uint8_t> base, std::span<const std::uint8_t> result) {
    if (result.size() >= 0x7FFFFFFF)
        throw std::length_error("A file of 2 GiB or more cannot be patched.");
    const streams s = find_differences(base, result);
    std::string patch(patch_format::magic);
    append_varint(patch, result.size());
    append_stream(patch, s.control);
    append_stream(patch, s.diff);
    append_stream(patch, s.extra);
    return patch;
}

} // namespace tavrel
