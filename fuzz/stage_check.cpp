#include "stage_check.h"

#include "common/paths.h"
#include "fuzz_support.h"
#include "install/transaction.h"
#include "staging/package_path.h"
#include "staging/stage_update.h"

namespace tavrel::fuzz {

namespace {

void check_staged(const update_transaction& transaction, const fs::path& app,
                  const std::map<std::string, std::string>* expected_contents) {
    require(transaction.prepared, "staged but not prepared");
    const fs::path staging = transaction.staging_dir;
    require(staging.parent_path() == app &&
                staging.filename().string().starts_with(staging_directory_prefix),
            "the staging directory is not a child of the installation");
    require(fs::is_regular_file(fs::symlink_status(staged_executable_path(transaction))),
            "Tavrel.exe was not staged");
    for (const update_entry& entry : transaction.entries) {
        const std::string text = path_to_utf8(entry.relative_path);
        require(is_safe_package_path(text) && text.back() != '/',
                "an entry has an unsafe path: " + text);
        if (entry.remove) {
            require(fs::exists(app / entry.relative_path), "a removal names a missing file");
            continue;
        }
        const fs::path staged = staging / "new" / entry.relative_path;
        require(fs::is_regular_file(fs::symlink_status(staged)),
                "an entry was not staged as a plain file: " + text);
        if (expected_contents) {
            const auto expected = expected_contents->find(text);
            require(expected != expected_contents->end(),
                    "a file was staged under a name that the archive does not hold: \"" + text +
                        "\"");
            require(read_file(staged) == expected->second,
                    "a file was staged with other bytes than the archive's: " + text);
        }
    }
}

} // namespace

void stage_and_check(std::string_view archive,
                     const std::map<std::string, std::string>* expected_contents) {
    static const fs::path root = [] {
        const fs::path r = work_dir() / "stage";
        build_installation(r);
        return r;
    }();
    static const listing before = list_tree(root);
    {
        update_transaction transaction(root / "app");
        std::string error = "left over";
        const bool staged = stage_update(
            transaction,
            std::span(reinterpret_cast<const unsigned char*>(archive.data()), archive.size()),
            error);
        report(staged ? "staged " + std::to_string(transaction.entries.size()) + " entries"
                      : error);
        require(staged == error.empty(), "the result and the error text disagree");
        if (staged)
            check_staged(transaction, root / "app", expected_contents);
        // The transaction's end removes its staging directory.
    }
    const listing after = list_tree(root);
    require(after == before,
            "staging left the installation changed:\n" + describe_difference(before, after));
}

std::vector<test::zip_entry_spec> parse_package(std::string_view description) {
    std::vector<test::zip_entry_spec> entries;
    std::vector<std::size_t> manifests;
    while (!description.empty()) {
        const std::size_t end = description.find('\n');
        std::string_view line = description.substr(0, end);
        description =
            end == std::string_view::npos ? std::string_view() : description.substr(end + 1);
        if (line.empty())
            continue;
        const unsigned flags = static_cast<unsigned char>(line[0]);
        line.remove_prefix(1);
        const std::size_t tab = line.find('\t');
        std::string name(line.substr(0, tab));
        std::string content(tab == std::string_view::npos ? std::string_view()
                                                          : line.substr(tab + 1));
        test::zip_entry_spec entry;
        if (flags & 4) {
            entry = test::symlink_entry(std::move(name), std::move(content));
        } else if (flags & 1) {
            entry = test::directory_entry(std::move(name));
        } else {
            entry = test::file_entry(std::move(name), std::move(content),
                                     (flags & 2) ? test::zip_deflated : test::zip_stored);
            if (flags & 8)
                entry.external_attributes |= 0x10;
            if (flags & 16)
                manifests.push_back(entries.size());
        }
        entries.push_back(std::move(entry));
    }
    for (const std::size_t index : manifests) {
        std::vector<std::string> paths;
        std::string_view listed = entries[index].content;
        if (listed.empty()) {
            for (std::size_t i = 0; i < entries.size(); ++i)
                if (i != index && entries[i].external_attributes == 0)
                    paths.push_back(entries[i].name);
        } else {
            for (std::size_t bar; (bar = listed.find('|')) != std::string_view::npos;
                 listed.remove_prefix(bar + 1))
                paths.emplace_back(listed.substr(0, bar));
            paths.emplace_back(listed);
        }
        try {
            entries[index].content = manifest_bytes(paths);
        } catch (const std::exception&) {
            entries[index].content = "not UTF-8";
        }
    }
    return entries;
}

} // namespace tavrel::fuzz
