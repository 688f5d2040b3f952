#include "support/zip_builder.h"

#include "common/text.h"
#include "platform/platform.h"

#include <array>
#include <fstream>
#include <stdexcept>
#include <zip.h>

namespace tavrel::test {

namespace {

constexpr std::uint32_t unix_symlink_mode = 0120777;
constexpr std::uint32_t unix_directory_mode = 040755;
constexpr std::uint16_t dos_time = 0;
constexpr std::uint16_t dos_date = (1 << 5) | 1; // 1980-01-01

void put16(std::string& out, std::uint64_t value) {
    out.push_back(static_cast<char>(value & 0xFF));
    out.push_back(static_cast<char>((value >> 8) & 0xFF));
}

void put32(std::string& out, std::uint64_t value) {
    put16(out, value & 0xFFFF);
    put16(out, (value >> 16) & 0xFFFF);
}

void put64(std::string& out, std::uint64_t value) {
    put32(out, value & 0xFFFFFFFF);
    put32(out, value >> 32);
}

// A valid deflate stream made of stored blocks: no compression, but real inflating.
std::string stored_deflate(std::string_view content) {
    std::string out;
    std::size_t position = 0;
    do {
        const std::size_t length = std::min<std::size_t>(content.size() - position, 0xFFFF);
        const bool last = position + length == content.size();
        out.push_back(last ? 1 : 0);
        put16(out, length);
        put16(out, ~length & 0xFFFF);
        out.append(content.substr(position, length));
        position += length;
    } while (position < content.size());
    return out;
}

std::uint32_t clamp32(std::uint64_t value, bool zip64) {
    return zip64 ? 0xFFFFFFFF : static_cast<std::uint32_t>(value);
}

} // namespace

std::uint32_t crc32_of(std::string_view bytes) {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320 ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    std::uint32_t crc = 0xFFFFFFFF;
    for (const char b : bytes)
        crc = table[(crc ^ static_cast<unsigned char>(b)) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFF;
}

zip_entry_spec file_entry(std::string name, std::string content, std::uint16_t method) {
    zip_entry_spec e;
    e.name = std::move(name);
    e.content = std::move(content);
    e.method = method;
    return e;
}

zip_entry_spec directory_entry(std::string name) {
    zip_entry_spec e;
    e.name = std::move(name);
    e.external_attributes = (unix_directory_mode << 16) | 0x10;
    e.system = zip_system_unix;
    return e;
}

zip_entry_spec symlink_entry(std::string name, std::string target) {
    zip_entry_spec e;
    e.name = std::move(name);
    e.content = std::move(target);
    e.external_attributes = unix_symlink_mode << 16;
    e.system = zip_system_unix;
    return e;
}

std::string build_zip(const std::vector<zip_entry_spec>& entries, const zip_options& options) {
    std::string out;
    std::string central;
    for (const auto& e : entries) {
        const std::string data =
            e.raw_data ? *e.raw_data
                       : (e.method == zip_deflated ? stored_deflate(e.content) : e.content);
        const std::uint32_t crc = e.crc.value_or(crc32_of(e.content));
        const std::uint64_t size = e.uncompressed_size.value_or(e.content.size());
        const std::uint64_t compressed = e.compressed_size.value_or(data.size());
        const std::uint64_t offset = out.size();
        const std::uint16_t needed = e.zip64 ? 45 : 20;
        const std::string& local_name = e.local_name ? *e.local_name : e.name;

        std::string local_extra;
        if (e.zip64) {
            put16(local_extra, 0x0001);
            put16(local_extra, 16);
            put64(local_extra, size);
            put64(local_extra, compressed);
        }
        put32(out, 0x04034b50);
        put16(out, needed);
        put16(out, e.flags);
        put16(out, e.method);
        put16(out, dos_time);
        put16(out, dos_date);
        put32(out, crc);
        put32(out, clamp32(compressed, e.zip64));
        put32(out, clamp32(size, e.zip64));
        put16(out, local_name.size());
        put16(out, local_extra.size());
        out += local_name;
        out += local_extra;
        out += data;

        std::string central_extra;
        if (e.zip64) {
            put16(central_extra, 0x0001);
            put16(central_extra, 24);
            put64(central_extra, size);
            put64(central_extra, compressed);
            put64(central_extra, offset);
        }
        put32(central, 0x02014b50);
        put16(central, (static_cast<std::uint16_t>(e.system) << 8) | needed);
        put16(central, needed);
        put16(central, e.flags);
        put16(central, e.method);
        put16(central, dos_time);
        put16(central, dos_date);
        put32(central, crc);
        put32(central, clamp32(compressed, e.zip64));
        put32(central, clamp32(size, e.zip64));
        put16(central, e.name.size());
        put16(central, central_extra.size());
        put16(central, 0); // comment
        put16(central, 0); // disk
        put16(central, 0); // internal attributes
        put32(central, e.external_attributes);
        put32(central, clamp32(offset, e.zip64));
        central += e.name;
        central += central_extra;
    }
    const std::uint64_t central_offset = out.size();
    out += central;
    const std::uint64_t count = entries.size();
    if (options.zip64_end) {
        const std::uint64_t record_offset = out.size();
        put32(out, 0x06064b50);
        put64(out, 44);
        put16(out, 45);
        put16(out, 45);
        put32(out, 0);
        put32(out, 0);
        put64(out, count);
        put64(out, count);
        put64(out, central.size());
        put64(out, central_offset);
        put32(out, 0x07064b50);
        put32(out, 0);
        put64(out, record_offset);
        put32(out, 1);
    }
    put32(out, 0x06054b50);
    put16(out, 0);
    put16(out, 0);
    put16(out, options.zip64_end ? 0xFFFF : count);
    put16(out, options.zip64_end ? 0xFFFF : count);
    put32(out, options.zip64_end ? 0xFFFFFFFF : central.size());
    put32(out, options.zip64_end ? 0xFFFFFFFF : central_offset);
    put16(out, options.comment_length.value_or(options.comment.size()));
    out += options.comment;
    out += options.trailing_bytes;
    return out;
}

void write_zip(const std::filesystem::path& file, const std::vector<zip_entry_spec>& entries,
               const zip_options& options) {
    const std::string bytes = build_zip(entries, options);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out)
        throw std::runtime_error("cannot write test archive " + file.string());
}

void write_zip_with_libzip(const std::filesystem::path& file, const std::vector<zip_content>& files,
                           int level) {
    int error = 0;
    zip_t* archive = zip_open(file.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (!archive)
        throw std::runtime_error("zip_open failed for " + file.string());
    for (const auto& f : files) {
        // libzip reads the data at zip_close, so `files` must outlive this call's end.
        zip_source_t* source = zip_source_buffer(archive, f.content.data(), f.content.size(), 0);
        const zip_int64_t index =
            source ? zip_file_add(archive, f.name.c_str(), source, ZIP_FL_ENC_UTF_8) : -1;
        if (index < 0 ||
            zip_set_file_compression(archive, static_cast<zip_uint64_t>(index), ZIP_CM_DEFLATE,
                                     static_cast<zip_uint32_t>(level)) != 0) {
            if (source && index < 0)
                zip_source_free(source);
            zip_discard(archive);
            throw std::runtime_error("cannot add " + f.name + " to " + file.string());
        }
    }
    if (zip_close(archive) != 0) {
        zip_discard(archive);
        throw std::runtime_error("zip_close failed for " + file.string());
    }
}

std::vector<hostile_archive> hostile_archives() {
    const std::filesystem::path dir = std::filesystem::path(TAVREL_TESTDATA_DIR) / "hostile";
    std::ifstream index(dir / "index.tsv");
    std::vector<hostile_archive> archives;
    for (std::string line; std::getline(index, line);) {
        const std::size_t tab = line.find('\t');
        const std::size_t second = line.find('\t', tab + 1);
        std::string message = line.substr(tab + 1, second - tab - 1);
        if (message == "(the system's text for an invalid character)")
            message = platform::error_description(platform::unicode_translation_error());
        archives.push_back({dir / line.substr(0, tab), message, line.substr(second + 1)});
    }
    if (archives.size() < 100)
        throw std::runtime_error("the hostile corpus is missing: " + dir.string());
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
