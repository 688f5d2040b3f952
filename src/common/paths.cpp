#include "common/paths.h"

#include "common/text.h"

#include <vector>

namespace tavrel {

namespace {

std::string compose(std::string_view operation, int code) {
    std::string text(operation);
    text += ": ";
    text += platform::error_description(code);
    return text;
}

std::string quoted(const path& p) {
    return "\"" + path_display_text(p) + "\"";
}

} // namespace

file_system_error::file_system_error(std::string_view operation, int code, const path& first)
    : std::runtime_error(compose(operation, code) + ": " + quoted(first)), code_(code) {}

file_system_error::file_system_error(std::string_view operation, int code, const path& first,
                                     const path& second)
    : std::runtime_error(compose(operation, code) + ": " + quoted(first) + ", " + quoted(second)),
      code_(code) {}

std::string path_display_text(const path& p) {
    const auto& native = p.native();
    if constexpr (sizeof(path::value_type) == 1) {
        return std::string(native.begin(), native.end()); // also compiles for wide paths
    } else {
        std::u16string units(native.begin(), native.end());
        for (std::size_t i = 0; i < units.size(); ++i) {
            const bool high = units[i] >= 0xD800 && units[i] <= 0xDBFF;
            const bool low = units[i] >= 0xDC00 && units[i] <= 0xDFFF;
            if (high && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF)
                ++i;
            else if (high || low)
                units[i] = u'?';
        }
        return utf16_to_utf8(units);
    }
}

path path_from_utf8(std::string_view utf8) {
    const std::u16string wide = utf8_to_utf16(utf8); // validates on every platform
    if constexpr (sizeof(path::value_type) == 1)
        return path(std::string(utf8));
    else
        return path(path::string_type(wide.begin(), wide.end()));
}

std::string path_to_utf8(const path& p) {
    return native_to_utf8(p.native());
}

path canonical_path(const path& p) {
    if (p.empty())
        return {};
    path out;
    if (const int code = platform::canonical_path(p, out))
        throw file_system_error("canonical", code, p);
    return out;
}

path current_directory() {
    path out;
    if (const int code = platform::current_directory(out))
        throw file_system_error("current_path()", code, path());
    return out;
}

path join(const path& left, const path& right) {
    return left / right;
}

path parent_path(const path& p) {
    return p.parent_path();
}

path file_name(const path& p) {
    return p.filename();
}

bool path_exists(const path& p) {
    platform::file_status status;
    const int code = platform::query_status(p, true, status);
    if (code == 0)
        return status.kind != platform::file_kind::not_found;
    if (platform::is_not_found(code))
        return false;
    throw file_system_error("exists", code, p);
}

bool is_directory(const path& p) {
    platform::file_status status;
    const int code = platform::query_status(p, false, status);
    if (code != 0 && !platform::is_not_found(code))
        throw file_system_error("symlink_status", code, p);
    return code == 0 && status.kind == platform::file_kind::directory;
}

bool remove_path(const path& p) {
    const int code = platform::remove_entry(p);
    if (code == 0)
        return true;
    if (platform::is_not_found(code))
        return false;
    throw file_system_error("remove", code, p);
}

void rename_path(const path& from, const path& to) {
    if (const int code = platform::rename_replace(from, to))
        throw file_system_error("rename", code, from, to);
}

void create_directories(const path& p) {
    // The missing levels, deepest first. Whatever level fails, the error names `p`, the
    // directory that was asked for.
    std::vector<path> missing;
    for (path level = p; !level.empty(); level = level.parent_path()) {
        platform::file_status status;
        const int code = platform::query_status(level, true, status);
        if (code == 0 && status.kind == platform::file_kind::directory)
            break;
        if (code == 0 || !platform::is_not_found(code)) {
            // Something other than a directory stands there, or it cannot be inspected.
            throw file_system_error("create_directories",
                                    code == 0 ? platform::already_exists_error() : code, p);
        }
        missing.push_back(level);
        if (!level.has_relative_path())
            break; // a root that does not exist
    }
    for (auto level = missing.rbegin(); level != missing.rend(); ++level) {
        const int created = platform::create_directory(*level);
        if (created != 0 && !platform::is_already_exists(created))
            throw file_system_error("create_directories", created, p);
    }
}

int clear_for_file(const path& p) noexcept {
    try {
        platform::file_status status;
        if (const int code = platform::query_status(p, false, status))
            return platform::is_not_found(code) ? 0 : code;
        if (status.kind == platform::file_kind::directory) {
            std::vector<path> children;
            bool advancing = false;
            if (const int code = platform::list_directory(p, children, advancing))
                return code;
            for (const path& child : children) {
                platform::file_status child_status;
                const path full = join(p, child);
                if (const int code = platform::query_status(full, false, child_status))
                    return code;
                if (child_status.kind != platform::file_kind::directory)
                    return platform::directory_not_empty_error();
                if (const int code = clear_for_file(full))
                    return code;
            }
        }
        return platform::remove_entry(p);
    } catch (...) {
        return platform::directory_not_empty_error();
    }
}

int remove_all_quietly(const path& p) noexcept {
    try {
        return platform::remove_tree(p);
    } catch (...) {
        return -1;
    }
}

void remove_download_directory(const path& download_dir) noexcept {
    platform::set_current_directory(download_dir.parent_path());
    remove_all_quietly(download_dir);
}

} // namespace tavrel
