#include "app/failure_record.h"

#include <array>
#include <string>
#include <utility>

namespace tavrel {

namespace {

constexpr char header[] = "Tavrel update failure 1";
constexpr std::size_t max_record_size = 64 * 1024;

// The codes, by the message's beginning. A code names one failure for good: a failure that no
// longer happens keeps its code unused, a new one takes the next free number.
constexpr std::pair<int, std::string_view> codes[] = {
    // the download check
    {1, "The update signature or configured public key is invalid."},
    {2, "The downloaded update has an unexpected size or path."},
    {3, "The downloaded update could not be read."},
    {4, "The update signature could not be verified."},
    // the archive and its manifest
    {10, "The update is not a valid ZIP archive."},
    {11, "The update archive exceeds the allowed size."},
    {12, "The update archive has an invalid number of entries."},
    {13, "Could not read an update entry name."},
    {14, "Could not inspect an update file."},
    {15, "The update contains an invalid or symbolic-link entry."},
    {16, "The update contains an unsafe Windows path."},
    {17, "The update contains duplicate paths or exceeds expansion limits."},
    {18, "The update contains paths that alias on this filesystem."},
    {19, "The update uses one path as both a file and directory."},
    {20, "The update does not contain Tavrel.exe at its root."},
    {21, "An update file failed decompression or CRC validation."},
    {22, "Invalid package file manifest size."},
    {23, "Invalid package file manifest encoding."},
    {24, "Invalid package manifest header."},
    {25, "Package manifest contains an unsafe or duplicate path."},
    {26, "Package manifest path is too long."},
    {27, "Incomplete package manifest."},
    {28, "The signed package manifest does not match its files."},
    // delta packages
    {30, "The update does not fit the installed version."},
    {31, "The update's delta description is invalid."},
    // versions
    {35, "The signed update version does not match the feed or would downgrade Tavrel."},
    {36, "The application version could not be read."},
    {37, "The application version resource is invalid."},
    // staging into the installation
    {40, "The application directory is not a regular directory."},
    {41, "Could not create an update staging directory."},
    {42, "Could not write an update staging file."},
    {43, "Too many package replacement and removal entries."},
    {44, "The update recovery journal would be too large."},
    {45, "An update destination conflicts with an existing file or directory."},
    {46, "Cannot inspect an update destination."},
    {47, "This update package has already been staged."},
    // the commit
    {50, "Could not create the update startup confirmation."},
    {51, "Could not write the update recovery journal."},
    {52, "Could not save the update recovery journal."},
    {53, "Could not open the update recovery journal."},
    {54, "The updated application could not be launched."},
    {55, "The update was installed and started, but it could not be recorded on the disk"},
    {56, "The update is not prepared or has no relaunch handler."},
    // recovery mode
    {61, "The restored application could not be launched."},
    // the file system, named by its operation
    {70, "rename: "},
    {71, "remove: "},
    {71, "remove_all: "},
    {72, "create_directory: "},
    {72, "create_directories: "},
    {73, "permissions: "},
    {74, "flush: "},
    {75, "read: "},
    {76, "exists: "},
    {76, "status: "},
    {76, "symlink_status: "},
    {76, "file_size: "},
    {76, "directory_entry::status: "},
    {76, "directory_entry::symlink_status: "},
    {77, "directory_iterator"},
    {79, "write: "},
};

// An earlier run's transaction could not be settled: whatever the cause, the backups stay.
constexpr std::string_view recovery_suffix = " Backups were retained for recovery.";
constexpr int recovery_code = 60;
constexpr int other_file_system_code = 78; // "canonical: " and any other
constexpr int unknown_code = 99;

std::string one_line(std::string_view text) {
    std::string line(text);
    for (char& c : line)
        if (c == '\n' || c == '\r')
            c = ' ';
    return line;
}

} // namespace

int failure_code(std::string_view message) {
    if (message.ends_with(recovery_suffix))
        return recovery_code;
    for (const auto& [code, beginning] : codes)
        if (message.starts_with(beginning))
            return code;
    // "operation: <reason>: "<path>"": a file-system error of another operation.
    const std::size_t colon = message.find(": ");
    if (colon != std::string_view::npos && colon > 0 &&
        message.substr(0, colon).find(' ') == std::string_view::npos)
        return other_file_system_code;
    return unknown_code;
}

std::string failure_record_text(const failure_record& record) {
    return std::string(header) + "\ncode " + std::to_string(record.code) + "\nmessage " +
           one_line(record.message) + "\ninstalled " + one_line(record.installed) +
           "\nrolled-back " + record.rolled_back + "\n";
}

std::optional<failure_record> parse_failure_record(std::string_view text) {
    std::array<std::string_view, 5> lines;
    for (std::string_view& line : lines) {
        const std::size_t end = text.find('\n');
        if (end == std::string_view::npos)
            return std::nullopt;
        line = text.substr(0, end);
        text.remove_prefix(end + 1);
    }
    const auto value = [](std::string_view line, std::string_view key) {
        return line.starts_with(key) ? std::optional(line.substr(key.size())) : std::nullopt;
    };
    const auto code = value(lines[1], "code ");
    const auto message = value(lines[2], "message ");
    const auto installed = value(lines[3], "installed ");
    const auto rolled_back = value(lines[4], "rolled-back ");
    if (!text.empty() || lines[0] != header || !code || !message || !installed || !rolled_back ||
        code->empty() || code->size() > 4 ||
        (*rolled_back != "no" && *rolled_back != "yes" && *rolled_back != "incomplete"))
        return std::nullopt;
    failure_record record;
    for (const char c : *code) {
        if (c < '0' || c > '9')
            return std::nullopt;
        record.code = record.code * 10 + (c - '0');
    }
    record.message = std::string(*message);
    record.installed = std::string(*installed);
    record.rolled_back = std::string(*rolled_back);
    return record;
}

void write_failure_record(const path& download_dir, const failure_record& record) noexcept {
    try {
        const std::string text = failure_record_text(record);
        const path temporary = join(download_dir, std::string(failure_record_name) + ".tmp");
        // Durable before the rename: a power cut must not leave an empty record in its place.
        if (platform::write_file(temporary, text.data(), text.size(),
                                 platform::write_mode::durable) == 0 &&
            platform::flush_tree(download_dir) == 0 &&
            platform::rename_replace(temporary, join(download_dir, failure_record_name)) == 0)
            return;
        platform::remove_entry(temporary);
    } catch (...) {
        // The record is a courtesy: its failure must not change what the run did.
    }
}

void remove_failure_record(const path& download_dir) noexcept {
    try {
        platform::remove_entry(join(download_dir, failure_record_name));
        platform::remove_entry(join(download_dir, std::string(failure_record_name) + ".tmp"));
    } catch (...) {
    }
}

std::optional<failure_record> read_failure_record(const path& download_dir) {
    std::string text;
    if (platform::read_file(join(download_dir, failure_record_name), max_record_size, text) != 0 ||
        text.size() >= max_record_size)
        return std::nullopt;
    return parse_failure_record(text);
}

} // namespace tavrel
