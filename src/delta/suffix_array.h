// The suffix array of a base file: the delta writer's index for finding, at every position of
// the new file, the longest stretch of the base that it repeats.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tavrel {

// The starting positions of all suffixes of `text` in lexicographic order (a suffix that is a
// prefix of another sorts first). Linear time (induced sorting); besides the result, memory of
// about one bit a byte plus small tables. Texts must be shorter than 2 GiB.
std::vector<std::int32_t> build_suffix_array(std::span<const std::uint8_t> text);

} // namespace tavrel
