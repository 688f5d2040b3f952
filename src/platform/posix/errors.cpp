#include "platform/platform.h"

#include <cerrno>
#include <cstring>

namespace platform {

std::string error_description(int code) {
    std::string text = std::strerror(code);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

bool is_not_found(int code) {
    return code == ENOENT || code == ENOTDIR;
}

bool is_enoent_class(int code) {
    return code == ENOENT || code == ENOTDIR;
}

// A file in use (a busy mount, a running executable) is what Linux has of a file held by another
// program for a moment.
bool is_transient(int code) {
    return code == EBUSY || code == ETXTBSY;
}

bool is_directory_not_empty(int code) {
    return code == ENOTEMPTY || code == EEXIST;
}

bool is_already_exists(int code) {
    return code == EEXIST;
}

int directory_not_empty_error() {
    return ENOTEMPTY;
}

int already_exists_error() {
    return EEXIST;
}

int unicode_translation_error() {
    return EILSEQ;
}

} // namespace platform
