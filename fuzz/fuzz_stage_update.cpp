// Staging into a fixed installation, from an update archive or, when the input begins with a
// line feed, from well-formed entries (see parse_package) to get past the ZIP checks. Afterwards
// nothing in or beside the installation has changed, and a staged update named safe paths staged
// as plain files (holding their described entries' bytes).
#include "fuzz_support.h"
#include "staging/package_path.h"
#include "staging/stage_update.h"
#include "support/zip_builder.h"

namespace {

using namespace tavrel;
using namespace tavrel::fuzz;

// One entry a line: a flag byte, the name, a tab, the content (empty without a tab). The
// flag's low bits: 1 directory entry, 2 deflated, 4 Unix symbolic link, 8 DOS directory
// attribute, 16 the package file manifest of every other file entry (or, if the content is not
// empty, of the paths that the content lists separated by "|").
std::vector<test::zip_entry_spec> parse_package(std::string_view description) {
    std::vector<test::zip_entry_spec> entries;
    std::vector<std::size_t> manifests;
    for (std::size_t start = 0, end = 0; end != std::string_view::npos; start = end + 1) {
        end = description.find('\n', start);
        const std::string_view line = description.substr(start, end - start);
        if (line.empty())
            continue;
        const unsigned flags = static_cast<unsigned char>(line[0]);
        const std::size_t tab = line.find('\t', 1);
        const std::string name(line.substr(1, tab - 1));
        const std::string content(tab == std::string_view::npos ? "" : line.substr(tab + 1));
        const bool file = (flags & 5) == 0;
        entries.push_back(
            flags & 4   ? test::symlink_entry(name, content)
            : flags & 1 ? test::directory_entry(name)
                        : test::file_entry(name, content,
                                           flags & 2 ? test::zip_deflated : test::zip_stored));
        entries.back().external_attributes |= file && (flags & 8) ? 0x10 : 0;
        if (file && (flags & 16))
            manifests.push_back(entries.size() - 1);
    }
    for (const std::size_t index : manifests) {
        std::vector<std::string> paths;
        const std::string& listed = entries[index].content;
        for (std::size_t i = 0; listed.empty() && i < entries.size(); ++i)
            if (i != index && entries[i].external_attributes == 0)
                paths.push_back(entries[i].name);
        for (std::size_t start = 0, bar = 0; !listed.empty() && bar != std::string::npos;
             start = bar + 1)
            paths.push_back(listed.substr(start, (bar = listed.find('|', start)) - start));
        try {
            entries[index].content = test::package_manifest_bytes(paths);
        } catch (const std::exception&) {
            entries[index].content = "not UTF-8";
        }
    }
    return entries;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // root/app: an installation with a link to root/outside, which no update may touch.
    static const fs::path root = work_dir() / "stage";
    static const test::tree_snapshot before = [] {
        const test::file_tree files = {
            {"app/Tavrel.exe", "installed executable"},
            {"app/readme.txt", "installed readme"},
            {"app/lib/old.dll", "installed library"},
            {"app/.tavrel-package-files.txt",
             test::package_manifest_bytes({"Tavrel.exe", "readme.txt", "lib/old.dll"})},
            {"outside/sentinel", "outside the installation"}};
        for (const auto& [file, bytes] : files)
            test::write_bytes(root / file, bytes);
        fs::create_directory_symlink("../outside", root / "app/link");
        return test::snapshot_tree(root);
    }();
    std::string archive(as_text(data, size));
    test::file_tree contents; // of a described package: name -> bytes
    const bool described = archive.starts_with('\n');
    if (described) {
        const std::vector<test::zip_entry_spec> entries = parse_package(archive);
        for (const auto& entry : entries)
            contents.emplace(entry.name, entry.content);
        archive = test::build_zip(entries);
    }
    {
        update_transaction transaction(root / "app");
        std::string error = "left over";
        const bool staged = stage_update(
            transaction, {reinterpret_cast<const unsigned char*>(archive.data()), archive.size()},
            error);
        report(staged ? "staged" : error);
        require(staged == error.empty(), "the result and the error text disagree");
        if (staged) {
            const fs::path app = root / "app", staging = transaction.staging_dir;
            require(transaction.prepared && staging.parent_path() == app &&
                        staging.filename().string().starts_with(staging_directory_prefix),
                    "staged, but not prepared in a staging directory of the installation");
            require(fs::is_regular_file(fs::symlink_status(staged_executable_path(transaction))),
                    "Tavrel.exe was not staged");
            for (const update_entry& entry : transaction.entries) {
                const std::string text = path_to_utf8(entry.relative_path);
                require(is_safe_package_path(text) && text.back() != '/',
                        "an entry has an unsafe path: " + text);
                const fs::path file = staging / "new" / entry.relative_path;
                require(entry.remove ? fs::exists(app / entry.relative_path)
                                     : fs::is_regular_file(fs::symlink_status(file)),
                        "missing or not a plain file: " + text);
                require(
                    entry.remove || !described ||
                        (contents.contains(text) && test::read_bytes(file) == contents.at(text)),
                    "staged with other bytes than its entry's: " + text);
            }
        }
    } // its end removes the staging directory
    const test::tree_snapshot after = test::snapshot_tree(root);
    std::string changed;
    for (const auto& [name, node] : after)
        changed += before.contains(name) && before.at(name) == node ? "" : " " + name;
    for (const auto& [name, node] : before)
        changed += after.contains(name) ? "" : " " + name;
    require(changed.empty(), "staging left these changed or gone:" + changed);
    return 0;
}
