#include "platform/posix/version_reader.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>

namespace platform {

namespace {

constexpr std::size_t fixed_file_info_size = 52;
constexpr std::size_t max_version_info_size = 0x100000;
constexpr std::uint32_t fixed_file_info_signature = 0xFEEF04BD;
constexpr std::uint32_t rt_version = 16;
constexpr std::uint32_t vs_version_info = 1;

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

version_record refused(version_info_result result, std::string problem) {
    return {result, {}, std::move(problem)};
}

std::string hex4(std::uint32_t value) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text = "0x";
    for (int shift = 12; shift >= 0; shift -= 4)
        text += digits[(value >> shift) & 15];
    return text;
}

std::string four_part(std::uint32_t most_significant, std::uint32_t least_significant) {
    return std::to_string(most_significant >> 16) + "." +
           std::to_string(most_significant & 0xFFFF) + "." +
           std::to_string(least_significant >> 16) + "." +
           std::to_string(least_significant & 0xFFFF);
}

struct resource_entry {
    bool named = false;
    std::uint32_t id = 0;     // of an entry that is not named
    std::uint32_t target = 0; // a data entry, or a subdirectory when the high bit is set
};
constexpr std::uint32_t subdirectory_bit = 0x80000000;

// The entries of the resource directory at `directory` (from the start of the resources),
// named ones first as the format stores them; nothing when it does not lie inside the image.
std::optional<std::vector<resource_entry>> directory_entries(const reader& r, std::uint64_t base,
                                                             std::uint64_t directory) {
    const std::uint64_t at = base + directory;
    if (!r.has(at, 16))
        return std::nullopt;
    const std::uint32_t named = r.u16(at + 12);
    const std::uint32_t count = named + r.u16(at + 14);
    if (!r.has(at + 16, std::uint64_t{count} * 8))
        return std::nullopt;
    std::vector<resource_entry> entries;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint64_t e = at + 16 + std::uint64_t{i} * 8;
        entries.push_back({i < named, r.u32(e), r.u32(e + 4)});
    }
    return entries;
}

std::optional<std::vector<resource_entry>> subdirectory(const reader& r, std::uint64_t base,
                                                        const resource_entry& entry) {
    if ((entry.target & subdirectory_bit) == 0)
        return std::nullopt;
    return directory_entries(r, base, entry.target & ~subdirectory_bit);
}

const resource_entry* entry_with_id(const std::vector<resource_entry>& entries, std::uint32_t id) {
    for (const resource_entry& e : entries)
        if (!e.named && e.id == id)
            return &e;
    return nullptr;
}

// "ID 2", "\"VERSION\"": the version resources that Windows does not read, for the publisher.
std::string list_of(const reader& r, std::uint64_t base,
                    const std::vector<resource_entry>& entries) {
    std::string text;
    for (const resource_entry& e : entries) {
        text += text.empty() ? "" : ", ";
        if (!e.named) {
            text += "ID " + std::to_string(e.id);
            continue;
        }
        // A length in UTF-16 units, then the units; shown in ASCII.
        const std::uint64_t at = base + (e.id & ~subdirectory_bit);
        const std::uint32_t length = std::min<std::uint32_t>(r.u16(at), 64);
        text += '"';
        for (std::uint32_t i = 0; i < length; ++i) {
            const std::uint32_t c = r.u16(at + 2 + 2 * std::uint64_t{i});
            text += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
        }
        text += '"';
    }
    return text;
}

// The record of one language of the version resource: its data entry, the data, the root block.
version_record language_record(const reader& r, std::uint64_t base, std::uint64_t sections,
                               std::uint32_t section_count, const resource_entry& language) {
    const std::string which = "version resource ID 1, language " + hex4(language.id);
    const std::uint64_t entry = base + language.target;
    if ((language.target & subdirectory_bit) != 0 || !r.has(entry, 16))
        return refused(version_info_result::unreadable,
                       "the resource directory of " + which + " is malformed");
    const std::uint32_t data_rva = r.u32(entry);
    const std::uint32_t data_size = r.u32(entry + 4);
    if (data_size == 0 || data_size > max_version_info_size)
        return refused(version_info_result::unreadable, which + " is empty or over 1 MiB");
    const std::uint64_t data = rva_to_offset(r, sections, section_count, data_rva);
    if (data == UINT64_MAX || !r.has(data, data_size))
        return refused(version_info_result::unreadable, which + " lies outside the image");
    std::uint64_t offset = 0;
    if (root_block(r.bytes.subspan(data, data_size), offset) != version_info_result::ok)
        return refused(version_info_result::invalid,
                       which + " is not a VS_VERSIONINFO block with a 52-byte value");
    return {version_info_result::ok, {data + offset}, {}};
}

version_record from_pe(const reader& r) {
    const std::uint64_t pe = r.u32(0x3C);
    if (!r.has(pe, 24) || r.u32(pe) != 0x00004550)
        return refused(version_info_result::unreadable, "no PE header");
    const std::uint32_t section_count = r.u16(pe + 6);
    const std::uint32_t optional_size = r.u16(pe + 20);
    const std::uint64_t optional = pe + 24;
    const std::uint32_t magic = r.u16(optional);
    const std::uint64_t directories = optional + (magic == 0x20B ? 112 : 96);
    const std::uint32_t directory_count = r.u32(directories - 4);
    if ((magic != 0x10B && magic != 0x20B) || directory_count < 3)
        return refused(version_info_result::unreadable,
                       "no PE optional header with a resource directory");
    const std::uint32_t resource_rva = r.u32(directories + 2 * 8);
    const std::uint64_t sections = optional + optional_size;
    if (resource_rva == 0)
        return refused(version_info_result::unreadable, "no resources");
    const std::uint64_t base = rva_to_offset(r, sections, section_count, resource_rva);
    const auto types = base == UINT64_MAX ? std::nullopt : directory_entries(r, base, 0);
    if (!types)
        return refused(version_info_result::unreadable, "the resource directory is malformed");
    const resource_entry* type = entry_with_id(*types, rt_version);
    if (type == nullptr)
        return refused(version_info_result::unreadable, "no RT_VERSION resource");
    const auto names = subdirectory(r, base, *type);
    if (!names)
        return refused(version_info_result::unreadable,
                       "the resource directory of RT_VERSION is malformed");
    // The version functions read the resource with ID 1 and no other, named or numbered: its
    // "versionID [...] must be 1"
    // (https://learn.microsoft.com/en-us/windows/win32/menurc/versioninfo-resource).
    const resource_entry* id_1 = entry_with_id(*names, vs_version_info);
    if (id_1 == nullptr)
        return refused(version_info_result::unreadable,
                       "no version resource with ID 1, the only one Windows reads; found: " +
                           (names->empty() ? "none" : list_of(r, base, *names)));
    const auto languages = subdirectory(r, base, *id_1);
    if (!languages)
        return refused(version_info_result::unreadable,
                       "the resource directory of version resource ID 1 is malformed");
    // Of several languages, Windows takes the one that best matches the calling thread's
    // language ("Resource Language Loading Order", https://support.microsoft.com/kb/169483; and
    // https://learn.microsoft.com/en-us/windows/win32/api/libloaderapi/nf-libloaderapi-findresourceexw),
    // so any of them may be the one read on some machine. Each must therefore be readable, and
    // all must agree on what the updater takes from the record: the signature and the file
    // version. Languages that disagree are invalid, not unreadable: Windows does read a version
    // from them, only not the same one everywhere.
    version_record found{version_info_result::ok, {}, {}};
    std::string versions;
    bool agree = true;
    for (const resource_entry& language : *languages) {
        if (language.named)
            continue; // languages are looked up by their ID
        version_record one = language_record(r, base, sections, section_count, language);
        if (one.result != version_info_result::ok)
            return one;
        const std::uint64_t at = one.offsets.front();
        const std::uint64_t first = found.offsets.empty() ? at : found.offsets.front();
        agree = agree && r.u32(at) == r.u32(first) && r.u64(at + 8) == r.u64(first + 8);
        versions += (versions.empty() ? "" : ", ") + hex4(language.id) + " says " +
                    four_part(r.u32(at + 8), r.u32(at + 12)) +
                    (r.u32(at) == fixed_file_info_signature ? "" : " with a wrong signature");
        found.offsets.push_back(at);
    }
    if (found.offsets.empty())
        return refused(version_info_result::unreadable, "version resource ID 1 has no language");
    if (!agree)
        return refused(version_info_result::invalid,
                       "the languages of version resource ID 1 disagree: " + versions +
                           "; which one Windows reads depends on the machine's language settings");
    return found;
}

version_record from_elf(const reader& r) {
    if (r.bytes[4] != 2 || r.bytes[5] != 1)
        return refused(version_info_result::unreadable, "not a 64-bit little-endian ELF image");
    const std::uint64_t sections = r.u64(0x28);
    const std::uint32_t entry_size = r.u16(0x3A);
    const std::uint32_t count = r.u16(0x3C);
    if (entry_size < 64)
        return refused(version_info_result::unreadable, "the ELF section headers are malformed");
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint64_t s = sections + std::uint64_t{i} * entry_size;
        if (!r.has(s, 64))
            return refused(version_info_result::unreadable,
                           "the ELF section headers lie outside the image");
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
                    return refused(version_info_result::unreadable,
                                   "the \"Tavrel\" version note is empty or over 1 MiB");
                if (desc_size < fixed_file_info_size)
                    return refused(version_info_result::invalid,
                                   "the \"Tavrel\" version note is shorter than 52 bytes");
                return {version_info_result::ok, {desc_at}, {}};
            }
            at = next;
        }
    }
    return refused(version_info_result::unreadable, "no \"Tavrel\" version note");
}

} // namespace

version_record find_version_record(std::span<const std::uint8_t> image) {
    const reader r{image};
    if (r.has(0, 64) && image[0] == 'M' && image[1] == 'Z')
        return from_pe(r);
    if (r.has(0, 64) && std::memcmp(image.data(),
                                    "\x7F"
                                    "ELF",
                                    4) == 0)
        return from_elf(r);
    return refused(version_info_result::unreadable, "neither a PE nor an ELF image");
}

version_info_result fixed_file_info_offset(std::span<const std::uint8_t> image,
                                           std::uint64_t& offset) {
    const version_record found = find_version_record(image);
    offset = found.offsets.empty() ? 0 : found.offsets.front();
    return found.result;
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
