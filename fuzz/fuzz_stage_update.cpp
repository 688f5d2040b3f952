// Staging into a fixed installation, from an update archive or, when the input begins with a
// line feed, from well-formed entries (a described package) to get past the ZIP checks. Afterwards
// nothing in or beside the installation has changed, and a staged update named safe paths staged
// as plain files (holding their described entries' bytes).
#include "fuzz_support.h"
#include "install/transaction.h"
#include "staging/package_path.h"
#include "staging/stage_update.h"
#include "support/zip_builder.h"

using namespace tavrel;
using namespace tavrel::fuzz;

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
        const std::vector<test::zip_entry_spec> entries = test::described_package(archive);
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
