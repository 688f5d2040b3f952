// The delta description ".tavrel-delta.txt" at the root of a delta package: the base version
// it applies to, and for every file of the new version how the package brings it. UTF-8, one
// line a file, "\n" line ends, the path last so that it may hold spaces:
//
//   tavrel-delta 1
//   base 2.0.3
//   whole <path>                              the file is in the archive, as in a full package
//   patched <base SHA-512> <result SHA-512> <path>   the archive's entry of that path is a
//                                             patch from the installed file to the new one
//   patched-from <base SHA-512> <result SHA-512> <path>\t<base path>   as patched, from the
//                                             installed file at another path (a renamed file)
//   kept <base SHA-512> <path>                the installed file stays as it is
//
// A tab cannot be part of a package path, so it separates the two paths of "patched-from".
// Hashes are 128 lowercase hexadecimal digits. Like the package file manifest it is reserved:
// never installed, never listed, never removed.
#pragma once

#include "auth/version.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tavrel {

inline constexpr char delta_description_name[] = ".tavrel-delta.txt";
inline constexpr std::size_t max_delta_description_size = 16u << 20;

using sha512_digest = std::array<std::uint8_t, 64>;

enum class delta_kind { whole, patched, kept };

struct delta_file {
    delta_kind kind = delta_kind::whole;
    std::string path;       // a package path, UTF-8 with "/" separators
    sha512_digest base{};   // patched and kept
    sha512_digest result{}; // patched
    std::string base_path;  // patched: the installed file the patch applies to, when not `path`
};

struct delta_description {
    app_version base;
    std::vector<delta_file> files;
};

// The installed file that a patched or kept file's base hash is of.
inline const std::string& delta_base_path(const delta_file& file) {
    return file.base_path.empty() ? file.path : file.base_path;
}

// Raises "The update's delta description is invalid." for anything but the layout above with
// safe package paths, each once (folded as Windows compares names), none of them reserved.
delta_description parse_delta_description(std::string_view text);
std::string write_delta_description(const delta_description& description);

} // namespace tavrel
