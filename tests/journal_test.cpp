// The recovery journal: its exact bytes on disk and the rules by which it is read back.
#include "install/journal.h"

#include "support/temp_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;
using entry_list = std::vector<std::pair<long long, std::string>>;

using tavrel::test::read_bytes;

#ifdef _WIN32
// A Windows file name cannot hold a double quote: the odd entry names a file that cannot exist.
constexpr long long odd_name_existed = 0;
#else
constexpr long long odd_name_existed = 1;
#endif

// Writes a file, creating the directories it needs.
void write_bytes(const fs::path& p, const std::string& bytes) {
    fs::create_directories(p.parent_path());
    tavrel::test::write_bytes(p, bytes);
}

std::string error_of(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& failure) {
        return failure.what();
    }
    return "";
}

class journal_test : public ::testing::Test {
  protected:
    void SetUp() override {
        // Cases in a loop start again from here, in the same temporary directory.
        for (const auto& child : fs::directory_iterator(root))
            fs::remove_all(child.path());
        app = root / "app";
        staging = app / ".tavrel-update-1-2";
        fs::create_directories(staging);
    }

    // A transaction that only names its destinations; nothing is committed.
    void fill(tavrel::update_transaction& transaction) const {
        transaction.staging_dir = staging;
        transaction.entries = {{"Tavrel.exe"},
                               {"lib/new.dll"},
                               {"dir\\back.txt"},
                               {"odd \"name\".txt"},
                               {"gone.txt", false, false, true},
                               {tavrel::path_from_utf8("caf\xC3\xA9.txt"), false, false, true}};
        transaction.keep_for_recovery = true;
    }

    entry_list read_back(const std::string& bytes) const {
        write_bytes(root / "j", bytes);
        entry_list entries;
        tavrel::read_recovery_journal(root / "j", [&](long long existed, const std::string& p) {
            entries.emplace_back(existed, p);
        });
        return entries;
    }

    tavrel::test::temp_dir temp;
    fs::path root = temp.path();
    fs::path app, staging;
};

TEST_F(journal_test, is_written_as_one_line_per_entry_with_quoted_paths) {
    write_bytes(app / "Tavrel.exe", "exe");
    if (odd_name_existed)
        write_bytes(app / "odd \"name\".txt", "odd");
    // (UTF-8 names become paths through path_from_utf8: on Windows a narrow path is not UTF-8)
    write_bytes(app / tavrel::path_from_utf8("caf\xC3\xA9.txt"), "caf");
    tavrel::update_transaction transaction(app);
    fill(transaction);
    tavrel::write_recovery_journal(transaction);

    const std::string expected = "Tavrel update transaction 1\n"
                                 "1 \"Tavrel.exe\"\n"
                                 "0 \"lib/new.dll\"\n"
                                 "0 \"dir/back.txt\"\n" +
                                 std::to_string(odd_name_existed) +
                                 " \"odd \\\"name\\\".txt\"\n"
                                 "0 \"gone.txt\"\n"
                                 "1 \"caf\xC3\xA9.txt\"\n";
    const std::string written = read_bytes(staging / ".transaction");
    EXPECT_EQ(written, expected);
    EXPECT_EQ(std::count(written.begin(), written.end(), '\n'),
              static_cast<long>(transaction.entries.size() + 1));
    EXPECT_EQ(written.find('\r'), std::string::npos);

    // The reader gives back what the writer meant.
    const entry_list expected_entries = {
        {1, "Tavrel.exe"},   {0, "lib/new.dll"},
        {0, "dir/back.txt"}, {odd_name_existed, "odd \"name\".txt"},
        {0, "gone.txt"},     {1, "caf\xC3\xA9.txt"}};
    EXPECT_EQ(read_back(written), expected_entries);
}

TEST_F(journal_test, write_failures_carry_their_messages) {
    struct case_data {
        const char* fault;
        std::string message;
    };
    const case_data cases[] = {
        {"write:1", "Could not write the update recovery journal."},
        {"flush_open:1", "Could not open the update recovery journal."},
        {"flush:1", "Could not save the update recovery journal."},
        {"status:1", "exists: " + platform::error_description(EIO) + ": \"" +
                         (app / "Tavrel.exe").string() + "\""},
    };
    for (const case_data& c : cases) {
        SCOPED_TRACE(c.fault);
        tavrel::update_transaction transaction(app);
        fill(transaction);
        tavrel::test::injected_failure fault(c.fault);
        EXPECT_EQ(error_of([&] { tavrel::write_recovery_journal(transaction); }), c.message);
    }
    // A journal whose directory is missing cannot be written at all.
    tavrel::update_transaction transaction(app);
    fill(transaction);
    transaction.staging_dir = root / "missing";
    EXPECT_EQ(error_of([&] { tavrel::write_recovery_journal(transaction); }),
              "Could not write the update recovery journal.");
}

TEST_F(journal_test, flushing_a_missing_file_cannot_open_it) {
    EXPECT_EQ(error_of([&] { tavrel::flush_file_to_disk(root / "absent"); }),
              "Could not open the update recovery journal.");
    write_bytes(root / "present", "x");
    EXPECT_EQ(error_of([&] { tavrel::flush_file_to_disk(root / "present"); }), "");
}

TEST_F(journal_test, reading_rules) {
    const std::string header = "Tavrel update transaction 1\n";
    const std::string invalid = "The update recovery journal is invalid.";
    const std::string incomplete = "The update recovery journal is incomplete.";
    struct case_data {
        const char* name;
        std::string bytes;
        std::string message; // empty: read, giving `entries`
        entry_list entries;
    };
    const case_data cases[] = {
        {"one entry", header + "1 \"a\"\n", "", {{1, "a"}}},
        {"blank lines and extra spaces",
         header + "\n \t1   \"a b\"  \n\n\n0\t\"c/d\"\n\n",
         "",
         {{1, "a b"}, {0, "c/d"}}},
        {"entries ending in CR LF", header + "1 \"a\"\r\n0 \"b\"\r\n", "", {{1, "a"}, {0, "b"}}},
        {"no final line feed", header + "0 \"a\"", "", {{0, "a"}}},
        {"escaped quote and backslash", header + "1 \"a\\\"b\\\\c\"\n", "", {{1, "a\"b\\c"}}},
        {"unquoted word", header + "1 word next\n", incomplete, {{1, "word"}}},
        {"unquoted words in pairs", header + "1 word 0 next\n", "", {{1, "word"}, {0, "next"}}},
        {"values the reader leaves to recovery",
         header + "7 \"a\"\n-1 \"b\"\n+0 \"c\"\n",
         "",
         {{7, "a"}, {-1, "b"}, {0, "c"}}},
        {"header ending in CR", "Tavrel update transaction 1\r\n1 \"a\"\n", invalid, {}},
        {"other version", "Tavrel update transaction 2\n1 \"a\"\n", invalid, {}},
        {"byte-order mark", "\xEF\xBB\xBF" + header + "1 \"a\"\n", invalid, {}},
        {"empty file", "", invalid, {}},
        {"header only", header, incomplete, {}},
        {"header without line feed", "Tavrel update transaction 1", incomplete, {}},
        {"header and blank lines", header + "\n \n\t\n", incomplete, {}},
        {"unterminated quote", header + "1 \"a\n", incomplete, {}},
        {"number without path", header + "1\n", incomplete, {}},
        {"path without number", header + "\"a\"\n", incomplete, {}},
        {"number too large", header + "99999999999999999999 \"a\"\n", incomplete, {}},
        {"bad second entry", header + "1 \"a\"\nx \"b\"\n", incomplete, {{1, "a"}}},
    };
    for (const case_data& c : cases) {
        SCOPED_TRACE(c.name);
        entry_list seen;
        write_bytes(root / "j", c.bytes);
        const std::string message = error_of([&] {
            tavrel::read_recovery_journal(root / "j", [&](long long existed, const std::string& p) {
                seen.emplace_back(existed, p);
            });
        });
        EXPECT_EQ(message, c.message);
        EXPECT_EQ(seen, c.entries);
    }
    EXPECT_EQ(error_of([&] { tavrel::read_recovery_journal(root / "absent", {}); }), invalid);
}

TEST_F(journal_test, an_exception_from_the_entry_check_ends_the_read) {
    write_bytes(root / "j", "Tavrel update transaction 1\n1 \"a\"\n1 \"b\"\n");
    int calls = 0;
    EXPECT_EQ(error_of([&] {
                  tavrel::read_recovery_journal(root / "j", [&](long long, const std::string&) {
                      ++calls;
                      throw std::runtime_error("refused");
                  });
              }),
              "refused");
    EXPECT_EQ(calls, 1);
}

} // namespace
