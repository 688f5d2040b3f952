// Force-included into the unit tests and their helpers built for Windows: the POSIX calls they
// make, in their Windows form, so that they compile there unchanged.
#pragma once

#include <cstdlib>

// The fault hooks read the environment with getenv, which _putenv_s updates; an empty value
// removes the variable.
inline int setenv(const char* name, const char* value, int) {
    return _putenv_s(name, value);
}
inline int unsetenv(const char* name) {
    return _putenv_s(name, "");
}
