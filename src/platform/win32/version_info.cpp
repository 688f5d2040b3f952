// The version resource through version.dll, as the loader and Explorer read it.
#include "platform/long_path.h"
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
    // A staged Tavrel.exe below a long installation path needs the extended form; shorter
    // paths are given as they are, as the loader would take them.
    const std::wstring name =
        file.native().size() < MAX_PATH ? file.native() : extended_length_path(file.native());
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(name.c_str(), &ignored);
    if (size == 0 || size > max_version_info_size)
        return version_info_result::unreadable;
    std::vector<std::uint8_t> info(size, 0);
    if (!GetFileVersionInfoW(name.c_str(), 0, size, info.data()))
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
