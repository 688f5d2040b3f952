// Recovery of an interrupted installation whose journal is the input. Whatever the journal
// says, recovery never throws, never touches anything outside the installation, and never
// puts a file into it that was neither installed nor backed up.
#include "fuzz_support.h"
#include "install/journal.h"
#include "install/recovery.h"
#include "install/transaction.h"

using namespace tavrel;
using namespace tavrel::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const fs::path root = work_dir() / "recovery";
    static const std::string staging = "app/.tavrel-update-1-1";
    static const std::string journal = staging + "/" + journal_file_name;
    // Most journals are refused before anything changes; then only the journal is rewritten,
    // and the tree is known without listing it.
    static test::tree_snapshot built;
    static bool pristine = false;
    if (!pristine) {
        // Mid-commit, as a crash leaves it, with links to the outside in every tree. Replaced:
        // Tavrel.exe, lib/a.dll; added: added.txt; removed: notes.txt; not moved in: pending.txt.
        fs::remove_all(root);
        const test::file_tree files = {{"app/Tavrel.exe", "new executable"},
                                       {"app/lib/a.dll", "new library"},
                                       {"app/added.txt", "added by the update"},
                                       {"app/keep.txt", "kept"},
                                       {staging + "/old/Tavrel.exe", "old executable"},
                                       {staging + "/old/lib/a.dll", "old library"},
                                       {staging + "/old/notes.txt", "removed by the update"},
                                       {staging + "/new/pending.txt", "not moved in yet"},
                                       {"outside/sentinel", "outside the installation"}};
        for (const auto& [file, bytes] : files)
            test::write_bytes(root / file, bytes);
        fs::create_directory_symlink("../outside", root / "app/link");
        fs::create_symlink("../../../outside/sentinel", root / staging / "old/evil");
        fs::create_directory_symlink("../../../outside", root / staging / "new/link2");
        built = test::snapshot_tree(root);
    }
    const std::string text(as_text(data, size));
    test::write_bytes(root / journal, text);
    test::tree_snapshot before = built;
    before[journal] = test::file_node(text);

    std::string error = "left over";
    bool recovered = false;
    {
        update_transaction transaction(root / "app");
        recovered = recover_transaction(transaction, error);
    }
    report(recovered ? "recovered" : error);
    require(recovered == error.empty(), "the result and the error text disagree");
    constexpr std::string_view retained = " Backups were retained for recovery.";
    require(recovered || (error.size() > retained.size() && error.ends_with(retained)),
            "a failure does not say that the backups were retained");
    // Journaled and not accepted: a successful recovery undoes it and removes its directory.
    require(!recovered || !fs::exists(fs::symlink_status(root / staging)),
            "a recovered staging directory is still there");

    const test::tree_snapshot after = test::snapshot_tree(root);
    pristine = after == before;
    for (const auto& [name, node] : after) {
        const auto old = before.find(name);
        if ((old != before.end() && old->second == node) || name.starts_with(staging + "/"))
            continue;
        require(name.starts_with("app/"), "recovery changed " + name + " beside the installation");
        // What stands there now must be a backup put back in its place.
        const auto backup = before.find(staging + "/old/" + name.substr(4));
        require(node.type != test::node_type::symlink && backup != before.end() &&
                    backup->second == node,
                "recovery made " + name + ", which was neither installed nor backed up");
    }
    for (const auto& [name, node] : before)
        require(!name.starts_with("outside") || (after.contains(name) && after.at(name) == node),
                "recovery changed " + name + " beside the installation");
    if (!recovered)
        return 0;
    // The undo: a journaled path holds its backup again or, added and no longer staged, is gone.
    test::write_bytes(work_dir() / "journal", text);
    read_recovery_journal(work_dir() / "journal", [&](long long existed, const std::string& p) {
        const auto backup = before.find(staging + "/old/" + p);
        const auto now = after.find("app/" + p);
        if (backup != before.end() && backup->second.type == test::node_type::file)
            require(now != after.end() && now->second == backup->second,
                    "recovery did not put back the backup of " + p);
        else if (!existed && !before.contains(staging + "/new/" + p))
            require(now == after.end(), "recovery left " + p + ", which the update added");
    });
    return 0;
}
