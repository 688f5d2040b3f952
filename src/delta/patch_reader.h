// Applies a patch to a base file. Patches arrive in signed packages but are read as hostile
// input: nothing is read or written outside the given buffers, and memory stays the result plus
// a constant (the streams are inflated piece by piece).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tavrel {

// The result size that a patch announces; throws when the header is malformed.
std::uint64_t patch_result_size(std::span<const std::uint8_t> patch);

// The result of applying `patch` to `base`, at most `max_result` bytes. Every malformed patch
// (bad header, sizes, codec, stream contents, instructions outside the base or the result,
// streams not used up exactly) throws "An update file failed decompression or CRC validation."
std::vector<std::uint8_t> apply_patch(std::span<const std::uint8_t> base,
                                      std::span<const std::uint8_t> patch,
                                      std::uint64_t max_result);

} // namespace tavrel
