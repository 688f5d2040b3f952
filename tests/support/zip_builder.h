// ZIP archives for tests, written byte by byte so that every field can be wrong on purpose:
// names (any bytes), external attributes, method, CRC, sizes, flags, ZIP64 records.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrel::test {

inline constexpr std::uint16_t zip_stored = 0;
inline constexpr std::uint16_t zip_deflated = 8;
inline constexpr std::uint8_t zip_system_dos = 0;
inline constexpr std::uint8_t zip_system_unix = 3;

struct zip_entry_spec {
    std::string name;                  // stored exactly, NUL bytes included
    std::string content;               // the uncompressed bytes
    std::uint16_t method = zip_stored; // deflated content is written as stored deflate blocks
    // Overrides of what the headers declare; by default they describe `content` truthfully.
    std::optional<std::string> raw_data; // written instead of the compressed content
    std::optional<std::uint32_t> crc;
    std::optional<std::uint64_t> uncompressed_size;
    std::optional<std::uint64_t> compressed_size;
    std::optional<std::string> local_name; // name in the local header, if different
    std::uint32_t external_attributes = 0;
    std::uint8_t system = zip_system_dos; // "version made by" host
    std::uint16_t flags = 0;              // general-purpose bits
    bool zip64 = false;                   // sizes and offset in a ZIP64 extra field
};

struct zip_options {
    bool zip64_end = false;     // ZIP64 end record and locator before the classic end record
    std::string trailing_bytes; // appended after the end record
    std::string comment;        // the archive comment, which the end record's length covers
    std::optional<std::uint16_t> comment_length; // declared instead of the comment's own
};

zip_entry_spec file_entry(std::string name, std::string content, std::uint16_t method = zip_stored);
zip_entry_spec directory_entry(std::string name);
zip_entry_spec symlink_entry(std::string name, std::string target);

std::string build_zip(const std::vector<zip_entry_spec>& entries, const zip_options& options = {});
void write_zip(const std::filesystem::path& file, const std::vector<zip_entry_spec>& entries,
               const zip_options& options = {});

// UTF-16LE bytes of a UTF-8 text, byte-order mark first (the form of a package file manifest).
std::string utf16_file(std::string_view utf8_text);
// A package file manifest: the header line, then one path a line, each ended by `line_end`.
std::string package_manifest_bytes(const std::vector<std::string>& paths,
                                   std::string_view line_end = "\n");

// The corpus of archives that every updater must refuse (tests/data/hostile), each with the
// message it must refuse it with.
struct hostile_archive {
    std::filesystem::path file;
    std::string message;
    std::string what;
};
std::vector<hostile_archive> hostile_archives();

} // namespace tavrel::test
