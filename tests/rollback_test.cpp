// The undo within a run, from the flags that the commit set.
#include "install/journal.h"
#include "install/recovery.h"
#include "install/rollback.h"

#include "support/temp_tree.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

namespace {

namespace fs = std::filesystem;
using file_tree = std::map<std::string, std::string>;

using tavrel::test::read_bytes;

// Writes a file, creating the directories it needs.
void write_bytes(const fs::path& p, const std::string& bytes) {
    fs::create_directories(p.parent_path());
    tavrel::test::write_bytes(p, bytes);
}

file_tree all_files(const fs::path& root) {
    file_tree tree;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file())
            tree[entry.path().lexically_relative(root).generic_string()] = read_bytes(entry.path());
    return tree;
}

// The state that a commit leaves when it fails at its fourth entry: "a.txt" replaced,
// "sub/b.txt" added, "c.txt" removed, "d.txt" not reached yet.
class rollback_test : public ::testing::Test {
  protected:
    void SetUp() override {
        // A backslash in the application directory's name shows the separator rewriting.
        // Cases in a loop start again from here, in the same temporary directory.
        for (const auto& child : fs::directory_iterator(root))
            fs::remove_all(child.path());
        app = root / "we\\ird";
        staging = app / ".tavrel-update-7-8";
        write_bytes(app / "a.txt", "new a");
        write_bytes(app / "sub" / "b.txt", "new b");
        write_bytes(app / "d.txt", "old d");
        write_bytes(app / "keep.txt", "keep");
        write_bytes(staging / "old" / "a.txt", "old a");
        write_bytes(staging / "old" / "c.txt", "old c");
        write_bytes(staging / "new" / "d.txt", "new d");
    }

    void fill(tavrel::update_transaction& transaction) const {
        transaction.staging_dir = staging;
        transaction.entries = {{"a.txt", true, true, false},
                               {"sub/b.txt", false, true, false},
                               {"c.txt", true, false, true},
                               {"d.txt", false, false, false}};
    }

    tavrel::test::temp_dir temp;
    fs::path root = temp.path();
    fs::path app, staging;
};

const file_tree restored = {{"a.txt", "old a"},
                            {"c.txt", "old c"},
                            {"d.txt", "old d"},
                            {"keep.txt", "keep"},
                            {".tavrel-update-7-8/new/d.txt", "new d"}};

TEST_F(rollback_test, undoes_every_flagged_step_and_only_those) {
    tavrel::update_transaction transaction(app);
    fill(transaction);
    transaction.keep_for_recovery = true; // leave the directory for the assertions
    std::string error = "The updated application could not be launched.";
    EXPECT_TRUE(tavrel::restore_backups(transaction, error));
    EXPECT_EQ(error, "The updated application could not be launched.");
    EXPECT_EQ(all_files(app), restored);
    for (const auto& entry : transaction.entries)
        EXPECT_FALSE(entry.backed_up || entry.installed) << entry.relative_path;

    // A second call finds nothing to do.
    write_bytes(app / "sub" / "b.txt", "must stay");
    EXPECT_TRUE(tavrel::restore_backups(transaction, error));
    EXPECT_EQ(read_bytes(app / "sub" / "b.txt"), "must stay");
    EXPECT_EQ(error, "The updated application could not be launched.");
}

TEST_F(rollback_test, nothing_moved_means_nothing_to_restore) {
    tavrel::update_transaction transaction(app);
    fill(transaction);
    for (auto& entry : transaction.entries)
        entry.backed_up = entry.installed = false;
    transaction.keep_for_recovery = true;
    const file_tree before = all_files(root);
    std::string error = "earlier text";
    EXPECT_TRUE(tavrel::restore_backups(transaction, error));
    EXPECT_EQ(error, "earlier text");
    EXPECT_EQ(all_files(root), before);
}

TEST_F(rollback_test, an_incomplete_restore_keeps_the_backups_for_recovery) {
    const std::string sentence = " Previous files could not all be restored; backups remain in " +
                                 root.generic_string() + "/we/ird/.tavrel-update-7-8.";
    struct case_data {
        const char* name;
        const char* fault;
        const char* stuck; // the entry whose flags stay set
        bool installed_left;
        bool backed_up_left;
        file_tree files;
    };
    // Entries are undone from the last one: the first removal is sub/b.txt, the first rename
    // brings back c.txt.
    file_tree b_stuck = restored;
    b_stuck["sub/b.txt"] = "new b";
    file_tree c_stuck = restored;
    c_stuck.erase("c.txt");
    c_stuck[".tavrel-update-7-8/old/c.txt"] = "old c";
    file_tree a_stuck = restored;
    a_stuck["a.txt"] = "new a";
    a_stuck[".tavrel-update-7-8/old/a.txt"] = "old a";
    const case_data cases[] = {
        {"added file cannot be removed", "remove:1", "sub/b.txt", true, false, b_stuck},
        {"backup cannot be moved back", "rename:1", "c.txt", false, true, c_stuck},
        {"replaced file cannot be removed", "remove:2", "a.txt", true, true, a_stuck},
    };
    for (const case_data& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        {
            tavrel::update_transaction transaction(app);
            fill(transaction);
            std::string error = "The updated application could not be launched.";
            {
                tavrel::test::injected_failure fault(c.fault);
                EXPECT_FALSE(tavrel::restore_backups(transaction, error));
            }
            EXPECT_EQ(error, "The updated application could not be launched." + sentence);
            EXPECT_TRUE(transaction.keep_for_recovery);
            for (const auto& entry : transaction.entries) {
                SCOPED_TRACE(entry.relative_path);
                const bool stuck = entry.relative_path == c.stuck;
                EXPECT_EQ(entry.installed, stuck && c.installed_left);
                EXPECT_EQ(entry.backed_up, stuck && c.backed_up_left);
            }
            EXPECT_EQ(all_files(app), c.files);
        }
        // The end of the transaction leaves the kept directory alone.
        EXPECT_EQ(all_files(app), c.files);

        // The next run finishes the undo from the journal.
        write_bytes(staging / ".transaction", "Tavrel update transaction 1\n"
                                              "1 \"a.txt\"\n0 \"sub/b.txt\"\n"
                                              "1 \"c.txt\"\n1 \"d.txt\"\n");
        tavrel::update_transaction later(app);
        std::string error;
        EXPECT_TRUE(tavrel::recover_transaction(later, error)) << error;
        file_tree expected = restored;
        expected.erase(".tavrel-update-7-8/new/d.txt");
        EXPECT_EQ(all_files(app), expected);
        EXPECT_FALSE(fs::exists(staging));
    }
}

TEST_F(rollback_test, the_end_of_an_unfinished_transaction_undoes_and_cleans_up) {
    {
        tavrel::update_transaction transaction(app);
        fill(transaction);
        transaction.prepared = true;
    }
    file_tree expected = restored;
    expected.erase(".tavrel-update-7-8/new/d.txt");
    EXPECT_EQ(all_files(app), expected);
    EXPECT_FALSE(fs::exists(staging));
}

TEST_F(rollback_test, the_end_of_a_transaction_keeps_what_cannot_be_restored) {
    file_tree expected = restored;
    expected["sub/b.txt"] = "new b";
    {
        tavrel::test::injected_failure fault("remove:1");
        tavrel::update_transaction transaction(app);
        fill(transaction);
    }
    EXPECT_EQ(all_files(app), expected);
    EXPECT_TRUE(fs::exists(staging / "new" / "d.txt"));
}

} // namespace
