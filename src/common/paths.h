// Path utilities and the file-system operations that raise our file-system error, whose
// text is: operation, ": ", the system's description, ": ", then "path" or "first", "second".
#pragma once

#include "platform/platform.h"

#include <stdexcept>
#include <string>
#include <string_view>

namespace tavrel {

using path = std::filesystem::path;

class file_system_error : public std::runtime_error {
  public:
    file_system_error(std::string_view operation, int code, const path& first);
    file_system_error(std::string_view operation, int code, const path& first, const path& second);
    int code() const { return code_; }

  private:
    int code_;
};

// The narrow text of a path for messages (UTF-8; unconvertible units become "?").
std::string path_display_text(const path& p);

// Strict conversions between package paths (UTF-8 with "/") and paths.
path path_from_utf8(std::string_view utf8);
std::string path_to_utf8(const path& p);

path canonical_path(const path& p); // "canonical"; an empty path stays empty
path current_directory();           // "current_path()"
path join(const path& left, const path& right);
path parent_path(const path& p);
path file_name(const path& p);

// Follows links; the not-found class gives false, other errors raise "exists".
bool path_exists(const path& p);
// A directory itself, not a link to one; the not-found class gives false, other errors raise
// "symlink_status".
bool is_directory(const path& p); // call it qualified, as create_directories
// Removes a file or an empty directory; a missing path gives false; errors raise "remove".
bool remove_path(const path& p);
// Replaces an existing target; errors raise "rename" naming both paths.
void rename_path(const path& from, const path& to);
// Creates every missing directory; an existing file in the way raises "create_directories".
// Call it qualified: std::filesystem::create_directories is found by argument lookup too.
void create_directories(const path& p);
// Makes way for a file at `p`: removes a file there, or a directory that holds nothing but
// (empty) directories, deepest first. A directory with a file anywhere below stays whole and
// gives the directory-not-empty error; a missing path is no error.
int clear_for_file(const path& p) noexcept;
// Recursive removal; errors are returned, never raised. A missing path is no error.
int remove_all_quietly(const path& p) noexcept;
// Removes the download directory with everything in it, first leaving it if it is the working
// directory (Windows keeps a working directory from being removed). Errors are ignored.
void remove_download_directory(const path& download_dir) noexcept;

} // namespace tavrel
