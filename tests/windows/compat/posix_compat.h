// Force-included into the unit tests and their helpers built for Windows: the few POSIX and
// libzip calls they make, in their Windows form, so that they compile there unchanged.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

// The fault hooks read the environment with getenv, which _putenv_s updates; an empty value
// removes the variable.
inline int setenv(const char* name, const char* value, int) {
    return _putenv_s(name, value);
}
inline int unsetenv(const char* name) {
    return _putenv_s(name, "");
}

#if __has_include(<zip.h>)
#include <zip.h>

// std::filesystem::path::c_str() is wide here; libzip takes UTF-8 file names on Windows.
inline zip_t* zip_open(const wchar_t* name, int flags, int* error) {
    const std::u8string utf8 = std::filesystem::path(name).u8string();
    return zip_open(reinterpret_cast<const char*>(utf8.c_str()), flags, error);
}
#endif
