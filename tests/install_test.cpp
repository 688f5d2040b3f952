// The install subsystem on real files: the journal's bytes and how they are read back, the
// commit and the end of its transaction, the undo within a run, and recovery at start-up.
#include "install/commit.h"
#include "install/journal.h"
#include "install/recovery.h"
#include "install/rollback.h"
#include "install/transaction.h"
#include "platform/platform.h"
#include "staging/stage_update.h"

#include "support/case_table.h"
#include "support/temp_tree.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <stdexcept>

namespace tavrel::test {
namespace {

namespace fs = std::filesystem;

const std::string header = "Tavrel update transaction 1\n";
// The text of the error that the fault hooks inject (EIO; the same number on Windows).
const std::string injected = platform::error_description(EIO);
const std::string retained = " Backups were retained for recovery.";
const std::string not_launched = "The updated application could not be launched.";

const file_tree old_tree = {{"Tavrel.exe", "old exe"},
                            {"readme.txt", "old readme"},
                            {"obsolete.txt", "obsolete"},
                            {"keep.txt", "keep"}};
const file_tree new_tree = {{"Tavrel.exe", "new exe"},
                            {"readme.txt", "new readme"},
                            {"plugins/extra/p.dll", "plugin"},
                            {"keep.txt", "keep"}};
// The journal of the staged update: the package's files, then the removals.
const std::string update_journal = header +
                                   "1 \"Tavrel.exe\"\n0 \"plugins/extra/p.dll\"\n"
                                   "1 \"readme.txt\"\n1 \"obsolete.txt\"\n0 \"gone.txt\"\n";

const auto confirm = [](const fs::path&) { return true; };

// Appends the entries of a journal as "existed:path", separated by "|", as they are read.
void read_back(const fs::path& journal, std::string& read) {
    read_recovery_journal(journal, [&](long long existed, const std::string& p) {
        read += (read.empty() ? "" : "|") + std::to_string(existed) + ":" + p;
    });
}

// The old version installed and the new one staged (the backslash shows how messages rewrite
// separators); each case of a table starts again from SetUp.
class install : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const auto& child : fs::directory_iterator(root))
            fs::remove_all(child.path());
        for (const auto& [name, bytes] : old_tree)
            write_bytes(app / name, bytes);
        for (const auto& [name, bytes] : new_tree)
            if (name != "keep.txt")
                write_bytes(staging / "new" / name, bytes);
    }

    void prepare(update_transaction& transaction) const {
        transaction.staging_dir = staging;
        transaction.entries = {{"Tavrel.exe"},
                               {"plugins/extra/p.dll"},
                               {"readme.txt"},
                               {"obsolete.txt", false, false, true},
                               {"gone.txt", false, false, true}};
        transaction.prepared = true;
    }

    // What a commit that failed at gone.txt has moved and flagged; `kept` leaves it to recovery.
    void moved_all_but_the_last(update_transaction& transaction, bool kept = false) const {
        prepare(transaction);
        transaction.keep_for_recovery = kept;
        for (const char* name : {"Tavrel.exe", "readme.txt", "obsolete.txt"})
            write_bytes(staging / "old" / name, read_bytes(app / name));
        fs::remove(app / "obsolete.txt");
        for (const char* name : {"Tavrel.exe", "plugins/extra/p.dll", "readme.txt"}) {
            write_bytes(app / name, read_bytes(staging / "new" / name));
            fs::remove(staging / "new" / name);
        }
        for (int i : {0, 2, 3})
            transaction.entries[i].backed_up = true;
        for (int i : {0, 1, 2})
            transaction.entries[i].installed = true;
    }

    file_tree installed() const { return files_below(app, ".tavrel-update-"); }
    bool recover(std::string& error) const {
        update_transaction transaction(app);
        return recover_transaction(transaction, error);
    }

    temp_dir temp;
    const fs::path root = temp.path();
    const fs::path app = root / "we\\ird";
    const fs::path staging = app / ".tavrel-update-1-2";
};

// --- the journal -----------------------------------------------------------------------------

TEST_F(install, the_journal_holds_one_quoted_line_per_entry_and_reads_back) {
#ifdef _WIN32
    const long long odd_existed = 0; // a Windows file name cannot hold a double quote
#else
    const long long odd_existed = 1;
    write_bytes(app / "odd \"name\".txt", "odd");
#endif
    // (UTF-8 names become paths through path_from_utf8: on Windows a narrow path is not UTF-8)
    write_bytes(app / path_from_utf8("caf\xC3\xA9.txt"), "caf");
    update_transaction transaction(app);
    transaction.staging_dir = staging;
    transaction.entries = {{"Tavrel.exe"},
                           {"dir\\back.txt"},
                           {"odd \"name\".txt"},
                           {"gone.txt", false, false, true},
                           {path_from_utf8("caf\xC3\xA9.txt"), false, false, true}};
    transaction.keep_for_recovery = true;
    write_recovery_journal(transaction);
    const std::string written = read_bytes(staging / ".transaction");
    EXPECT_EQ(written, header + "1 \"Tavrel.exe\"\n0 \"dir/back.txt\"\n" +
                           std::to_string(odd_existed) +
                           " \"odd \\\"name\\\".txt\"\n0 \"gone.txt\"\n1 \"caf\xC3\xA9.txt\"\n");
    EXPECT_FALSE(fs::exists(staging / ".transaction-new"));
    std::string read;
    read_back(staging / ".transaction", read);
    EXPECT_EQ(read, "1:Tavrel.exe|0:dir/back.txt|" + std::to_string(odd_existed) +
                        ":odd \"name\".txt|0:gone.txt|1:caf\xC3\xA9.txt");
}

TEST_F(install, the_journal_reading_rules) {
    const std::string invalid = "The update recovery journal is invalid.";
    for (const case_row& c : read_cases("journal_reading")) {
        SCOPED_TRACE(c[3]);
        write_bytes(root / "j", c[1]);
        std::string read;
        EXPECT_EQ(error_of([&] { read_back(root / "j", read); }),
                  c[0] == "ok" ? "" : "The update recovery journal is " + c[0] + ".");
        EXPECT_EQ(read, c[2]);
    }
    EXPECT_EQ(error_of([&] { read_recovery_journal(root / "absent", {}); }), invalid);
    // An exception from the entry check ends the read.
    write_bytes(root / "j", header + "1 \"a\"\n1 \"b\"\n");
    int calls = 0;
    EXPECT_EQ(error_of([&] {
                  read_recovery_journal(root / "j", [&](long long, const std::string&) {
                      ++calls;
                      throw std::runtime_error("refused");
                  });
              }),
              "refused");
    EXPECT_EQ(calls, 1);
}

// --- the commit ------------------------------------------------------------------------------

TEST_F(install, a_commit_installs_backs_up_removes_and_finishes) {
    {
        update_transaction transaction(app);
        prepare(transaction);
        std::string error = "stale";
        fs::path launched;
        ASSERT_TRUE(commit_update(
            transaction,
            [&](const fs::path& executable) {
                launched = executable;
                // While the application starts, the backups and the journal are on disk.
                EXPECT_EQ(read_bytes(staging / ".transaction"), update_journal);
                EXPECT_EQ(files_below(staging / "old"), (file_tree{{"Tavrel.exe", "old exe"},
                                                                   {"readme.txt", "old readme"},
                                                                   {"obsolete.txt", "obsolete"}}));
                EXPECT_EQ(installed(), new_tree);
                EXPECT_FALSE(fs::exists(staging / ".accepted"));
                return true;
            },
            error))
            << error;
        EXPECT_EQ(error, "");
        EXPECT_EQ(launched, app / "Tavrel.exe");
        EXPECT_TRUE(transaction.committed);
        EXPECT_FALSE(transaction.keep_for_recovery);
        EXPECT_EQ(read_bytes(staging / ".accepted"), "Tavrel update backup\n");
        const bool backed_up[] = {true, false, true, true, false};
        const bool moved_in[] = {true, true, true, false, false};
        for (std::size_t i = 0; i < transaction.entries.size(); ++i) {
            EXPECT_EQ(transaction.entries[i].backed_up, backed_up[i]) << i;
            EXPECT_EQ(transaction.entries[i].installed, moved_in[i]) << i;
        }
    }
    EXPECT_FALSE(fs::exists(staging));
    EXPECT_EQ(installed(), new_tree);
}

TEST_F(install, a_transaction_that_is_not_ready_is_refused) {
    // not prepared, already committed, no handler
    for (const auto& [prepared, committed, handled] :
         {std::tuple{false, false, true}, {true, true, true}, {true, false, false}}) {
        const tree_snapshot before = snapshot_tree(root);
        update_transaction transaction(app);
        prepare(transaction);
        transaction.prepared = prepared;
        transaction.committed = committed;
        transaction.keep_for_recovery = true; // the end of the transaction must not clean up
        std::string error;
        bool called = false;
        relaunch_callable handler;
        if (handled)
            handler = [&](const fs::path&) { return called = true; };
        EXPECT_FALSE(commit_update(transaction, handler, error));
        EXPECT_EQ(error, "The update is not prepared or has no relaunch handler.");
        EXPECT_FALSE(called);
        EXPECT_EQ(snapshot_tree(root), before);
    }
}

TEST_F(install, a_commit_failing_before_acceptance_restores_the_previous_files) {
    const placeholders paths = {
        {"{injected}", injected},
        {"{staged p.dll}", (staging / "new" / "plugins/extra/p.dll").string()},
        {"{installed p.dll}", (app / "plugins/extra/p.dll").string()},
        {"{backups}", (staging / "old").string()}};
    for (const case_row& c : read_cases("commit_failures")) {
        SCOPED_TRACE(c[3]);
        SetUp();
        const bool conflict = c[1] == "conflict";
        if (conflict)
            write_bytes(app / "plugins", "not a directory");
        const file_tree before = installed();
        {
            injected_failure fault(c[0] == "-" ? "" : c[0]);
            update_transaction transaction(app);
            prepare(transaction);
            std::string error;
            EXPECT_FALSE(commit_update(
                transaction,
                [&](const fs::path&) {
                    if (c[1] == "throw")
                        throw std::runtime_error("application exploded");
                    return c[1] != "refuse";
                },
                error));
            EXPECT_EQ(error, expand(c[2], paths));
            EXPECT_FALSE(transaction.prepared || transaction.committed ||
                         transaction.keep_for_recovery);
            for (const auto& entry : transaction.entries)
                EXPECT_FALSE(entry.backed_up || entry.installed) << entry.relative_path;
            EXPECT_EQ(installed(), before);
            EXPECT_FALSE(conflict &&
                         (fs::exists(staging / ".transaction") || fs::exists(staging / "old")));
        }
        EXPECT_FALSE(fs::exists(staging));
        EXPECT_EQ(installed(), before);
        // Directories the update created stay, empty, after an undo.
        EXPECT_TRUE(c[0] != "-" || conflict || fs::is_empty(app / "plugins" / "extra"));
    }
}

TEST_F(install, a_commit_whose_finish_fails_is_settled_by_the_acceptance_marker) {
    for (const case_row& c : read_cases("commit_finishes")) {
        SCOPED_TRACE(c[4]);
        SetUp();
        const bool kept = c[1] == "1", journal_left = c[2] == "1", marker_left = c[3] == "1";
        {
            injected_failure fault(c[0]);
            update_transaction transaction(app);
            prepare(transaction);
            std::string error;
            EXPECT_TRUE(commit_update(transaction, confirm, error));
            // Kept: the acceptance may not be on disk, and the user hears of it.
            EXPECT_EQ(error.starts_with("The update was installed and started, but it could not "
                                        "be recorded on the disk ("),
                      kept)
                << error;
            EXPECT_EQ(error.empty(), !kept);
            EXPECT_EQ(transaction.keep_for_recovery, kept);
        }
        EXPECT_EQ(installed(), new_tree);
        EXPECT_EQ(fs::exists(staging / ".transaction"), journal_left);
        EXPECT_TRUE(!kept || read_bytes(staging / ".transaction") == update_journal);
        EXPECT_EQ(fs::exists(staging / ".accepted"), marker_left);
        // A later recovery undoes a journal without its marker, and finishes the clean-up of an
        // accepted directory.
        std::string error;
        EXPECT_TRUE(recover(error)) << error;
        EXPECT_EQ(installed(), journal_left && !marker_left ? old_tree : new_tree);
        EXPECT_FALSE(fs::exists(staging));
    }
    // The removal itself tolerates a directory that is already gone.
    remove_transaction_directory(staging, true);
    remove_transaction_directory(staging, false);
}

// --- the undo within a run -------------------------------------------------------------------

TEST_F(install, the_undo_restores_what_the_flags_say_and_keeps_what_it_cannot) {
    const std::string sentence = " Previous files could not all be restored; backups remain in " +
                                 root.generic_string() + "/we/ird/.tavrel-update-1-2.";
    for (const case_row& c : read_cases("undo_failures")) {
        SCOPED_TRACE(c[5]);
        SetUp();
        file_tree files = old_tree;
        for (const std::string& change : split(expand(c[4], {{"{s}", ".tavrel-update-1-2"}}), '|'))
            if (change.starts_with('-'))
                files.erase(change.substr(1));
            else
                files[change.substr(0, change.find('='))] = change.substr(change.find('=') + 1);
        const int stuck = std::stoi(c[1]);
        const bool restorable = c[0] == "-";
        {
            update_transaction transaction(app);
            moved_all_but_the_last(transaction);
            std::string error = not_launched;
            {
                injected_failure fault(restorable ? "" : c[0]);
                EXPECT_EQ(restore_backups(transaction, error), restorable);
            }
            EXPECT_EQ(error, not_launched + (restorable ? "" : sentence));
            EXPECT_EQ(transaction.keep_for_recovery, !restorable);
            for (int i = 0; i < 5; ++i) {
                EXPECT_EQ(transaction.entries[i].installed, i == stuck && c[2] == "1") << i;
                EXPECT_EQ(transaction.entries[i].backed_up, i == stuck && c[3] == "1") << i;
            }
            EXPECT_EQ(files_below(app), files);
            // A second undo finds nothing more to do.
            if (restorable) {
                write_bytes(app / "plugins/extra/p.dll", "must stay");
                EXPECT_TRUE(restore_backups(transaction, error));
                EXPECT_EQ(read_bytes(app / "plugins/extra/p.dll"), "must stay");
                fs::remove(app / "plugins/extra/p.dll");
            }
        }
        // Only a whole undo removes the staging directory; the next recovery finishes the rest.
        EXPECT_EQ(fs::exists(staging), !restorable);
        write_bytes(staging / ".transaction", update_journal);
        std::string error;
        EXPECT_TRUE(recover(error)) << error;
        EXPECT_EQ(files_below(app), old_tree);
    }
    // The end of an unfinished transaction undoes it by itself, and cleans up.
    SetUp();
    {
        update_transaction transaction(app);
        moved_all_but_the_last(transaction);
    }
    EXPECT_EQ(files_below(app), old_tree);
}

// --- recovery at start-up --------------------------------------------------------------------

TEST_F(install, recovery_undoes_each_entry_from_what_is_on_disk) {
    fs::remove_all(staging);
    const fs::path other = app / ".tavrel-update-3-4";
    write_bytes(app / "restored.txt", "new restored");
    write_bytes(staging / "old" / "restored.txt", "old restored");
    write_bytes(app / "not_moved.txt", "not ours");
    write_bytes(staging / "new" / "not_moved.txt", "staged, never moved in");
    write_bytes(app / "moved" / "in.txt", "moved in");
    write_bytes(staging / "old" / "deleted.txt", "deleted by the update");
    write_bytes(staging / ".transaction", header + "1 \"restored.txt\"\n1 \"keep.txt\"\n"
                                                   "0 \"not_moved.txt\"\n0 \"moved/in.txt\"\n"
                                                   "1 \"deleted.txt\"\n0 \"never.txt\"\n");
    write_bytes(app / "readme.txt", "new readme");
    write_bytes(other / "old" / "readme.txt", "old readme");
    write_bytes(other / ".transaction", header + "1 \"readme.txt\"\n");
    std::string error = "stale";
    EXPECT_TRUE(recover(error)) << error;
    EXPECT_EQ(error, "");
    EXPECT_EQ(files_below(app), (old_tree + file_tree{{"restored.txt", "old restored"},
                                                      {"not_moved.txt", "not ours"},
                                                      {"deleted.txt", "deleted by the update"}}));
    const tree_snapshot after = snapshot_tree(app);
    EXPECT_TRUE(recover(error)) << error;
    EXPECT_EQ(snapshot_tree(app), after);
}

TEST_F(install, recovery_considers_only_staging_directories_it_may_undo) {
    const std::string journal = header + "0 \"keep.txt\"\n";
    write_bytes(app / ".TAVREL-UPDATE-1-1" / ".transaction", journal);
    write_bytes(app / ".tavrel-updat" / ".transaction", journal);
    write_bytes(app / ".tavrel-update-file", journal);
    write_bytes(app / "sub" / ".tavrel-update-1-1" / ".transaction", journal);
#ifndef _WIN32
    write_bytes(root / "outside" / ".transaction", journal);
    fs::create_directory_symlink(root / "outside", app / ".tavrel-update-link");
#endif
    // Copies staged by runs that crashed before their journal existed would fill the disk.
    write_bytes(staging / ".transaction-new", journal);
    const tree_snapshot before = snapshot_tree(root);
    std::string error;
    EXPECT_TRUE(recover(error)) << error;
    tree_snapshot expected = before;
    std::erase_if(expected, [gone = staging.lexically_relative(root).generic_string()](
                                const auto& node) { return node.first.starts_with(gone); });
    EXPECT_EQ(snapshot_tree(root), expected);
}

TEST_F(install, only_a_valid_acceptance_marker_keeps_a_transaction) {
    for (const case_row& c : read_cases("acceptance_markers")) {
        SCOPED_TRACE(c[2]);
#ifdef _WIN32
        if (c[1] == "<link>")
            continue; // Wine makes no symbolic links
#endif
        SetUp();
        update_transaction transaction(app);
        moved_all_but_the_last(transaction, true);
        write_bytes(staging / ".transaction", update_journal);
        const fs::path marker = staging / ".accepted";
        if (c[1] == "<dir>") {
            fs::create_directories(marker);
        } else if (c[1] == "<link>") {
            write_bytes(root / "valid", "Tavrel update backup\n");
            fs::create_symlink(root / "valid", marker);
        } else {
            write_bytes(marker, c[1]);
        }
        const bool kept = c[0] == "kept";
        EXPECT_EQ(has_acceptance_marker(staging), kept);
        const tree_snapshot before = snapshot_tree(app, staging_directory_prefix);
        std::string error;
        EXPECT_TRUE(recover(error)) << error;
        if (kept) { // the accepted update stands, its staging directory goes
            EXPECT_EQ(snapshot_tree(app), before);
        } else {
            EXPECT_EQ(files_below(app), old_tree);
        }
    }
    EXPECT_FALSE(has_acceptance_marker(root / "absent"));

    // A marker that cannot be read (after the retries) is an error that changes nothing.
    SetUp();
    update_transaction transaction(app);
    moved_all_but_the_last(transaction, true);
    write_bytes(staging / ".transaction", update_journal);
    write_bytes(staging / ".accepted", "Tavrel update backup\n");
    const tree_snapshot before = snapshot_tree(app);
    std::string error;
    {
        const injected_failure unreadable("read:1");
        EXPECT_FALSE(recover(error));
    }
    EXPECT_TRUE(error.starts_with("read: ") &&
                error.ends_with(".accepted\" Backups were retained for recovery."))
        << error;
    EXPECT_EQ(snapshot_tree(app), before);
}

TEST_F(install, refused_journals_change_nothing) {
    std::uint64_t size = 0; // the system's words for a directory where a file should be
    std::string many;
    for (int i = 0; i < 20001; ++i)
        many += "0 \"f" + std::to_string(i) + "\"\n";
    const std::string first = header + "1 \"Tavrel.exe\"\n";
    const placeholders values = {
        {"{first}", first},
        {"{many}", many},
        {"{journal}", (staging / ".transaction").string()},
        {"{directory error}", platform::error_description(platform::query_file_size(root, size))}};
    for (const case_row& row : read_cases("refused_journals")) {
        SCOPED_TRACE(row[2]);
        const std::string journal_text = expand(row[0], values);
#ifdef _WIN32
        if (row[2].find("link") != std::string::npos)
            continue; // Wine makes no symbolic links
#endif
        SetUp();
        update_transaction transaction(app);
        moved_all_but_the_last(transaction, true);
        const fs::path journal = staging / ".transaction";
#ifndef _WIN32
        fs::create_directories(root / "elsewhere");
        fs::create_directory_symlink(root / "elsewhere", app / "linked");
        fs::create_directory_symlink(root / "elsewhere", staging / "new" / "sub");
        if (journal_text == "<link>") {
            write_bytes(root / "valid", first);
            fs::create_symlink(root / "valid", journal);
        } else if (journal_text == "<old link>") {
            write_bytes(journal, first);
            fs::rename(staging / "old", root / "old elsewhere");
            fs::create_directory_symlink(root / "old elsewhere", staging / "old");
        }
#endif
        if (journal_text == "<dir>") {
            fs::create_directories(journal);
        } else if (journal_text == "<big>") {
            std::string big = first;
            big.resize(4194305, ' ');
            write_bytes(journal, big);
        } else if (!journal_text.starts_with("<")) {
            write_bytes(journal, journal_text);
        }
        const tree_snapshot before = snapshot_tree(root);
        std::string error;
        EXPECT_FALSE(recover(error));
        EXPECT_EQ(error, expand(row[1], values) + retained);
        EXPECT_EQ(snapshot_tree(root), before);
    }
}

TEST_F(install, journals_at_their_limits_are_read) {
    // 20,000 entries: the update's five and 19,995 files that it added, one of them installed.
    std::string many = update_journal;
    for (int i = 5; i < 20000; ++i)
        many += "0 \"d/f" + std::to_string(i) + "\"\n";
    // 4,194,304 bytes: the entries followed by blank lines.
    std::string big = update_journal;
    big.resize(4194304, '\n');
    for (const std::string& journal : {many, big}) {
        SetUp();
        update_transaction transaction(app);
        moved_all_but_the_last(transaction, true);
        write_bytes(staging / ".transaction", journal);
        if (journal == many)
            write_bytes(app / "d" / "f7", "added by the update");
        std::string error;
        EXPECT_TRUE(recover(error)) << error;
        EXPECT_EQ(files_below(app), old_tree);
    }
}

} // namespace
} // namespace tavrel::test
