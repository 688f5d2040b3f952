#include "staging/package_path.h"

#include "common/case_fold.h"
#include "common/text.h"
#include "staging/stage_update.h"

#include <array>

namespace tavrel {

namespace {

bool is_forbidden_byte(unsigned char byte) {
    if (byte < 0x20)
        return true;
    switch (byte) {
    case '"':
    case '*':
    case '<':
    case '>':
    case '?':
    case '|':
        return true;
    default:
        return false;
    }
}

// Device names that Windows resolves in any directory and with any extension.
bool is_reserved_stem(std::string_view stem) {
    static constexpr std::array<std::string_view, 6> reserved = {"con", "prn",    "aux",
                                                                 "nul", "conin$", "conout$"};
    for (const auto name : reserved)
        if (stem == name)
            return true;
    if (!stem.starts_with("com") && !stem.starts_with("lpt"))
        return false;
    const std::string_view rest = stem.substr(3);
    // Windows also maps the superscript digits one to three onto COM and LPT ports.
    if (rest == "\xC2\xB9" || rest == "\xC2\xB2" || rest == "\xC2\xB3")
        return true;
    return rest.size() == 1 && rest[0] >= '0' && rest[0] <= '9';
}

bool is_safe_component(std::string_view component, bool first) {
    if (component.empty() || component == "." || component == "..")
        return false;
    if (component.back() == ' ' || component.back() == '.')
        return false;
    for (const char c : component)
        if (is_forbidden_byte(static_cast<unsigned char>(c)))
            return false;
    const std::string folded = to_ascii_lower(std::string(component));
    if (first && folded.starts_with(staging_directory_prefix))
        return false;
    // Windows ignores blanks at the end of the stem: "nul .txt" opens the device too.
    std::string_view stem = std::string_view(folded).substr(0, folded.find('.'));
    while (!stem.empty() && stem.back() == ' ')
        stem.remove_suffix(1);
    return !is_reserved_stem(stem);
}

} // namespace

bool is_safe_package_path(std::string_view package_path) {
    if (package_path.empty() || package_path.front() == '/' || !is_valid_utf8(package_path))
        return false;
    if (package_path.find_first_of(std::string_view("\\:\0", 3)) != std::string_view::npos)
        return false;
    std::size_t position = 0;
    for (;;) {
        const std::size_t slash = package_path.find('/', position);
        const std::string_view component = package_path.substr(
            position, slash == std::string_view::npos ? slash : slash - position);
        if (!is_safe_component(component, position == 0))
            return false;
        if (slash == std::string_view::npos)
            return true;
        position = slash + 1;
        // One trailing separator marks a directory entry; nothing follows it.
        if (position == package_path.size())
            return true;
    }
}

std::string to_ascii_lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + ('a' - 'A'));
    return text;
}

std::string folded_path_key(std::string_view package_path) {
    return fold_case(package_path);
}

} // namespace tavrel
