// Portable readers of the 52-byte VS_FIXEDFILEINFO record of an executable image: from the
// RT_VERSION resource of a PE file, or from the "Tavrel" version note of an ELF file (the
// Linux demo application carries its file version that way).
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <span>
#include <vector>

namespace platform {

inline constexpr std::uint32_t elf_version_note_type = 0x56534649; // "VSFI"
inline constexpr char elf_version_note_name[] = "Tavrel";

version_info_result fixed_file_info_from_image(std::span<const std::uint8_t> image,
                                               std::vector<std::uint8_t>& block);
// Where that record lies in the image (valid only for the ok result), for tools that rewrite it.
version_info_result fixed_file_info_offset(std::span<const std::uint8_t> image,
                                           std::uint64_t& offset);

} // namespace platform
