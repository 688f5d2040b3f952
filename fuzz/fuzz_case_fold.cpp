// The case folding of file names: folding is idempotent; a valid name stays valid, keeps its
// number of UTF-16 units (what NTFS compares) and has each unit folded on its own, the BMP only;
// any other input folds without fault.
#include "common/case_fold.h"
#include "common/text.h"
#include "fuzz_support.h"

using tavrel::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = tavrel::fuzz::as_text(data, size);
    const std::string folded = tavrel::fold_case(text);
    require(tavrel::fold_case(folded) == folded, "folding a folded name changed it");
    std::u16string units;
    try {
        units = tavrel::utf8_to_utf16(text);
    } catch (const tavrel::conversion_error&) {
        tavrel::fuzz::report("not UTF-8");
        return 0;
    }
    std::u16string folded_units;
    try {
        folded_units = tavrel::utf8_to_utf16(folded);
    } catch (const tavrel::conversion_error&) {
        require(false, "the fold of a valid name is not valid UTF-8");
    }
    require(folded_units.size() == units.size(), "folding changed the number of UTF-16 units");
    for (std::size_t i = 0; i < units.size(); ++i) {
        const char16_t unit = units[i];
        const bool surrogate = unit >= 0xD800 && unit <= 0xDFFF;
        require(folded_units[i] == (surrogate ? unit : tavrel::fold_code_point(unit)),
                surrogate ? "a character beyond the BMP changed" : "a unit folded otherwise");
    }
    tavrel::fuzz::report("folded");
    return 0;
}
