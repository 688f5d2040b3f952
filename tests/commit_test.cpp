// The commit of a staged update and the end of its transaction, on real files.
#include "install/commit.h"
#include "install/journal.h"
#include "install/recovery.h"

#include "support/temp_tree.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <set>
#include <stdexcept>
#include <string>

namespace {

namespace fs = std::filesystem;
using file_tree = std::map<std::string, std::string>;

using tavrel::test::read_bytes;

// The text of the error that the fault hooks inject (EIO; the same number on Windows).
const std::string injected = platform::error_description(EIO);

// Writes a file, creating the directories it needs.
void write_bytes(const fs::path& p, const std::string& bytes) {
    fs::create_directories(p.parent_path());
    tavrel::test::write_bytes(p, bytes);
}

// Regular files below `root` by relative path; staging directories are left out.
file_tree installed_files(const fs::path& root) {
    file_tree tree;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::end(it); ++it) {
        const std::string relative = it->path().lexically_relative(root).generic_string();
        if (relative.starts_with(".tavrel-update-")) {
            it.disable_recursion_pending();
            continue;
        }
        if (it->is_regular_file())
            tree[relative] = read_bytes(it->path());
    }
    return tree;
}

file_tree all_files(const fs::path& root) {
    file_tree tree;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file())
            tree[entry.path().lexically_relative(root).generic_string()] = read_bytes(entry.path());
    return tree;
}

const file_tree old_tree = {{"Tavrel.exe", "old exe"},
                            {"readme.txt", "old readme"},
                            {"obsolete.txt", "obsolete"},
                            {"keep.txt", "keep"}};
const file_tree new_tree = {{"Tavrel.exe", "new exe"},
                            {"readme.txt", "new readme"},
                            {"plugins/extra/p.dll", "plugin"},
                            {"keep.txt", "keep"}};
const char expected_journal[] = "Tavrel update transaction 1\n"
                                "1 \"Tavrel.exe\"\n"
                                "0 \"plugins/extra/p.dll\"\n"
                                "1 \"readme.txt\"\n"
                                "1 \"obsolete.txt\"\n"
                                "0 \"gone.txt\"\n";

class commit_test : public ::testing::Test {
  protected:
    void SetUp() override {
        // Cases in a loop start again from here, in the same temporary directory.
        for (const auto& child : fs::directory_iterator(root))
            fs::remove_all(child.path());
        app = root / "app";
        staging = app / ".tavrel-update-1-2";
        for (const auto& [name, bytes] : old_tree)
            write_bytes(app / name, bytes);
        write_bytes(staging / "new" / "Tavrel.exe", "new exe");
        write_bytes(staging / "new" / "readme.txt", "new readme");
        write_bytes(staging / "new" / "plugins" / "extra" / "p.dll", "plugin");
    }

    // What staging would have prepared: the package's files, then the removals.
    void prepare(tavrel::update_transaction& transaction) const {
        transaction.staging_dir = staging;
        transaction.entries = {{"Tavrel.exe"},
                               {"plugins/extra/p.dll"},
                               {"readme.txt"},
                               {"obsolete.txt", false, false, true},
                               {"gone.txt", false, false, true}};
        transaction.prepared = true;
    }

    tavrel::test::temp_dir temp;
    fs::path root = temp.path();
    fs::path app, staging;
};

const auto confirm = [](const fs::path&) { return true; };

TEST_F(commit_test, refuses_a_transaction_that_is_not_ready) {
    struct case_data {
        const char* name;
        bool prepared;
        bool committed;
        bool with_handler;
    };
    for (const case_data& c : {case_data{"not prepared", false, false, true},
                               case_data{"already committed", true, true, true},
                               case_data{"no handler", true, false, false}}) {
        SCOPED_TRACE(c.name);
        const file_tree before = all_files(root);
        {
            tavrel::update_transaction transaction(app);
            prepare(transaction);
            transaction.prepared = c.prepared;
            transaction.committed = c.committed;
            transaction.keep_for_recovery = true; // the end of the transaction must not clean up
            std::string error = "stale";
            bool called = false;
            tavrel::relaunch_callable handler;
            if (c.with_handler)
                handler = [&](const fs::path&) { return called = true; };
            EXPECT_FALSE(tavrel::commit_update(transaction, handler, error));
            EXPECT_EQ(error, "The update is not prepared or has no relaunch handler.");
            EXPECT_FALSE(called);
            EXPECT_EQ(transaction.prepared, c.prepared);
        }
        EXPECT_EQ(all_files(root), before);
        EXPECT_FALSE(fs::exists(staging / ".transaction"));
    }
}

TEST_F(commit_test, installs_backs_up_removes_and_finishes) {
    {
        tavrel::update_transaction transaction(app);
        prepare(transaction);
        std::string error = "stale";
        fs::path launched;
        const bool ok = tavrel::commit_update(
            transaction,
            [&](const fs::path& executable) {
                launched = executable;
                // While the application starts, the backups and the journal are on disk.
                EXPECT_EQ(read_bytes(staging / ".transaction"), expected_journal);
                EXPECT_EQ(all_files(staging / "old"), (file_tree{{"Tavrel.exe", "old exe"},
                                                                 {"readme.txt", "old readme"},
                                                                 {"obsolete.txt", "obsolete"}}));
                EXPECT_EQ(installed_files(app), new_tree);
                EXPECT_FALSE(fs::exists(staging / ".accepted"));
                return true;
            },
            error);
        ASSERT_TRUE(ok) << error;
        EXPECT_EQ(error, "");
        EXPECT_EQ(launched, app / "Tavrel.exe");
        EXPECT_TRUE(transaction.committed);
        EXPECT_FALSE(transaction.keep_for_recovery);
        EXPECT_EQ(read_bytes(staging / ".accepted"), "Tavrel update backup\n");
        EXPECT_EQ(fs::file_size(staging / ".accepted"), 21u);
        const bool expected_backed_up[] = {true, false, true, true, false};
        const bool expected_installed[] = {true, true, true, false, false};
        for (std::size_t i = 0; i < transaction.entries.size(); ++i) {
            SCOPED_TRACE(transaction.entries[i].relative_path);
            EXPECT_EQ(transaction.entries[i].backed_up, expected_backed_up[i]);
            EXPECT_EQ(transaction.entries[i].installed, expected_installed[i]);
        }
        EXPECT_FALSE(fs::exists(staging / "old" / "gone.txt"));
    }
    EXPECT_FALSE(fs::exists(staging));
    EXPECT_EQ(installed_files(app), new_tree);
}

TEST_F(commit_test, a_failure_before_acceptance_restores_the_previous_files) {
    struct case_data {
        const char* name;
        const char* fault; // TAVREL_FAIL_OPERATION, or empty
        int handler;       // 0 confirms, 1 refuses, 2 throws
        std::string message;
    };
    const case_data cases[] = {
        {"handler refuses", "", 1, "The updated application could not be launched."},
        {"handler throws", "", 2, "application exploded"},
        {"journal not written", "write:1", 0, "Could not write the update recovery journal."},
        {"journal not opened for the flush", "flush_open:1", 0,
         "Could not open the update recovery journal."},
        {"journal not flushed", "flush:1", 0, "Could not save the update recovery journal."},
        {"status query fails", "status:1", 0, "Cannot inspect an update destination."},
        {"journal not renamed into place", "rename:1", 0,
         "Could not write the update recovery journal."},
        {"journal's directory not flushed", "flush_tree:1", 0,
         "Could not save the update recovery journal."},
        {"rename fails midway", "rename:4", 0,
         "rename: " + injected + ": \"" + (staging / "new" / "plugins/extra/p.dll").string() +
             "\", \"" + (app / "plugins/extra/p.dll").string() + "\""},
        {"directory not created", "create_directory:1", 0,
         "create_directories: " + injected + ": \"" + (staging / "old").string() + "\""},
    };
    for (const case_data& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        {
            tavrel::test::injected_failure fault(c.fault);
            tavrel::update_transaction transaction(app);
            prepare(transaction);
            std::string error;
            const bool ok = tavrel::commit_update(
                transaction,
                [&](const fs::path&) {
                    if (c.handler == 2)
                        throw std::runtime_error("application exploded");
                    return c.handler == 0;
                },
                error);
            EXPECT_FALSE(ok);
            EXPECT_EQ(error, c.message);
            EXPECT_FALSE(transaction.prepared);
            EXPECT_FALSE(transaction.committed);
            EXPECT_FALSE(transaction.keep_for_recovery);
            for (const auto& entry : transaction.entries)
                EXPECT_FALSE(entry.backed_up || entry.installed) << entry.relative_path;
            EXPECT_EQ(installed_files(app), old_tree);
        }
        EXPECT_FALSE(fs::exists(staging));
        EXPECT_EQ(installed_files(app), old_tree);
    }
}

// Every single failing call of every kind, wherever it falls, ends in the old tree or the new.
TEST_F(commit_test, any_failing_call_leaves_the_old_or_the_new_files) {
    std::set<std::string> messages;
    for (const char* operation : {"status", "rename", "create_directory", "write", "flush_open",
                                  "flush", "flush_tree", "remove", "remove_tree", "list"}) {
        for (int k = 1;; ++k) {
            const std::string spec = std::string(operation) + ":" + std::to_string(k);
            SCOPED_TRACE(spec);
            SetUp();
            bool accepted = false;
            {
                tavrel::test::injected_failure fault(spec.c_str());
                tavrel::update_transaction transaction(app);
                prepare(transaction);
                std::string error;
                const bool ok = tavrel::commit_update(transaction, confirm, error);
                if (!ok)
                    messages.insert(error);
                accepted = ok && fs::exists(staging / ".accepted");
            }
            // A run that finished cleanly was not reached by the fault: this operation is done.
            if (accepted && !fs::exists(staging))
                break;
            tavrel::update_transaction later(app);
            std::string error;
            EXPECT_TRUE(tavrel::recover_transaction(later, error)) << error;
            EXPECT_EQ(installed_files(app), accepted ? new_tree : old_tree);
        }
    }
    EXPECT_TRUE(
        messages.count("exists: " + injected + ": \"" + (app / "Tavrel.exe").string() + "\""));
    EXPECT_TRUE(messages.count("rename: " + injected + ": \"" + (app / "Tavrel.exe").string() +
                               "\", \"" + (staging / "old" / "Tavrel.exe").string() + "\""));
}

TEST_F(commit_test, an_unsafe_destination_is_refused_before_anything_moves) {
    write_bytes(app / "plugins", "a file where a directory is needed");
    file_tree before = installed_files(app);
    {
        tavrel::update_transaction transaction(app);
        prepare(transaction);
        std::string error;
        EXPECT_FALSE(tavrel::commit_update(transaction, confirm, error));
        EXPECT_EQ(error, "An update destination conflicts with an existing file or directory.");
        EXPECT_FALSE(fs::exists(staging / ".transaction"));
        EXPECT_FALSE(fs::exists(staging / "old"));
    }
    EXPECT_EQ(installed_files(app), before);
    EXPECT_FALSE(fs::exists(staging));
}

TEST_F(commit_test, created_directories_stay_after_an_undo) {
    {
        tavrel::update_transaction transaction(app);
        prepare(transaction);
        std::string error;
        EXPECT_FALSE(tavrel::commit_update(
            transaction, [](const fs::path&) { return false; }, error));
    }
    EXPECT_EQ(installed_files(app), old_tree);
    EXPECT_TRUE(fs::is_directory(app / "plugins" / "extra"));
    EXPECT_TRUE(fs::is_empty(app / "plugins" / "extra"));
}

TEST_F(commit_test, an_unrecorded_acceptance_keeps_the_directory_for_a_later_run) {
    struct case_data {
        const char* name;
        const char* fault;
        bool marker_on_disk;
    };
    // The journal is the first write and the first flush; the marker is the second of each.
    // The moves are flushed (the second flush of a tree) before the marker is written.
    for (const case_data& c : {case_data{"moves not flushed", "flush_tree:2", false},
                               case_data{"marker not written", "write:2", false},
                               case_data{"marker not opened for the flush", "flush_open:2", true},
                               case_data{"marker not flushed", "flush:2", true}}) {
        SCOPED_TRACE(c.name);
        SetUp();
        {
            tavrel::test::injected_failure fault(c.fault);
            tavrel::update_transaction transaction(app);
            prepare(transaction);
            std::string error;
            EXPECT_TRUE(tavrel::commit_update(transaction, confirm, error));
            EXPECT_EQ(error, "");
            EXPECT_TRUE(transaction.committed);
            EXPECT_TRUE(transaction.keep_for_recovery);
        }
        // The end of the transaction leaves everything for the recovery of a later run.
        EXPECT_EQ(read_bytes(staging / ".transaction"), expected_journal);
        EXPECT_EQ(all_files(staging / "old").size(), 3u);
        EXPECT_EQ(fs::exists(staging / ".accepted"), c.marker_on_disk);
        EXPECT_EQ(installed_files(app), new_tree);

        // That recovery keeps the update only when the marker reached the disk.
        tavrel::update_transaction later(app);
        std::string error;
        EXPECT_TRUE(tavrel::recover_transaction(later, error)) << error;
        EXPECT_EQ(installed_files(app), c.marker_on_disk ? new_tree : old_tree);
        EXPECT_EQ(fs::exists(staging), c.marker_on_disk);
    }
}

TEST_F(commit_test, a_failed_cleanup_after_acceptance_never_turns_into_an_undo) {
    struct case_data {
        const char* name;
        const char* fault;
        bool journal_left;
    };
    // The finish removes the journal first (remove:1), then the other children.
    for (const case_data& c : {case_data{"journal cannot be removed", "remove:1", true},
                               case_data{"backup tree partly removed", "remove_tree:2", false},
                               case_data{"listing fails", "list:1", false}}) {
        SCOPED_TRACE(c.name);
        SetUp();
        {
            tavrel::test::injected_failure fault(c.fault);
            tavrel::update_transaction transaction(app);
            prepare(transaction);
            std::string error;
            ASSERT_TRUE(tavrel::commit_update(transaction, confirm, error)) << error;
        }
        EXPECT_TRUE(fs::exists(staging));
        EXPECT_EQ(fs::exists(staging / ".transaction"), c.journal_left);
        if (c.journal_left) {
            EXPECT_EQ(read_bytes(staging / ".accepted"), "Tavrel update backup\n");
        }

        tavrel::update_transaction later(app);
        std::string error;
        EXPECT_TRUE(tavrel::recover_transaction(later, error)) << error;
        EXPECT_EQ(installed_files(app), new_tree);
    }
}

TEST(remove_transaction_directory, removes_the_marker_last_and_tolerates_absence) {
    const tavrel::test::temp_dir temp;
    const fs::path& root = temp.path();
    for (const bool accepted_last : {false, true}) {
        SCOPED_TRACE(accepted_last);
        write_bytes(root / "d" / ".accepted", "Tavrel update backup\n");
        write_bytes(root / "d" / ".transaction", "journal");
        write_bytes(root / "d" / "old" / "a" / "b.txt", "b");
        fs::create_directories(root / "d" / "new" / "empty");
        tavrel::remove_transaction_directory(root / "d", accepted_last);
        EXPECT_FALSE(fs::exists(root / "d"));
        tavrel::remove_transaction_directory(root / "d", accepted_last); // already gone
        EXPECT_TRUE(fs::is_empty(root));
    }
}

} // namespace
