#include "platform/platform.h"

#include <windows.h>

namespace platform {

namespace {

constexpr DWORD us_english = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US); // 1033

std::string to_utf8(const wchar_t* text, int length) {
    if (length <= 0)
        return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return {};
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), size, nullptr, nullptr);
    return out;
}

// FormatMessageW into a buffer the system allocates; empty when it has no text for `code`.
std::string system_message(DWORD code, DWORD language) {
    wchar_t* buffer = nullptr;
    const DWORD flags =
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    const DWORD length = FormatMessageW(flags, nullptr, code, language,
                                        reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text = length == 0 ? std::string() : to_utf8(buffer, static_cast<int>(length));
    if (buffer)
        LocalFree(buffer);
    return text;
}

bool is_white_space(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

} // namespace

std::string error_description(int code) {
    const auto value = static_cast<DWORD>(code);
    std::string text = system_message(value, us_english);
    if (text.empty())
        text = system_message(value, 0); // the system's default language
    while (!text.empty() && is_white_space(text.back()))
        text.pop_back();
    if (text.empty())
        text = "unknown error";
    return text;
}

bool is_not_found(int code) {
    switch (code) {
    case ERROR_FILE_NOT_FOUND:  // 2
    case ERROR_PATH_NOT_FOUND:  // 3
    case ERROR_BAD_NETPATH:     // 53
    case ERROR_NETNAME_DELETED: // 64
    case ERROR_INVALID_NAME:    // 123
    case ERROR_DIRECTORY:       // 267
        return true;
    default:
        return false;
    }
}

bool is_enoent_class(int code) {
    switch (code) {
    case ERROR_FILE_NOT_FOUND: // 2
    case ERROR_PATH_NOT_FOUND: // 3
    case ERROR_BAD_NETPATH:    // 53
    case ERROR_BAD_NET_NAME:   // 67
    case ERROR_INVALID_NAME:   // 123
        return true;
    default:
        return false;
    }
}

bool is_transient(int code) {
    return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION ||
           code == ERROR_ACCESS_DENIED; // 32, 33, 5: a scanner, indexer or backup holds the file
}

bool is_directory_not_empty(int code) {
    return code == ERROR_DIR_NOT_EMPTY;
} // 145

bool is_already_exists(int code) {
    return code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS; // 183, 80
}

int directory_not_empty_error() {
    return ERROR_DIR_NOT_EMPTY;
}

int already_exists_error() {
    return ERROR_ALREADY_EXISTS;
}

int unicode_translation_error() {
    return ERROR_NO_UNICODE_TRANSLATION;
} // 1113

} // namespace platform
