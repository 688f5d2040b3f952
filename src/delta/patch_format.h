// The layout of a patch, shared by its writer and its reader:
//
//   "TVDELTA1"                        8 bytes
//   result size                       varint (7 bits a byte, low first, at most 10 bytes)
//   3 streams: control, diff, extra   each: codec (1 byte), raw size, stored size (varints),
//                                     then the stored bytes
//
// Codecs: 0 stored, 1 raw LZMA2 with a 4 MiB dictionary (the reader's memory for it is fixed
// by the format, not by the patch). The control stream is a sequence of instructions, each
// three varints: seek (zigzag), copy, extra. An instruction moves the base position by seek
// (within the base), adds `copy` bytes of the diff stream to the base's bytes from there (mod
// 256), appends `extra` bytes of the extra stream, and leaves the base position after the
// copied bytes. The base position starts at 0; every instruction makes at least one byte, and
// every stream is used up exactly when the result is complete.
#pragma once

#include <cstdint>
#include <string_view>

namespace tavrel::patch_format {

inline constexpr std::string_view magic = "TVDELTA1";
inline constexpr std::uint8_t codec_stored = 0;
inline constexpr std::uint8_t codec_lzma2 = 1;
inline constexpr std::uint32_t lzma2_dictionary = 4u << 20;
inline constexpr int max_varint_bytes = 10;

inline std::uint64_t zigzag(std::int64_t value) {
    return (static_cast<std::uint64_t>(value) << 1) ^ static_cast<std::uint64_t>(value >> 63);
}
inline std::int64_t unzigzag(std::uint64_t value) {
    return static_cast<std::int64_t>(value >> 1) ^ -static_cast<std::int64_t>(value & 1);
}

} // namespace tavrel::patch_format
