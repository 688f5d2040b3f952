#include "platform/long_path.h"

#include <vector>

namespace platform {

namespace {

bool is_separator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

bool is_letter(wchar_t c) {
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

// The components of `text` between separators, with "." left out and ".." resolved.
std::vector<std::wstring_view> clean_components(std::wstring_view text) {
    std::vector<std::wstring_view> parts;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = start;
        while (end < text.size() && !is_separator(text[end]))
            ++end;
        const std::wstring_view part = text.substr(start, end - start);
        if (part == L"..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != L".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    return parts;
}

} // namespace

std::wstring extended_length_path(std::wstring_view path) {
    const std::wstring unchanged(path);
    std::wstring result;
    std::wstring_view rest;
    if (path.size() >= 3 && is_letter(path[0]) && path[1] == L':' && is_separator(path[2])) {
        result = L"\\\\?\\";
        result += path.substr(0, 2);
        rest = path.substr(3);
    } else if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) {
        if (path.size() >= 3 && (path[2] == L'?' || path[2] == L'.') &&
            (path.size() == 3 || is_separator(path[3])))
            return unchanged; // already extended, or a device
        // The server and the share are the root, which ".." cannot leave.
        std::size_t server_end = 2;
        while (server_end < path.size() && !is_separator(path[server_end]))
            ++server_end;
        std::size_t share_start = server_end;
        while (share_start < path.size() && is_separator(path[share_start]))
            ++share_start;
        std::size_t share_end = share_start;
        while (share_end < path.size() && !is_separator(path[share_end]))
            ++share_end;
        const std::wstring_view server = path.substr(2, server_end - 2);
        const std::wstring_view share = path.substr(share_start, share_end - share_start);
        if (server.empty() || share.empty() || server == L"." || server == L".." || share == L"." ||
            share == L"..")
            return unchanged;
        result = L"\\\\?\\UNC\\";
        result += server;
        result += L'\\';
        result += share;
        rest = path.substr(share_end);
    } else {
        return unchanged;
    }
    const std::vector<std::wstring_view> parts = clean_components(rest);
    if (parts.empty())
        result += L'\\'; // the root directory itself
    for (const std::wstring_view part : parts) {
        result += L'\\';
        result += part;
    }
    return result;
}

} // namespace platform
