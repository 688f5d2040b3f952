// The case folding of file names: the rules that refuse two package paths naming one file on a
// case-insensitive file system (NTFS) compare folded forms.
#pragma once

#include <string>
#include <string_view>

namespace tavrel {

// Unicode simple case folding (CaseFolding.txt, status C and S) of the code points of the
// Basic Multilingual Plane; every other value is returned unchanged. NTFS compares names
// through its upcase table one UTF-16 code unit at a time, so a character beyond the BMP
// (a surrogate pair there) never matches another case of itself: Deseret U+10400 and U+10428
// are two names there.
//
// The upcase table is written into each volume when it is formatted and differs a little
// between Windows versions, so no fixed table matches every volume; simple folding is the
// Unicode definition of caseless equality and the nearest fixed rule. It merges more than an
// upcase table where uppercasing does not (U+1E9E folds to U+00DF, whose uppercase is itself):
// a tree is refused that Windows would hold, the safe side. Measured against Unicode's case
// mappings, it merges less only for dotless small i U+0131, which uppercases to I but does not
// fold to i (status T).
char32_t fold_code_point(char32_t code_point);

// `utf8` with every well-formed UTF-8 sequence replaced by the UTF-8 of its code point's fold
// (the number of code points stays, the number of bytes may change: U+212A KELVIN SIGN, three
// bytes, folds to "k"). A byte that begins no well-formed sequence (overlong forms, encoded
// surrogates, values beyond U+10FFFF, stray or missing continuation bytes) is copied unchanged
// and folding goes on after it, so any input folds, and folding a folded text changes nothing.
std::string fold_case(std::string_view utf8);

} // namespace tavrel
