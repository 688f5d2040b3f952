#include "platform/posix/version_reader.h"

#include <cstring>
#include <string_view>

namespace platform {

namespace {

constexpr std::size_t fixed_file_info_size = 52;
constexpr std::size_t max_version_info_size = 0x100000;

struct reader {
    std::span<const std::uint8_t> bytes;

    bool has(std::uint64_t offset, std::uint64_t length) const {
        return offset <= bytes.size() && length <= bytes.size() - offset;
    }
    std::uint32_t u16(std::uint64_t at) const {
        return has(at, 2) ? bytes[at] | (bytes[at + 1] << 8) : 0;
    }
    std::uint32_t u32(std::uint64_t at) const {
        return has(at, 4) ? u16(at) | (u16(at + 2) << 16) : 0;
    }
    std::uint64_t u64(std::uint64_t at) const {
        return has(at, 8) ? u32(at) | (std::uint64_t{u32(at + 4)} << 32) : 0;
    }
};

// The version information block as VerQueryValueW sees it: the value of the root
// VS_VERSIONINFO node, whose key "VS_VERSION_INFO" is followed by padding to 32 bits.
version_info_result root_block(std::span<const std::uint8_t> info, std::uint64_t& offset) {
    const reader r{info};
    if (!r.has(0, 6))
        return version_info_result::invalid;
    const std::uint32_t total = r.u16(0);
    const std::uint32_t value_length = r.u16(2);
    static const char16_t key[] = u"VS_VERSION_INFO";
    std::uint64_t at = 6;
    for (const char16_t c : std::u16string_view(key, 16)) { // including the terminating NUL
        if (r.u16(at) != c || !r.has(at, 2))
            return version_info_result::invalid;
        at += 2;
    }
    at = (at + 3) & ~std::uint64_t{3};
    if (total > info.size() || value_length < fixed_file_info_size ||
        !r.has(at, fixed_file_info_size) || at + value_length > total)
        return version_info_result::invalid;
    offset = at;
    return version_info_result::ok;
}

std::uint64_t rva_to_offset(const reader& r, std::uint64_t sections, std::uint32_t count,
                            std::uint32_t rva) {
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint64_t s = sections + std::uint64_t{i} * 40;
        const std::uint32_t virtual_size = r.u32(s + 8);
        const std::uint32_t virtual_address = r.u32(s + 12);
        const std::uint32_t raw_size = r.u32(s + 16);
        const std::uint32_t raw_offset = r.u32(s + 20);
        const std::uint32_t span = std::max(virtual_size, raw_size);
        if (rva >= virtual_address && rva - virtual_address < span)
            return std::uint64_t{raw_offset} + (rva - virtual_address);
    }
    return UINT64_MAX;
}

// The first entry of a resource directory (by id when `id` is non-zero), or 0.
std::uint32_t directory_entry(const reader& r, std::uint64_t base, std::uint64_t directory,
                              std::uint32_t id) {
    if (!r.has(base + directory, 16))
        return 0;
    const std::uint32_t named = r.u16(base + directory + 12);
    const std::uint32_t ids = r.u16(base + directory + 14);
    for (std::uint32_t i = 0; i < named + ids && i < 4096; ++i) {
        const std::uint64_t e = base + directory + 16 + std::uint64_t{i} * 8;
        if (!r.has(e, 8))
            return 0;
        if (id == 0 || (r.u32(e) == id && i >= named))
            return r.u32(e + 4);
    }
    return 0;
}

version_info_result from_pe(const reader& r, std::uint64_t& offset) {
    const std::uint64_t pe = r.u32(0x3C);
    if (!r.has(pe, 24) || r.u32(pe) != 0x00004550)
        return version_info_result::unreadable;
    const std::uint32_t section_count = r.u16(pe + 6);
    const std::uint32_t optional_size = r.u16(pe + 20);
    const std::uint64_t optional = pe + 24;
    const std::uint32_t magic = r.u16(optional);
    const std::uint64_t directories = optional + (magic == 0x20B ? 112 : 96);
    const std::uint32_t directory_count = r.u32(directories - 4);
    if ((magic != 0x10B && magic != 0x20B) || directory_count < 3)
        return version_info_result::unreadable;
    const std::uint32_t resource_rva = r.u32(directories + 2 * 8);
    const std::uint64_t sections = optional + optional_size;
    if (resource_rva == 0)
        return version_info_result::unreadable;
    const std::uint64_t base = rva_to_offset(r, sections, section_count, resource_rva);
    if (base == UINT64_MAX)
        return version_info_result::unreadable;
    // type RT_VERSION (16) -> first name -> first language -> data entry
    std::uint32_t entry = directory_entry(r, base, 0, 16);
    for (int level = 0; level < 2; ++level) {
        if ((entry & 0x80000000) == 0)
            return version_info_result::unreadable;
        entry = directory_entry(r, base, entry & 0x7FFFFFFF, 0);
    }
    if (entry == 0 || (entry & 0x80000000) != 0 || !r.has(base + entry, 16))
        return version_info_result::unreadable;
    const std::uint32_t data_rva = r.u32(base + entry);
    const std::uint32_t data_size = r.u32(base + entry + 4);
    if (data_size == 0 || data_size > max_version_info_size)
        return version_info_result::unreadable;
    const std::uint64_t data = rva_to_offset(r, sections, section_count, data_rva);
    if (data == UINT64_MAX || !r.has(data, data_size))
        return version_info_result::unreadable;
    const version_info_result result = root_block(r.bytes.subspan(data, data_size), offset);
    offset += data;
    return result;
}

version_info_result from_elf(const reader& r, std::uint64_t& found) {
    if (r.bytes[4] != 2 || r.bytes[5] != 1) // 64-bit little-endian only
        return version_info_result::unreadable;
    const std::uint64_t sections = r.u64(0x28);
    const std::uint32_t entry_size = r.u16(0x3A);
    const std::uint32_t count = r.u16(0x3C);
    if (entry_size < 64)
        return version_info_result::unreadable;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint64_t s = sections + std::uint64_t{i} * entry_size;
        if (!r.has(s, 64))
            return version_info_result::unreadable;
        if (r.u32(s + 4) != 7) // SHT_NOTE
            continue;
        const std::uint64_t offset = r.u64(s + 24);
        const std::uint64_t size = r.u64(s + 32);
        if (!r.has(offset, size))
            continue;
        std::uint64_t at = offset;
        while (at + 12 <= offset + size) {
            const std::uint32_t name_size = r.u32(at);
            const std::uint32_t desc_size = r.u32(at + 4);
            const std::uint32_t type = r.u32(at + 8);
            const std::uint64_t name_at = at + 12;
            const std::uint64_t desc_at = name_at + ((std::uint64_t{name_size} + 3) & ~3ULL);
            const std::uint64_t next = desc_at + ((std::uint64_t{desc_size} + 3) & ~3ULL);
            if (next > offset + size)
                break;
            if (type == elf_version_note_type && name_size == sizeof elf_version_note_name &&
                std::memcmp(&r.bytes[name_at], elf_version_note_name, name_size) == 0) {
                if (desc_size == 0 || desc_size > max_version_info_size)
                    return version_info_result::unreadable;
                if (desc_size < fixed_file_info_size)
                    return version_info_result::invalid;
                found = desc_at;
                return version_info_result::ok;
            }
            at = next;
        }
    }
    return version_info_result::unreadable;
}

} // namespace

version_info_result fixed_file_info_offset(std::span<const std::uint8_t> image,
                                           std::uint64_t& offset) {
    offset = 0;
    const reader r{image};
    if (r.has(0, 64) && image[0] == 'M' && image[1] == 'Z')
        return from_pe(r, offset);
    if (r.has(0, 64) && std::memcmp(image.data(),
                                    "\x7F"
                                    "ELF",
                                    4) == 0)
        return from_elf(r, offset);
    return version_info_result::unreadable;
}

version_info_result fixed_file_info_from_image(std::span<const std::uint8_t> image,
                                               std::vector<std::uint8_t>& block) {
    block.clear();
    std::uint64_t offset = 0;
    const version_info_result result = fixed_file_info_offset(image, offset);
    if (result == version_info_result::ok)
        block.assign(image.begin() + static_cast<std::ptrdiff_t>(offset),
                     image.begin() + static_cast<std::ptrdiff_t>(offset + fixed_file_info_size));
    return result;
}

} // namespace platform
