#include "support/case_table.h"

#include "support/temp_tree.h"

#include <sstream>
#include <stdexcept>

namespace tavrel::test {

namespace {

std::string unescape(const std::string& field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '\\' || i + 1 == field.size()) {
            out += field[i];
            continue;
        }
        const char c = field[++i];
        if (c == 'x') {
            out += static_cast<char>(std::stoi(field.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c == '0' ? '\0' : c;
        }
    }
    return out;
}

} // namespace

std::vector<case_row> read_cases(const std::string& name) {
    std::istringstream lines(
        read_bytes(std::string(TAVREL_TESTDATA_DIR) + "/cases/" + name + ".tsv"));
    std::vector<case_row> rows;
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        case_row row;
        std::istringstream fields(line);
        for (std::string field; std::getline(fields, field, '\t');)
            row.push_back(unescape(field));
        if (line.back() == '\t')
            row.emplace_back();
        rows.push_back(row);
    }
    if (rows.empty())
        throw std::runtime_error("no cases in " + name);
    return rows;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> fields;
    for (std::size_t start = 0, end = 0; !text.empty() && end != std::string::npos; start = end + 1)
        fields.push_back(text.substr(start, (end = text.find(separator, start)) - start));
    return fields;
}

std::string expand(std::string text, const placeholders& values) {
    for (const auto& [key, value] : values)
        for (std::size_t at = 0; (at = text.find(key, at)) != std::string::npos; at += value.size())
            text.replace(at, key.size(), value);
    return text;
}

} // namespace tavrel::test
