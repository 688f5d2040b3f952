// Tables of cases kept as data in tests/data/cases/NAME.tsv: one case a line, its fields
// separated by tabs, with the escapes \t \n \r \\ \0 and \xHH; blank lines and lines that begin
// with '#' are comments.
#pragma once

#include <string>
#include <vector>

namespace tavrel::test {

using case_row = std::vector<std::string>;
std::vector<case_row> read_cases(const std::string& name);

} // namespace tavrel::test
