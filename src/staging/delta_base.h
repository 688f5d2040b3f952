// The installation as the base of a delta package: whether it is the base the package was made
// for, and the patched files made from it.
#pragma once

#include "common/paths.h"
#include "staging/delta_description.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tavrel {

inline constexpr char delta_base_mismatch[] = "The update does not fit the installed version.";

// Raises delta_base_mismatch unless the installed Tavrel.exe has the base version and every
// patched or kept file is installed with its recorded hash; file-system errors other than a
// missing file raise their own errors.
void check_delta_base(const path& app_dir, const delta_description& description);

// The new file that `patch` makes from the installed one, at most `max_size` bytes, checked
// against its recorded hash: anything else raises "An update file failed decompression or CRC
// validation.".
std::vector<std::uint8_t> make_patched_file(const path& app_dir, const delta_file& file,
                                            std::span<const std::uint8_t> patch,
                                            std::uint64_t max_size);

sha512_digest sha512_of(std::span<const std::uint8_t> bytes);

// Whether the installation is the base of the delta package `archive` (its description read
// as the updater reads it): nothing when it is, else the updater's message for it.
std::optional<std::string> delta_base_refusal(const path& app_dir,
                                              std::span<const unsigned char> archive);

} // namespace tavrel
