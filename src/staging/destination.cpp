#include "staging/destination.h"

#include "common/text.h"
#include "staging/package_path.h"

#include <set>
#include <vector>

namespace tavrel {

namespace {

using native_string = path::string_type;

const char conflict[] = "An update destination conflicts with an existing file or directory.";
const char linked[] = "Update destinations must not contain symbolic links.";

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

// The kind of one existing component, or a refusal: a link, a reparse point or an error that
// does not say "missing".
bool component_kind(const path& current, platform::file_kind& kind, std::string& error) {
    platform::file_status status;
    const int code = platform::query_status(current, false, status);
    if (code != 0 && !platform::is_enoent_class(code))
        return refuse(error, "Cannot inspect an update destination.");
    kind = code != 0 ? platform::file_kind::not_found : status.kind;
    if (kind == platform::file_kind::symlink || kind == platform::file_kind::junction)
        return refuse(error, linked);
    std::uint32_t attributes = 0;
    if (platform::get_file_attributes(current, attributes) &&
        (attributes & platform::attribute_reparse_point) != 0)
        return refuse(error, linked);
    return true;
}

// The walk; `gives_way(i)` says whether the existing entry of components 0..i is one that
// the update removes, so that something of another kind may take its place.
template <typename GivesWay>
bool walk(const path& app_dir, const path& relative_path, bool check_kinds, GivesWay gives_way,
          std::string& error) {
    const std::vector<native_string> parts = components_of(relative_path);
    // The application directory itself is never a file destination.
    if (parts.empty())
        return refuse(error, conflict);
    path current = app_dir;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        current /= path(parts[i]);
        platform::file_kind kind;
        if (!component_kind(current, kind, error))
            return false;
        if (kind == platform::file_kind::not_found)
            return true; // every deeper component is absent too
        if (!check_kinds)
            continue;
        const bool is_destination = i + 1 == parts.size();
        const auto wanted =
            is_destination ? platform::file_kind::regular : platform::file_kind::directory;
        if (kind == wanted)
            continue;
        if (!gives_way(current, i, kind, error))
            return error.empty() ? refuse(error, conflict) : false;
        if (!is_destination)
            return true; // the removed file's place stays empty until the directory comes
    }
    return true;
}

std::string package_key(const std::vector<native_string>& parts, std::size_t last) {
    std::string text;
    for (std::size_t i = 0; i <= last; ++i) {
        if (i != 0)
            text += '/';
        text += native_to_utf8(parts[i]);
    }
    return folded_path_key(text);
}

// Whether a directory holds removed files only, with at least one below each directory (an
// empty directory that the update did not empty would not come back with an undo).
bool holds_only_removed_files(const path& directory, const std::string& key,
                              const std::set<std::string>& removed, std::string& error) {
    std::vector<path> children;
    bool advancing = false;
    if (platform::list_directory(directory, children, advancing) != 0)
        return refuse(error, "Cannot inspect an update destination.");
    if (children.empty())
        return false;
    for (const path& child : children) {
        const path full = join(directory, child);
        platform::file_kind kind;
        if (!component_kind(full, kind, error))
            return false;
        const std::string child_key = key + "/" + folded_path_key(path_to_utf8(child));
        if (kind == platform::file_kind::directory) {
            if (!holds_only_removed_files(full, child_key, removed, error))
                return false;
        } else if (kind != platform::file_kind::regular || !removed.contains(child_key)) {
            return false;
        }
    }
    return true;
}

// One destination on its own: nothing gives way; `error` changes only on a refusal.
bool walk_alone(const path& app_dir, const path& relative_path, bool check_kinds,
                std::string& error) {
    const auto nothing = [](const path&, std::size_t, platform::file_kind, std::string&) {
        return false;
    };
    std::string message;
    if (walk(app_dir, relative_path, check_kinds, nothing, message))
        return true;
    error = message;
    return false;
}

} // namespace

bool check_destination(const path& app_dir, const path& relative_path, std::string& error) {
    return walk_alone(app_dir, relative_path, true, error);
}

bool check_destination_path(const path& app_dir, const path& relative_path, std::string& error) {
    return walk_alone(app_dir, relative_path, false, error);
}

bool check_destinations(const path& app_dir, const std::vector<update_entry>& entries,
                        std::string& error) {
    std::set<std::string> removed;
    for (const update_entry& entry : entries)
        if (entry.remove)
            removed.insert(folded_path_key(path_to_utf8(entry.relative_path)));
    for (const update_entry& entry : entries) {
        const std::vector<native_string> parts = components_of(entry.relative_path);
        const auto gives_way = [&](const path& current, std::size_t i, platform::file_kind kind,
                                   std::string& message) {
            if (entry.remove)
                return false;
            const std::string key = package_key(parts, i);
            if (kind == platform::file_kind::regular)
                return removed.contains(key); // a removed file makes way for a directory
            return kind == platform::file_kind::directory && i + 1 == parts.size() &&
                   holds_only_removed_files(current, key, removed, message);
        };
        std::string message;
        if (!walk(app_dir, entry.relative_path, true, gives_way, message)) {
            error = message;
            return false;
        }
    }
    return true;
}

} // namespace tavrel
