// The extended-length form of absolute Windows paths, which the file APIs take beyond 260
// characters whatever the machine's long-path setting. Portable code, so that its rules are
// tested on every platform; the win32 back end hands every absolute path through it.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// "C:\a\b" becomes "\\?\C:\a\b" and "\\server\share\a" becomes "\\?\UNC\server\share\a". The
// extended form turns Windows' own clean-up of a path off, so it is done here: "/" becomes "\",
// doubled separators and "." components go, and ".." takes the component before it away (never
// the drive or the share). A path already in the extended or device form ("\\?\", "\\.\"), a
// relative one, "C:x" and "\x" are returned unchanged, as is a UNC path without its share.
std::wstring extended_length_path(std::wstring_view path);

} // namespace platform
