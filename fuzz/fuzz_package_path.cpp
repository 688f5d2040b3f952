// The package path rule: a path it accepts can be put below the installation without leaving
// it, and the verdict does not depend on the case of ASCII letters.
#include "fuzz_support.h"
#include "staging/package_path.h"

#include <set>
#include <string>

namespace {

using tavrel::fuzz::require;

void check_folding(std::string_view text) {
    const std::string folded = tavrel::to_ascii_lower(std::string(text));
    require(folded.size() == text.size(), "folding changed the length");
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const char expected = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
        require(folded[i] == expected, "folding changed a byte other than A to Z");
    }
}

// What Windows opens as a device, whatever the directory and extension: the stem before the
// first full stop, blanks at its end ignored, in any case.
bool names_a_device(std::string_view component) {
    static const std::set<std::string> devices = [] {
        std::set<std::string> names = {"con", "prn", "aux", "nul", "conin$", "conout$"};
        for (const std::string port : {"com", "lpt"}) {
            for (char digit = '0'; digit <= '9'; ++digit)
                names.insert(port + digit);
            for (const char* superscript : {"\xC2\xB9", "\xC2\xB2", "\xC2\xB3"})
                names.insert(port + superscript);
        }
        return names;
    }();
    std::string stem =
        tavrel::to_ascii_lower(std::string(component.substr(0, component.find('.'))));
    stem.erase(stem.find_last_not_of(' ') + 1);
    return devices.contains(stem);
}

void check_safe(std::string_view text) {
    require(!text.empty(), "the empty path is safe");
    require(text.front() != '/', "an absolute path is safe");
    require(text.find_first_of(std::string_view("\\:\0", 3)) == std::string_view::npos,
            "a safe path holds a backslash, colon or NUL");
    // Components: exactly one trailing "/" may close the path.
    const std::string_view body = text.back() == '/' ? text.substr(0, text.size() - 1) : text;
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = body.find('/', start);
        const std::string_view component = body.substr(start, slash - start);
        require(!component.empty(), "a safe path has an empty component");
        require(component != "." && component != "..", "a safe path has a dot component");
        require(component.back() != '.' && component.back() != ' ',
                "a safe component ends in a full stop or space");
        require(!names_a_device(component), "a safe component names a device");
        for (const char c : component)
            require(static_cast<unsigned char>(c) >= 0x20, "a safe path holds a control byte");
        if (start == 0)
            require(!tavrel::to_ascii_lower(std::string(component)).starts_with(".tavrel-update-"),
                    "a safe path names a staging directory");
        if (slash == std::string_view::npos)
            break;
        start = slash + 1;
    }
    // Lexically below the installation, and strictly inside it.
    const std::filesystem::path base = "/installation/app";
    const std::filesystem::path joined = (base / std::string(text)).lexically_normal();
    const std::filesystem::path relative = joined.lexically_relative(base);
    require(!relative.empty() && *relative.begin() != ".." && *relative.begin() != ".",
            "a safe path leaves the directory it is joined to");
    auto b = base.begin();
    auto j = joined.begin();
    for (; b != base.end(); ++b, ++j)
        require(j != joined.end() && *b == *j, "a safe path does not stay below its directory");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = tavrel::fuzz::as_text(data, size);
    check_folding(text);
    const bool safe = tavrel::is_safe_package_path(text);
    require(safe == tavrel::is_safe_package_path(tavrel::to_ascii_lower(std::string(text))),
            "the verdict depends on the case of ASCII letters");
    if (safe)
        check_safe(text);
    return 0;
}
