// Tables of cases kept as data in tests/data/cases/NAME.tsv: one case a line, its fields
// separated by tabs, with the escapes \t \n \r \\ \0 and \xHH; blank lines and lines that begin
// with '#' are comments.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace tavrel::test {

using case_row = std::vector<std::string>;
std::vector<case_row> read_cases(const std::string& name);

// The fields of `text` between separators: none for "", an empty last one after a final separator.
std::vector<std::string> split(const std::string& text, char separator);

// `text` with each placeholder (such as "{app}") replaced by its value.
using placeholders = std::vector<std::pair<std::string, std::string>>;
std::string expand(std::string text, const placeholders& values);

} // namespace tavrel::test
