// Recovery at start-up: which staging directories are undone, how a journal is judged, and
// that a commit interrupted after any single change is always recovered to a whole version.
#include "install/commit.h"
#include "install/journal.h"
#include "install/recovery.h"
#include "platform/fault_hooks.h"

#include "support/temp_tree.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using file_tree = std::map<std::string, std::string>;

const std::string header = "Tavrel update transaction 1\n";
const std::string retained = " Backups were retained for recovery.";

using tavrel::test::read_bytes;

// Writes a file, creating the directories it needs.
void write_bytes(const fs::path& p, const std::string& bytes) {
    fs::create_directories(p.parent_path());
    tavrel::test::write_bytes(p, bytes);
}

// Regular files below `root`; staging directories and empty directories are left out.
file_tree installed_files(const fs::path& root) {
    file_tree tree;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::end(it); ++it) {
        const std::string relative = it->path().lexically_relative(root).generic_string();
        if (relative.starts_with(".tavrel-update-")) {
            it.disable_recursion_pending();
            continue;
        }
        if (it->is_regular_file() && !it->is_symlink())
            tree[relative] = read_bytes(it->path());
    }
    return tree;
}

// Everything below `root`, links and directories included, without following links.
file_tree snapshot(const fs::path& root) {
    file_tree tree;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string relative = entry.path().lexically_relative(root).generic_string();
        if (entry.is_symlink())
            tree[relative] = "link to " + fs::read_symlink(entry.path()).string();
        else if (entry.is_directory())
            tree[relative] = "directory";
        else
            tree[relative] = read_bytes(entry.path());
    }
    return tree;
}

class recovery_test : public ::testing::Test {
  protected:
    void SetUp() override {
        // Cases in a loop start again from here, in the same temporary directory.
        for (const auto& child : fs::directory_iterator(root))
            fs::remove_all(child.path());
        app = root / "app";
        staging = app / ".tavrel-update-5-6";
        fs::create_directories(app);
    }

    bool recover(std::string& error) const {
        tavrel::update_transaction transaction(app);
        return tavrel::recover_transaction(transaction, error);
    }

    // A transaction interrupted after replacing a.txt: undoing it brings back "old a".
    void interrupted_transaction(const fs::path& directory) const {
        write_bytes(app / "a.txt", "new a");
        write_bytes(directory / "old" / "a.txt", "old a");
        write_bytes(directory / ".transaction", header + "1 \"a.txt\"\n");
    }

    tavrel::test::temp_dir temp;
    fs::path root = temp.path();
    fs::path app, staging;
};

TEST_F(recovery_test, an_application_directory_without_staging_directories_is_left_alone) {
    write_bytes(app / "Tavrel.exe", "exe");
    write_bytes(app / "sub" / ".tavrel-update-1-1" / ".transaction", header + "0 \"Tavrel.exe\"\n");
    const file_tree before = snapshot(app);
    std::string error = "stale";
    EXPECT_TRUE(recover(error));
    EXPECT_EQ(error, "");
    EXPECT_EQ(snapshot(app), before);
}

TEST_F(recovery_test, only_real_directories_with_the_exact_prefix_are_candidates) {
    write_bytes(app / "victim.txt", "must stay");
    const std::string journal = header + "0 \"victim.txt\"\n";
    write_bytes(app / ".TAVREL-UPDATE-1-1" / ".transaction", journal);
    write_bytes(app / ".tavrel-updat" / ".transaction", journal);
    write_bytes(app / ".tavrel-update-file", journal);
    write_bytes(root / "outside" / ".transaction", journal);
    fs::create_directory_symlink(root / "outside", app / ".tavrel-update-link");
    const file_tree before = snapshot(root);
    std::string error;
    EXPECT_TRUE(recover(error)) << error;
    EXPECT_EQ(snapshot(root), before);
}

TEST_F(recovery_test, only_a_valid_acceptance_marker_keeps_a_transaction) {
    struct case_data {
        const char* name;
        std::string marker; // bytes of a plain file, or "<dir>" / "<link>"
        bool kept;
    };
    const case_data cases[] = {
        {"valid marker", "Tavrel update backup\n", true},
        {"one byte more", "Tavrel update backup\n\n", false},
        {"carriage return", "Tavrel update backup\r", false},
        {"no line feed", "Tavrel update backupX", false},
        {"other letter case", "tavrel update backup\n", false},
        {"empty", "", false},
        {"a directory", "<dir>", false},
        {"a link to a valid marker", "<link>", false},
    };
    for (const case_data& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        interrupted_transaction(staging);
        const fs::path marker = staging / ".accepted";
        if (c.marker == "<dir>") {
            fs::create_directories(marker);
        } else if (c.marker == "<link>") {
            write_bytes(root / "valid", "Tavrel update backup\n");
            fs::create_symlink(root / "valid", marker);
        } else {
            write_bytes(marker, c.marker);
        }
        EXPECT_EQ(tavrel::has_acceptance_marker(staging), c.kept);
        const file_tree before = snapshot(app);
        std::string error;
        EXPECT_TRUE(recover(error)) << error;
        if (c.kept) {
            EXPECT_EQ(snapshot(app), before);
        } else {
            EXPECT_EQ(read_bytes(app / "a.txt"), "old a");
            EXPECT_FALSE(fs::exists(staging));
        }
    }
    EXPECT_FALSE(tavrel::has_acceptance_marker(root / "absent"));
}

TEST_F(recovery_test, a_staging_directory_whose_moves_never_began_is_removed) {
    // Crashes before the journal was renamed into place leave staged copies that nothing
    // will ever use; repeated ones would fill the disk.
    interrupted_transaction(staging);
    fs::rename(staging / ".transaction", staging / ".transaction-new");
    const file_tree installed = installed_files(app);
    std::string error;
    EXPECT_TRUE(recover(error)) << error;
    EXPECT_FALSE(fs::exists(staging));
    EXPECT_EQ(installed_files(app), installed);
}

TEST_F(recovery_test, each_entry_is_undone_from_what_is_on_disk) {
    write_bytes(app / "restored.txt", "new restored");
    write_bytes(staging / "old" / "restored.txt", "old restored");
    write_bytes(app / "untouched.txt", "never moved away");
    write_bytes(app / "not_moved.txt", "not ours");
    write_bytes(staging / "new" / "not_moved.txt", "staged, never moved in");
    write_bytes(app / "moved" / "in.txt", "moved in");
    write_bytes(staging / "old" / "deleted.txt", "deleted by the update");
    write_bytes(app / "other.txt", "other");
    write_bytes(staging / ".transaction", header + "1 \"restored.txt\"\n"
                                                   "1 \"untouched.txt\"\n"
                                                   "0 \"not_moved.txt\"\n"
                                                   "0 \"moved/in.txt\"\n"
                                                   "1 \"deleted.txt\"\n"
                                                   "0 \"never.txt\"\n");
    std::string error;
    EXPECT_TRUE(recover(error)) << error;
    EXPECT_EQ(error, "");
    EXPECT_EQ(installed_files(app), (file_tree{{"restored.txt", "old restored"},
                                               {"untouched.txt", "never moved away"},
                                               {"not_moved.txt", "not ours"},
                                               {"deleted.txt", "deleted by the update"},
                                               {"other.txt", "other"}}));
    EXPECT_FALSE(fs::exists(staging));

    const file_tree after = snapshot(app);
    EXPECT_TRUE(recover(error)) << error;
    EXPECT_EQ(snapshot(app), after);
}

TEST_F(recovery_test, every_journaled_directory_is_undone) {
    interrupted_transaction(app / ".tavrel-update-1-1");
    write_bytes(app / "b.txt", "new b");
    write_bytes(app / ".tavrel-update-2-2" / "old" / "b.txt", "old b");
    write_bytes(app / ".tavrel-update-2-2" / ".transaction", header + "1 \"b.txt\"\n");
    std::string error;
    EXPECT_TRUE(recover(error)) << error;
    EXPECT_EQ(snapshot(app), (file_tree{{"a.txt", "old a"}, {"b.txt", "old b"}}));
}

TEST_F(recovery_test, refused_journals_change_nothing) {
    const std::string unsafe_entry = "The update recovery journal contains an unsafe entry.";
    const std::string unsafe_file = "The update recovery journal has an unsafe path or size.";
    std::string many;
    for (int i = 0; i < 20001; ++i)
        many += "0 \"f" + std::to_string(i) + "\"\n";
    struct case_data {
        const char* name;
        std::string journal; // "<link>", "<dir>", "<big>" or the journal's bytes
        std::string message;
    };
    const case_data cases[] = {
        {"unsafe last entry", header + "1 \"a.txt\"\n0 \"b/../../evil\"\n", unsafe_entry},
        {"duplicate in other case", header + "1 \"a.txt\"\n1 \"A.TXT\"\n", unsafe_entry},
        {"existed 2", header + "1 \"a.txt\"\n2 \"b\"\n", unsafe_entry},
        {"negative existed", header + "1 \"a.txt\"\n-1 \"b\"\n", unsafe_entry},
        {"staging directory as entry", header + "1 \"a.txt\"\n0 \".tavrel-update-5-6/x\"\n",
         unsafe_entry},
        {"20,001 entries", header + "1 \"a.txt\"\n" + many, unsafe_entry},
        {"header ending in CR", "Tavrel update transaction 1\r\n1 \"a.txt\"\n",
         "The update recovery journal is invalid."},
        {"other version", "Tavrel update transaction 3\n1 \"a.txt\"\n",
         "The update recovery journal is invalid."},
        {"header only", header, "The update recovery journal is incomplete."},
        {"truncated entry", header + "1 \"a.txt\"\n0 \"b",
         "The update recovery journal is incomplete."},
        {"journal is a link", "<link>", unsafe_file},
        {"journal of 4,194,305 bytes", "<big>", unsafe_file},
        {"journal is a directory", "<dir>",
         "file_size: Is a directory: \"" + (staging / ".transaction").string() + "\""},
        {"destination through a link", header + "1 \"a.txt\"\n0 \"linked/x\"\n",
         "Update destinations must not contain symbolic links."},
        {"destination is a directory", header + "1 \"a.txt\"\n0 \"folder\"\n",
         "An update destination conflicts with an existing file or directory."},
        {"backup tree is a link", "<old link>", "Unsafe recovery directory."},
        {"link inside the staged tree", header + "1 \"a.txt\"\n0 \"sub/x\"\n",
         "Unsafe recovery path."},
    };
    for (const case_data& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        interrupted_transaction(staging);
        fs::create_directories(root / "elsewhere");
        fs::create_directory_symlink(root / "elsewhere", app / "linked");
        fs::create_directories(app / "folder");
        fs::create_directories(staging / "new");
        fs::create_directory_symlink(root / "elsewhere", staging / "new" / "sub");
        const fs::path journal = staging / ".transaction";
        if (c.journal == "<link>") {
            write_bytes(root / "valid", header + "1 \"a.txt\"\n");
            fs::remove(journal);
            fs::create_symlink(root / "valid", journal);
        } else if (c.journal == "<dir>") {
            fs::remove(journal);
            fs::create_directories(journal);
        } else if (c.journal == "<big>") {
            std::string big = header + "1 \"a.txt\"\n";
            big.resize(4194305, ' ');
            write_bytes(journal, big);
        } else if (c.journal == "<old link>") {
            fs::rename(staging / "old", root / "old elsewhere");
            fs::create_directory_symlink(root / "old elsewhere", staging / "old");
        } else {
            write_bytes(journal, c.journal);
        }
        const file_tree before = snapshot(root);
        std::string error;
        EXPECT_FALSE(recover(error));
        EXPECT_EQ(error, c.message + retained);
        EXPECT_EQ(snapshot(root), before);
    }
}

TEST_F(recovery_test, journals_at_their_limits_are_read) {
    // 20,000 entries: a.txt and 19,999 files that the update added, one of them installed.
    std::string many = header + "1 \"a.txt\"\n";
    for (int i = 1; i < 20000; ++i)
        many += "0 \"d/f" + std::to_string(i) + "\"\n";
    // 4,194,304 bytes: one entry followed by blank lines.
    std::string big = header + "1 \"a.txt\"\n";
    big.resize(4194304, '\n');
    for (const std::string& journal : {many, big}) {
        SetUp();
        interrupted_transaction(staging);
        write_bytes(staging / ".transaction", journal);
        if (journal == many)
            write_bytes(app / "d" / "f7", "added by the update");
        std::string error;
        EXPECT_TRUE(recover(error)) << error;
        EXPECT_EQ(installed_files(app), (file_tree{{"a.txt", "old a"}}));
        EXPECT_FALSE(fs::exists(staging));
    }
}

TEST_F(recovery_test, an_operating_system_error_stops_and_a_later_run_finishes) {
    struct case_data {
        const char* fault;
        std::string message;
    };
    const case_data cases[] = {
        {"list:1",
         "directory_iterator::directory_iterator: Input/output error: \"" + app.string() + "\""},
        {"remove:1", "remove: Input/output error: \"" + (app / "b.txt").string() + "\""},
        {"rename:1", "rename: Input/output error: \"" + (staging / "old" / "b.txt").string() +
                         "\", \"" + (app / "b.txt").string() + "\""},
        {"remove_tree:1", "remove_all: Input/output error: \"" + staging.string() + "\""},
    };
    for (const case_data& c : cases) {
        SCOPED_TRACE(c.fault);
        SetUp();
        interrupted_transaction(staging);
        write_bytes(app / "b.txt", "new b");
        write_bytes(staging / "old" / "b.txt", "old b");
        write_bytes(staging / ".transaction", header + "1 \"a.txt\"\n1 \"b.txt\"\n");
        std::string error;
        {
            tavrel::test::injected_failure fault(c.fault);
            EXPECT_FALSE(recover(error));
        }
        EXPECT_EQ(error, c.message + retained);
        EXPECT_TRUE(recover(error)) << error;
        EXPECT_EQ(snapshot(app), (file_tree{{"a.txt", "old a"}, {"b.txt", "old b"}}));
    }
}

#ifndef _WIN32

// A commit of 56 entries (replacements, additions in new directories, removals) that dies
// right after its N-th file-system change, for every N, is recovered to a whole version.
class crash_test : public recovery_test {
  protected:
    // Hundreds of runs each flush a journal: memory-backed storage keeps that quick, and a
    // process crash does not depend on what reached the device.
    void SetUp() override {
        recovery_test::SetUp();
        if (fs::is_directory("/dev/shm")) {
            memory_root = fs::path("/dev/shm") / root.filename();
            fs::remove_all(memory_root);
            root = memory_root;
            app = root / "app";
            staging = app / ".tavrel-update-5-6";
            fs::create_directories(app);
        }
    }
    void TearDown() override {
        if (!memory_root.empty())
            fs::remove_all(memory_root);
    }

    void build() {
        fs::remove_all(app);
        old_files.clear();
        new_files.clear();
        entries.clear();
        auto old_file = [&](const std::string& name, const std::string& bytes) {
            write_bytes(app / name, bytes);
            old_files[name] = bytes;
        };
        auto new_file = [&](const std::string& name, const std::string& bytes) {
            write_bytes(staging / "new" / name, bytes);
            new_files[name] = bytes;
            entries.push_back({name});
        };
        old_file("Tavrel.exe", "old exe");
        new_file("Tavrel.exe", "new exe");
        for (int i = 0; i < 20; ++i) {
            const std::string name = (i % 2 ? "bin/r" : "r") + std::to_string(i) + ".txt";
            old_file(name, "old " + name);
            new_file(name, "new " + name);
        }
        for (int i = 0; i < 20; ++i) {
            const std::string name = "added/d" + std::to_string(i % 4) + "/s" +
                                     std::to_string(i % 3) + "/a" + std::to_string(i) + ".txt";
            new_file(name, "added " + name);
        }
        for (int i = 0; i < 15; ++i) {
            const std::string name = (i % 3 ? "bin/x" : "x") + std::to_string(i) + ".txt";
            old_file(name, "obsolete " + name);
            entries.push_back({name, false, false, true});
        }
        for (int i = 0; i < 10; ++i) {
            const std::string name = "bin/k" + std::to_string(i) + ".txt";
            old_file(name, "kept");
            new_files[name] = "kept";
        }
    }

    // Runs the commit and the end of its transaction in a child process.
    int commit_in_child(const std::string& variable, const std::string& value) const {
        const pid_t child = ::fork();
        if (child == 0) {
            ::setenv(variable.c_str(), value.c_str(), 1);
            platform::hooks::reset_counters();
            bool ok = false;
            {
                tavrel::update_transaction transaction(app);
                transaction.staging_dir = staging;
                transaction.entries = entries;
                transaction.prepared = true;
                std::string error;
                ok = tavrel::commit_update(
                    transaction, [](const fs::path&) { return true; }, error);
            }
            std::_Exit(ok ? 0 : 1);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    int recover_in_child(unsigned long crash_after) const {
        const pid_t child = ::fork();
        if (child == 0) {
            ::setenv("TAVREL_CRASH_AFTER_CHANGE", std::to_string(crash_after).c_str(), 1);
            platform::hooks::reset_counters();
            tavrel::update_transaction transaction(app);
            std::string error;
            std::_Exit(tavrel::recover_transaction(transaction, error) ? 0 : 1);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    fs::path memory_root;
    file_tree old_files, new_files;
    std::vector<tavrel::update_entry> entries;
};

TEST_F(crash_test, a_commit_interrupted_after_any_change_recovers_to_one_version) {
    build();
    ASSERT_GE(entries.size(), 50u);
    const fs::path log = root / "changes.log";
    ASSERT_EQ(commit_in_child("TAVREL_CHANGE_LOG", log.string()), 0);
    ASSERT_EQ(installed_files(app), new_files);
    ASSERT_FALSE(fs::exists(staging));

    // Count the changes of a whole run and find the one that records the acceptance.
    std::ifstream in(log);
    unsigned long total = 0;
    unsigned long marker_written = 0;
    for (std::string line; std::getline(in, line);) {
        ++total;
        if (line.find(" write ") != std::string::npos && line.ends_with("/.accepted"))
            marker_written = total;
    }
    ASSERT_GT(marker_written, 0u);
    ASSERT_GT(total, marker_written);

    unsigned long crash_points = 0;
    for (unsigned long n = 1; n <= total; ++n) {
        SCOPED_TRACE("crash after change " + std::to_string(n) + " of " + std::to_string(total));
        build();
        ASSERT_EQ(commit_in_child("TAVREL_CRASH_AFTER_CHANGE", std::to_string(n)), 86);
        ++crash_points;
        std::string error;
        ASSERT_TRUE(recover(error)) << error;
        const bool accepted = n >= marker_written;
        ASSERT_EQ(installed_files(app), accepted ? new_files : old_files);
        if (!accepted) {
            ASSERT_FALSE(fs::exists(staging));
        }
    }
    std::printf("[ crash    ] %lu crash points in a commit of %zu entries\n", crash_points,
                entries.size());
}

// The recovery itself may die after any of its changes; the next one still finishes.
TEST_F(crash_test, a_recovery_interrupted_after_any_change_is_finished_by_the_next) {
    build();
    const fs::path log = root / "changes.log";
    ASSERT_EQ(commit_in_child("TAVREL_CHANGE_LOG", log.string()), 0);
    std::ifstream in(log);
    unsigned long marker_written = 0;
    unsigned long total = 0;
    for (std::string line; std::getline(in, line);) {
        ++total;
        if (line.find(" write ") != std::string::npos && line.ends_with("/.accepted"))
            marker_written = total;
    }
    unsigned long crash_points = 0;
    // Commits interrupted early, in the middle of the moves, and just before acceptance.
    for (const unsigned long n : {2ul, marker_written / 2, marker_written - 1}) {
        for (unsigned long m = 1;; ++m) {
            SCOPED_TRACE("commit crash " + std::to_string(n) + ", recovery crash " +
                         std::to_string(m));
            build();
            ASSERT_EQ(commit_in_child("TAVREL_CRASH_AFTER_CHANGE", std::to_string(n)), 86);
            const int recovered = recover_in_child(m);
            if (recovered == 0)
                break; // the recovery made fewer than m changes
            ASSERT_EQ(recovered, 86);
            ++crash_points;
            std::string error;
            ASSERT_TRUE(recover(error)) << error;
            ASSERT_EQ(installed_files(app), old_files);
            // Dying inside the final removal may leave the directory without its journal,
            // which no later run touches; it holds nothing that the installation still needs.
            ASSERT_FALSE(fs::exists(staging / ".transaction"));
            ASSERT_FALSE(fs::exists(staging / "old") && !installed_files(staging / "old").empty());
        }
    }
    std::printf("[ crash    ] %lu crash points in recoveries\n", crash_points);
}

#endif

} // namespace
