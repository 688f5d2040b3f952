// The rule every relative path from outside the installation must pass, and its folding.
#pragma once

#include <string>
#include <string_view>

namespace tavrel {

// Well-formed UTF-8 (no overlong forms, no surrogates) that Windows can hold as a relative path.
bool is_safe_package_path(std::string_view package_path);
// Bytes "A" to "Z" lowered, every other byte (UTF-8 sequences included) unchanged: the key of
// duplicates and of the manifest's list, as stored files and journals have always compared.
std::string to_ascii_lower(std::string text);
// The key under which a case-insensitive file system takes two names for one (Unicode simple
// case folding): paths whose folded keys are equal alias on Windows.
std::string folded_path_key(std::string_view package_path);

} // namespace tavrel
