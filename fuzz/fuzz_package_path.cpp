// The package path rule: a path it accepts names no device or staging directory and stays below
// any directory it is joined to, and the verdict does not depend on the case of ASCII letters.
#include "fuzz_support.h"
#include "staging/package_path.h"

#include <algorithm>

namespace {

using tavrel::fuzz::require;

// What Windows opens as a device, whatever the directory and extension: the stem before the
// first full stop, blanks at its end ignored, in any case.
bool names_a_device(std::string_view component) {
    std::string stem =
        tavrel::to_ascii_lower(std::string(component.substr(0, component.find('.'))));
    stem.erase(stem.find_last_not_of(' ') + 1);
    return std::string_view(
               "/con/prn/aux/nul/conin$/conout$/com0/com1/com2/com3/com4/com5/com6/"
               "com7/com8/com9/com\xC2\xB9/com\xC2\xB2/com\xC2\xB3/lpt0/lpt1/lpt2/"
               "lpt3/lpt4/lpt5/lpt6/lpt7/lpt8/lpt9/lpt\xC2\xB9/lpt\xC2\xB2/lpt\xC2\xB3/")
               .find("/" + stem + "/") != std::string_view::npos;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(tavrel::fuzz::as_text(data, size));
    std::string folded = text;
    for (char& c : folded)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    require(tavrel::to_ascii_lower(text) == folded, "folding changed other bytes than A to Z");
    const bool safe = tavrel::is_safe_package_path(text);
    require(safe == tavrel::is_safe_package_path(folded),
            "the verdict depends on the case of ASCII letters");
    if (!safe)
        return 0;
    require(!text.empty() && text.front() != '/', "the empty path or an absolute path is safe");
    require(text.find_first_of("\\:\"*<>?|") == std::string_view::npos,
            "a safe path holds a backslash, colon or a character that Windows forbids");
    require(std::ranges::all_of(text, [](unsigned char c) { return c >= 0x20; }),
            "a safe path holds a control byte");
    // Exactly one trailing "/" may close the path.
    const std::string_view body(text.data(), text.size() - (text.back() == '/'));
    for (std::size_t start = 0, slash = 0; slash != std::string_view::npos; start = slash + 1) {
        slash = body.find('/', start);
        const std::string_view component = body.substr(start, slash - start);
        require(!component.empty() && component != "." && component != "..",
                "a safe path has an empty or dot component");
        require(component.back() != '.' && component.back() != ' ',
                "a safe component ends in a full stop or space");
        require(!names_a_device(component), "a safe component names a device");
        require(start > 0 ||
                    !tavrel::to_ascii_lower(std::string(component)).starts_with(".tavrel-update-"),
                "a safe path names a staging directory");
    }
    // Lexically below the installation, and strictly inside it.
    const std::filesystem::path base = "/installation/app";
    const std::filesystem::path joined = (base / text).lexically_normal();
    const std::filesystem::path relative = joined.lexically_relative(base);
    require(!relative.empty() && *relative.begin() != ".." && *relative.begin() != ".",
            "a safe path leaves the directory it is joined to");
    return 0;
}
