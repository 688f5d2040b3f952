// The version resource through version.dll, as the loader and Explorer read it.
#include "platform/platform.h"

#include <windows.h>

#include <cstring>

namespace platform {

namespace {

constexpr DWORD max_version_info_size = 0x100000;
constexpr UINT fixed_file_info_size = 52;
static_assert(sizeof(VS_FIXEDFILEINFO) == fixed_file_info_size);

} // namespace

version_info_result read_fixed_file_info(const path& file, std::vector<std::uint8_t>& block) {
    block.clear();
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(file.c_str(), &ignored);
    if (size == 0 || size > max_version_info_size)
        return version_info_result::unreadable;
    std::vector<std::uint8_t> info(size, 0);
    if (!GetFileVersionInfoW(file.c_str(), 0, size, info.data()))
        return version_info_result::unreadable;
    void* root = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(info.data(), L"\\", &root, &length) || !root ||
        length < fixed_file_info_size)
        return version_info_result::invalid;
    const auto* bytes = static_cast<const std::uint8_t*>(root);
    block.assign(bytes, bytes + fixed_file_info_size);
    return version_info_result::ok;
}

} // namespace platform
