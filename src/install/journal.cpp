#include "install/journal.h"

#include "common/paths.h"

#include <fstream>
#include <iomanip>
#include <istream>
#include <stdexcept>

namespace tavrel {

namespace {

constexpr char journal_header[] = "Tavrel update transaction 1";

// The quoted form that std::quoted with '"' and '\\' reads back unchanged.
void append_quoted(std::string& out, const std::string& text) {
    out += '"';
    for (const char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    out += '"';
}

} // namespace

void write_recovery_journal(const update_transaction& transaction) {
    // Built whole in memory and written in one call, so that a failure leaves no half-written
    // entry behind that a reader could take for a complete journal.
    std::string content = journal_header;
    content += '\n';
    for (const update_entry& entry : transaction.entries) {
        std::string text = path_to_utf8(entry.relative_path);
        for (char& c : text)
            if (c == '\\')
                c = '/';
        const bool existed = path_exists(join(transaction.app_dir, entry.relative_path));
        content += existed ? '1' : '0';
        content += ' ';
        append_quoted(content, text);
        content += '\n';
    }
    const path journal = join(transaction.staging_dir, journal_file_name);
    if (platform::write_file(journal, content.data(), content.size()) != 0)
        throw std::runtime_error("Could not write the update recovery journal.");
    flush_file_to_disk(journal);
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
    std::ifstream in(file, std::ios::in | std::ios::binary);
    std::string header;
    // A file that cannot be opened reads as an empty header line.
    if (in.is_open())
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
