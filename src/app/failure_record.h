// The failure record: after a failure that it shows once the application has exited, the
// updater leaves "failure.txt" in the download directory (which it keeps then), so that the
// application it starts again can tell a failed update from a normal start. UTF-8, "\n" line
// ends:
//
//   Tavrel update failure 1
//   code 4                        stable, one per distinct failure, never reused
//   message <the message shown>   on one line
//   installed 2.0.3               the version of the installed Tavrel.exe after the run, or
//                                 "unknown" when it cannot be read
//   rolled-back no                "no" (no installed file had moved), "yes" (the moves were
//                                 undone) or "incomplete" (backups remain for a later run)
//
// Written under a temporary name and renamed into place, so that a reader finds it whole or not
// at all. It holds no secret and nothing of the archive.
#pragma once

#include "common/paths.h"

#include <optional>
#include <string>
#include <string_view>

namespace tavrel {

inline constexpr char failure_record_name[] = "failure.txt";

struct failure_record {
    int code = 0;
    std::string message;
    std::string installed = "unknown";
    std::string rolled_back = "no";
};

// The stable code of a message that the updater shows (see the README's table).
int failure_code(std::string_view message);

std::string failure_record_text(const failure_record& record);
// Nothing unless `text` is a whole record as written above.
std::optional<failure_record> parse_failure_record(std::string_view text);

// The record written whole or not at all; a failure to write it changes nothing else.
void write_failure_record(const path& download_dir, const failure_record& record) noexcept;
// A record of an earlier run, gone before this run begins (errors ignored).
void remove_failure_record(const path& download_dir) noexcept;
// The record in `download_dir`, if there is a whole one.
std::optional<failure_record> read_failure_record(const path& download_dir);

} // namespace tavrel
