// Writes a patch that turns a base file into a result file: the publisher's side of a delta.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace tavrel {

// Finds, by a suffix array of the base, stretches of the result that repeat the base with few
// changed bytes (moved code keeps most of its bytes), and stores the byte differences, the new
// bytes and the instructions as three compressed streams. Memory: about 6 bytes a base byte.
std::string make_patch(std::span<const std::uint8_t> base, std::span<const std::uint8_t> result);

} // namespace tavrel
