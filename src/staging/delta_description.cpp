#include "staging/delta_description.h"

#include "common/text.h"
#include "staging/package_manifest.h"
#include "staging/package_path.h"

#include <set>
#include <stdexcept>

namespace tavrel {

namespace {

constexpr char header[] = "tavrel-delta 1";

[[noreturn]] void invalid() {
    throw std::runtime_error("The update's delta description is invalid.");
}

// The next space-separated field of `line`, which it leaves after the space.
std::string_view field(std::string_view& line) {
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos || space == 0)
        invalid();
    const std::string_view value = line.substr(0, space);
    line.remove_prefix(space + 1);
    return value;
}

sha512_digest parse_digest(std::string_view hex) {
    constexpr std::string_view digits = "0123456789abcdef";
    sha512_digest digest{};
    if (hex.size() != 2 * digest.size())
        invalid();
    for (std::size_t i = 0; i < hex.size(); ++i) {
        const std::size_t value = digits.find(hex[i]);
        if (value == std::string_view::npos)
            invalid();
        digest[i / 2] = static_cast<std::uint8_t>(digest[i / 2] << 4 | value);
    }
    return digest;
}

void append_digest(std::string& out, const sha512_digest& digest) {
    constexpr char digits[] = "0123456789abcdef";
    for (const std::uint8_t b : digest) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
}

// "A.B.C", each part a number of 1 to 5 digits without leading zeros, at most 65535.
app_version parse_base(std::string_view text) {
    std::uint32_t parts[3] = {};
    for (int i = 0; i < 3; ++i) {
        const std::size_t dot = i < 2 ? text.find('.') : text.size();
        const std::string_view digits = text.substr(0, dot);
        if (dot == std::string_view::npos || digits.empty() || digits.size() > 5 ||
            (digits.size() > 1 && digits[0] == '0'))
            invalid();
        for (const char c : digits) {
            if (c < '0' || c > '9')
                invalid();
            parts[i] = parts[i] * 10 + static_cast<std::uint32_t>(c - '0');
        }
        if (parts[i] > 65535)
            invalid();
        text.remove_prefix(i < 2 ? dot + 1 : dot);
    }
    return {parts[0], parts[1], parts[2]};
}

} // namespace

delta_description parse_delta_description(std::string_view text) {
    if (text.size() > max_delta_description_size || text.empty() || text.back() != '\n')
        invalid();
    delta_description description;
    std::set<std::string> keys;
    std::size_t line_number = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end + 1);
        if (line_number++ == 0) {
            if (line != header)
                invalid();
            continue;
        }
        if (line_number == 2) {
            if (!line.starts_with("base "))
                invalid();
            description.base = parse_base(line.substr(5));
            continue;
        }
        delta_file file;
        const std::string_view kind = field(line);
        if (kind == "whole") {
            file.kind = delta_kind::whole;
        } else if (kind == "patched") {
            file.kind = delta_kind::patched;
            file.base = parse_digest(field(line));
            file.result = parse_digest(field(line));
        } else if (kind == "patched-from") {
            file.kind = delta_kind::patched;
            file.base = parse_digest(field(line));
            file.result = parse_digest(field(line));
            const std::size_t tab = line.find('\t');
            if (tab == std::string_view::npos)
                invalid();
            file.base_path = std::string(line.substr(tab + 1));
            line = line.substr(0, tab);
            if (!is_valid_utf8(file.base_path) || !is_safe_package_path(file.base_path) ||
                is_reserved_key(folded_path_key(file.base_path)) ||
                folded_path_key(file.base_path) == folded_path_key(std::string(line)))
                invalid();
        } else if (kind == "kept") {
            file.kind = delta_kind::kept;
            file.base = parse_digest(field(line));
        } else {
            invalid();
        }
        file.path = std::string(line);
        if (!is_valid_utf8(file.path) || !is_safe_package_path(file.path) ||
            is_reserved_key(folded_path_key(file.path)) ||
            !keys.insert(folded_path_key(file.path)).second)
            invalid();
        description.files.push_back(std::move(file));
    }
    if (line_number < 2 || description.files.empty())
        invalid();
    return description;
}

std::string write_delta_description(const delta_description& description) {
    std::string out = header;
    out += "\nbase " + std::to_string(description.base.major) + "." +
           std::to_string(description.base.minor) + "." + std::to_string(description.base.patch) +
           "\n";
    for (const delta_file& file : description.files) {
        switch (file.kind) {
        case delta_kind::whole:
            out += "whole ";
            break;
        case delta_kind::patched:
            out += file.base_path.empty() ? "patched " : "patched-from ";
            append_digest(out, file.base);
            out += ' ';
            append_digest(out, file.result);
            out += ' ';
            break;
        case delta_kind::kept:
            out += "kept ";
            append_digest(out, file.base);
            out += ' ';
            break;
        }
        out += file.path;
        if (file.kind == delta_kind::patched && !file.base_path.empty())
            out += "\t" + file.base_path;
        out += "\n";
    }
    return out;
}

} // namespace tavrel
