#include "support/zip_builder.h"

#include "common/text.h"
#include "platform/platform.h"
#include "support/case_table.h"
#include "support/temp_tree.h"

#include <zlib.h>

namespace tavrel::test {

namespace {

constexpr std::uint32_t unix_symlink_mode = 0120777;
constexpr std::uint32_t unix_directory_mode = 040755;
constexpr std::uint32_t dos_time_and_date = ((1 << 5) | 1) << 16; // 1980-01-01 00:00

// Little-endian fields, each given with its width in bytes.
void put(std::string& out, std::initializer_list<std::pair<std::uint64_t, int>> fields) {
    for (const auto& [value, width] : fields)
        for (int i = 0; i < width; ++i)
            out.push_back(static_cast<char>(value >> (8 * i)));
}

// A valid deflate stream made of stored blocks: no compression, but real inflating.
std::string stored_deflate(std::string_view content) {
    std::string out;
    std::size_t position = 0;
    do {
        const std::size_t length = std::min<std::size_t>(content.size() - position, 0xFFFF);
        put(out, {{position + length == content.size(), 1}, {length, 2}, {~length & 0xFFFF, 2}});
        out.append(content.substr(position, length));
        position += length;
    } while (position < content.size());
    return out;
}

std::uint32_t crc32_of(std::string_view bytes) {
    return static_cast<std::uint32_t>(
        ::crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

} // namespace

zip_entry_spec file_entry(std::string name, std::string content, std::uint16_t method) {
    zip_entry_spec e;
    e.name = std::move(name);
    e.content = std::move(content);
    e.method = method;
    return e;
}

zip_entry_spec directory_entry(std::string name) {
    zip_entry_spec e = file_entry(std::move(name), "");
    e.external_attributes = (unix_directory_mode << 16) | 0x10;
    e.system = zip_system_unix;
    return e;
}

zip_entry_spec symlink_entry(std::string name, std::string target) {
    zip_entry_spec e = file_entry(std::move(name), std::move(target));
    e.external_attributes = unix_symlink_mode << 16;
    e.system = zip_system_unix;
    return e;
}

std::vector<zip_entry_spec> described_package(std::string_view description) {
    std::vector<zip_entry_spec> entries;
    std::vector<std::size_t> manifests;
    for (std::size_t start = 0, end = 0; end != std::string_view::npos; start = end + 1) {
        end = description.find('\n', start);
        const std::string_view line = description.substr(start, end - start);
        if (line.empty())
            continue;
        const unsigned flags = static_cast<unsigned char>(line[0]) & 31;
        const std::size_t tab = line.find('\t', 1);
        const std::string name(line.substr(1, tab - 1));
        const std::string content(tab == std::string_view::npos ? "" : line.substr(tab + 1));
        const bool file = (flags & 5) == 0;
        entries.push_back(flags & 4   ? symlink_entry(name, content)
                          : flags & 1 ? directory_entry(name)
                                      : file_entry(name, content, flags & 2 ? zip_deflated : 0));
        entries.back().external_attributes |= file && (flags & 8) ? 0x10 : 0;
        if (file && (flags & 16))
            manifests.push_back(entries.size() - 1);
    }
    for (const std::size_t index : manifests) {
        std::vector<std::string> paths = split(entries[index].content, '|');
        for (std::size_t i = 0; entries[index].content.empty() && i < entries.size(); ++i)
            if (i != index && entries[i].external_attributes == 0)
                paths.push_back(entries[i].name);
        try {
            entries[index].content = package_manifest_bytes(paths);
        } catch (const std::exception&) {
            entries[index].content = "not UTF-8";
        }
    }
    return entries;
}

std::string build_zip(const std::vector<zip_entry_spec>& entries, const zip_options& options) {
    std::string out;
    std::string central;
    for (const auto& e : entries) {
        const std::string data = e.method == zip_deflated ? stored_deflate(e.content) : e.content;
        const std::uint64_t size = e.uncompressed_size.value_or(e.content.size());
        const std::uint64_t compressed = data.size();
        const std::uint64_t offset = out.size();
        const std::uint64_t small = e.zip64 ? 0xFFFFFFFF : 0; // in the classic fields
        const std::uint16_t needed = e.zip64 ? 45 : 20;
        std::string local_extra;
        std::string central_extra;
        if (e.zip64) {
            put(local_extra, {{0x0001, 2}, {16, 2}, {size, 8}, {compressed, 8}});
            put(central_extra, {{0x0001, 2}, {24, 2}, {size, 8}, {compressed, 8}, {offset, 8}});
        }
        const std::uint64_t crc = crc32_of(e.content);
        // clang-format off
        put(out, {{0x04034b50, 4}, {needed, 2}, {0, 2}, {e.method, 2},
                  {dos_time_and_date, 4}, {crc, 4}, {small ? small : compressed, 4},
                  {small ? small : size, 4}, {e.name.size(), 2}, {local_extra.size(), 2}});
        out += e.name + local_extra + data;
        put(central, {{0x02014b50, 4}, {(std::uint64_t{e.system} << 8) | needed, 2}, {needed, 2},
                      {0, 2}, {e.method, 2}, {dos_time_and_date, 4}, {crc, 4},
                      {small ? small : compressed, 4}, {small ? small : size, 4},
                      {e.name.size(), 2}, {central_extra.size(), 2}, {0, 6},
                      {e.external_attributes, 4}, {small ? small : offset, 4}});
        // clang-format on
        central += e.name + central_extra;
    }
    const std::uint64_t central_offset = out.size();
    out += central;
    const std::uint64_t count = entries.size();
    const std::uint64_t record_offset = out.size();
    const bool zip64 = options.zip64_end;
    // clang-format off
    if (zip64)
        put(out, {{0x06064b50, 4}, {44, 8}, {45, 2}, {45, 2}, {0, 8}, {count, 8}, {count, 8},
                  {central.size(), 8}, {central_offset, 8},
                  {0x07064b50, 4}, {0, 4}, {record_offset, 8}, {1, 4}});
    put(out, {{0x06054b50, 4}, {0, 4}, {zip64 ? 0xFFFF : count, 2}, {zip64 ? 0xFFFF : count, 2},
              {zip64 ? 0xFFFFFFFF : central.size(), 4}, {zip64 ? 0xFFFFFFFF : central_offset, 4},
              {options.comment.size(), 2}});
    // clang-format on
    return out + options.comment;
}

void write_zip(const std::filesystem::path& file, const std::vector<zip_entry_spec>& entries,
               const zip_options& options) {
    write_bytes(file, build_zip(entries, options));
}

std::vector<hostile_archive> hostile_archives() {
    const std::filesystem::path dir = std::filesystem::path(TAVREL_TESTDATA_DIR) / "hostile";
    std::vector<hostile_archive> archives;
    for (case_row& row : read_cases("../hostile/index"))
        archives.push_back({dir / row[0], row[1], row[2]});
    return archives;
}

std::string utf16_file(std::string_view utf8_text) {
    std::string bytes = "\xFF\xFE";
    for (const char16_t unit : utf8_to_utf16(utf8_text)) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}

std::string package_manifest_bytes(const std::vector<std::string>& paths,
                                   std::string_view line_end) {
    std::string text = "Tavrel package files 1";
    text += line_end;
    for (const std::string& p : paths) {
        text += p;
        text += line_end;
    }
    return utf16_file(text);
}

} // namespace tavrel::test
