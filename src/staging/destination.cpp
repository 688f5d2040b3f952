#include "staging/destination.h"

#include <vector>

namespace tavrel {

namespace {

using native_string = path::string_type;

// Journal entries may use either separator, whatever the platform's path parser thinks.
std::vector<native_string> components_of(const path& relative_path) {
    std::vector<native_string> parts;
    native_string current;
    for (const auto c : relative_path.native()) {
        if (c == '/' || c == '\\') {
            if (!current.empty())
                parts.push_back(std::move(current));
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    if (!current.empty())
        parts.push_back(std::move(current));
    return parts;
}

bool refuse(std::string& error, const char* message) {
    error = message;
    return false;
}

} // namespace

bool check_destination(const path& app_dir, const path& relative_path, std::string& error) {
    const std::vector<native_string> parts = components_of(relative_path);
    const char* conflict = "An update destination conflicts with an existing file or directory.";
    // The application directory itself is never a file destination.
    if (parts.empty())
        return refuse(error, conflict);
    path current = app_dir;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        current /= path(parts[i]);
        platform::file_status status;
        const int code = platform::query_status(current, false, status);
        if (code != 0 && !platform::is_enoent_class(code))
            return refuse(error, "Cannot inspect an update destination.");
        if (code != 0)
            status.kind = platform::file_kind::not_found;
        if (status.kind == platform::file_kind::symlink ||
            status.kind == platform::file_kind::junction)
            return refuse(error, "Update destinations must not contain symbolic links.");
        std::uint32_t attributes = 0;
        if (platform::get_file_attributes(current, attributes) &&
            (attributes & platform::attribute_reparse_point) != 0)
            return refuse(error, "Update destinations must not contain symbolic links.");
        if (status.kind == platform::file_kind::not_found)
            continue; // every deeper component is absent too
        const bool is_destination = i + 1 == parts.size();
        const auto wanted =
            is_destination ? platform::file_kind::regular : platform::file_kind::directory;
        if (status.kind != wanted)
            return refuse(error, conflict);
    }
    return true;
}

} // namespace tavrel
