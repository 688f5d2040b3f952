// The package path rule: a path it accepts can be put below the installation without leaving
// it, and the verdict does not depend on the case of ASCII letters.
#include "fuzz_support.h"
#include "staging/package_path.h"

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
