// Portable readers of the 52-byte VS_FIXEDFILEINFO record of an executable image: from the
// version resource of a PE file, chosen as Windows chooses it (type RT_VERSION, ID 1, every
// language of it agreeing), or from the "Tavrel" version note of an ELF file (the Linux demo
// application carries its file version that way).
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace platform {

inline constexpr std::uint32_t elf_version_note_type = 0x56534649; // "VSFI"
inline constexpr char elf_version_note_name[] = "Tavrel";

// What the reader found. PE languages of version resource ID 1 that disagree on the signature
// or the file version make the result invalid: Windows reads one of them, which one depends on
// the machine's language settings.
struct version_record {
    version_info_result result = version_info_result::unreadable;
    // ok only: where the 52-byte records lie, one per language of ID 1 (PE) or the note (ELF);
    // the first is the one read, and a tool that rewrites the version rewrites all of them.
    std::vector<std::uint64_t> offsets;
    // Not ok: why, in a publisher's terms (the updater shows its own messages instead).
    std::string problem;
};
version_record find_version_record(std::span<const std::uint8_t> image);

version_info_result fixed_file_info_from_image(std::span<const std::uint8_t> image,
                                               std::vector<std::uint8_t>& block);
// Where the record read lies in the image (valid only for the ok result).
version_info_result fixed_file_info_offset(std::span<const std::uint8_t> image,
                                           std::uint64_t& offset);

} // namespace platform
