// The rule every relative path from outside the installation must pass, and its folding.
#pragma once

#include <string>
#include <string_view>

namespace tavrel {

bool is_safe_package_path(std::string_view package_path);
// Bytes "A" to "Z" lowered, every other byte (UTF-8 sequences included) unchanged.
std::string to_ascii_lower(std::string text);

} // namespace tavrel
