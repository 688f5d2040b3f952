#include "install/journal.h"

#include "common/paths.h"

#include <iomanip>
#include <istream>
#include <sstream>
#include <stdexcept>

namespace tavrel {

namespace {

constexpr char temporary_journal_name[] = ".transaction-new";

} // namespace

void write_recovery_journal(const update_transaction& transaction) {
    // Built whole in memory, written under another name, forced to disk and only then renamed:
    // a crash leaves either no journal (nothing was moved yet) or the complete one.
    std::string content = journal_header;
    content += '\n';
    // "Existed": a file stands there that the commit backs up; a directory that a removal
    // empties is cleared instead, and the undo brings it back with the files restored into it.
    for (const update_entry& entry : transaction.entries) {
        const path target = join(transaction.app_dir, entry.relative_path);
        content += journal_entry_line(path_exists(target) && !tavrel::is_directory(target),
                                      entry.relative_path);
    }
    const path temporary = join(transaction.staging_dir, temporary_journal_name);
    if (platform::write_file(temporary, content.data(), content.size()) != 0)
        throw std::runtime_error("Could not write the update recovery journal.");
    flush_file_to_disk(temporary);
    if (platform::rename_replace(temporary, join(transaction.staging_dir, journal_file_name)) != 0)
        throw std::runtime_error("Could not write the update recovery journal.");
    // Its new name too, before the first move.
    if (platform::flush_directory(transaction.staging_dir) != 0)
        throw std::runtime_error("Could not save the update recovery journal.");
}

void flush_file_to_disk(const path& file) {
    switch (platform::flush_file(file)) {
    case platform::flush_result::ok:
        return;
    case platform::flush_result::open_failed:
        throw std::runtime_error("Could not open the update recovery journal.");
    case platform::flush_result::flush_failed:
        break;
    }
    throw std::runtime_error("Could not save the update recovery journal.");
}

void read_recovery_journal(
    const path& file,
    const std::function<void(long long existed, const std::string& path)>& on_entry) {
    // A file that cannot be read (after the retries of a file that another program holds for
    // a moment) reads as an empty header line.
    std::string content;
    if (platform::read_file(file, static_cast<std::size_t>(max_journal_size), content) != 0)
        content.clear();
    std::istringstream in(content);
    std::string header;
    std::getline(in, header);
    if (header != journal_header)
        throw std::runtime_error("The update recovery journal is invalid.");
    bool any = false;
    in >> std::ws;
    while (in.peek() != std::istream::traits_type::eof()) {
        long long existed = 0;
        std::string text;
        in >> existed >> std::quoted(text, '"', '\\');
        if (!in)
            throw std::runtime_error("The update recovery journal is incomplete.");
        on_entry(existed, text);
        any = true;
        in >> std::ws;
    }
    if (!any)
        throw std::runtime_error("The update recovery journal is incomplete.");
}

} // namespace tavrel
