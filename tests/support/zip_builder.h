// ZIP archives for tests, written byte by byte: names of any bytes, external attributes, declared
// sizes, ZIP64 records and comments as a test needs them. (Hostile archives are data files.)
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
    // A size declared instead of the content's own, to pass or fail the expansion limits.
    std::optional<std::uint64_t> uncompressed_size;
    std::uint32_t external_attributes = 0;
    std::uint8_t system = zip_system_dos; // "version made by" host
    bool zip64 = false;                   // sizes and offset in a ZIP64 extra field
};

struct zip_options {
    bool zip64_end = false; // ZIP64 end record and locator before the classic end record
    std::string comment;    // the archive comment, which the end record's length covers
};

zip_entry_spec file_entry(std::string name, std::string content, std::uint16_t method = zip_stored);
zip_entry_spec directory_entry(std::string name);
zip_entry_spec symlink_entry(std::string name, std::string target);

// The entries of a described package: one entry a line, a flag character, the name, then a tab
// and the content (none without a tab). The flag's low five bits: 1 directory entry, 2 deflated,
// 4 Unix symbolic link, 8 DOS directory attribute, 16 the package file manifest of every other
// plain file entry or, when the content is not empty, of the paths it lists separated by "|".
// So "@" is a plain stored file, "A" a directory, "B" deflated, "D" a link, "H" a file marked as
// a directory, "P" a manifest.
std::vector<zip_entry_spec> described_package(std::string_view description);

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
