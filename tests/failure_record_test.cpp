// The failure record: each message's stable code, the record's text read back whole or not at
// all, and its write, which leaves the record whole or absent.
#include "app/app_side.h"
#include "app/failure_record.h"
#include "support/case_table.h"
#include "support/installation.h"
#include "support/signing.h"
#include "support/temp_tree.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>

namespace tavrel::test {
namespace {

std::string replace_once(std::string text, const std::string& from, const std::string& to) {
    return text.replace(text.find(from), from.size(), to);
}

TEST(failure_record, every_message_has_its_stable_code) {
    std::set<std::string> seen;
    for (const case_row& c : read_cases("failure_codes")) {
        SCOPED_TRACE(c[0]);
        EXPECT_EQ(failure_code(c[0]), std::stoi(c[1]));
        EXPECT_TRUE(seen.insert(c[0]).second) << "a message listed twice";
    }
}

TEST(failure_record, is_written_whole_and_read_back_or_refused) {
    temp_dir dir;
    const failure_record record{54, "The updated application could not be launched.", "2.0.3",
                                "yes"};
    write_failure_record(dir.path(), record);
    EXPECT_EQ(read_bytes(dir / "failure.txt"),
              "Tavrel update failure 1\ncode 54\nmessage The updated application could not be "
              "launched.\ninstalled 2.0.3\nrolled-back yes\n");
    EXPECT_FALSE(fs::exists(dir / "failure.txt.tmp"));
    const auto read = app_side::read_failure_record(dir.path());
    ASSERT_TRUE(read);
    EXPECT_EQ(read->code, 54);
    EXPECT_EQ(read->message, record.message);
    EXPECT_EQ(read->installed, "2.0.3");
    EXPECT_EQ(read->rolled_back, "yes");

    // A message on one line whatever it held; every cut of the text is refused.
    const std::string text = failure_record_text({4, "a\nb\rc", "unknown", "no"});
    EXPECT_EQ(text, "Tavrel update failure 1\ncode 4\nmessage a b c\ninstalled unknown\n"
                    "rolled-back no\n");
    for (std::size_t cut = 0; cut < text.size(); ++cut)
        EXPECT_FALSE(parse_failure_record(text.substr(0, cut))) << cut;
    for (const std::string& bad :
         {std::string("Tavrel update failure 2\n") + text.substr(text.find('\n') + 1),
          text + "more\n", replace_once(text, "code 4", "code x"),
          replace_once(text, "code 4", "code 12345"), replace_once(text, "code 4", "code "),
          replace_once(text, "rolled-back no", "rolled-back maybe"),
          replace_once(text, "installed", "version")})
        EXPECT_FALSE(parse_failure_record(bad)) << bad;

    // Removed before a run begins, and never there when it could not be written.
    remove_failure_record(dir.path());
    EXPECT_FALSE(fs::exists(dir / "failure.txt"));
    EXPECT_FALSE(app_side::read_failure_record(dir.path()));
    write_failure_record(dir / "missing", record);
    EXPECT_FALSE(fs::exists(dir / "missing"));
}

// An earlier run's transaction that cannot be undone (its journal is unreadable): the run fails
// after the application's exit, and the record says that backups remain.
TEST(failure_record, tells_of_a_recovery_that_kept_its_backups) {
    update_scenario s(generated_version(false, 3, 2, 2), generated_version(true, 3, 2, 2));
    write_tree(s.inst.app_dir / ".tavrel-update-5-5",
               {{".transaction", "not a journal"}, {"new/Tavrel.exe", "half"}});
    const run_result r = s.update();
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err,
              "The update recovery journal is invalid. Backups were retained for recovery.\n");
    const auto record = read_failure_record(s.inst.download_dir);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->code, 60);
    EXPECT_EQ(record->installed, "2.0.3");
    EXPECT_EQ(record->rolled_back, "incomplete");
    // The application, started again, reports it.
    const run_result started =
        run(program("tavrel-demo-app"), {"--disable-splash"},
            with_environment({{"TAVREL_DEMO_DOWNLOAD_DIR", s.inst.download_dir.string()},
                              {"TAVREL_DEMO_LIFETIME_MS", "0"}}));
    EXPECT_EQ(started.out, "update failed: code 60, \"The update recovery journal is invalid. "
                           "Backups were retained for recovery.\", installed 2.0.3, rolled back "
                           "incomplete\n");
}

// Killed after any change of its writing, the record is whole or absent; the run's other
// changes are those of a run without a record.
TEST(failure_record, a_kill_while_it_is_written_leaves_it_whole_or_absent) {
    update_scenario s(generated_version(false, 3, 2, 2), generated_version(true, 3, 2, 2));
    s.package.signature = sign_bytes_base64(std::vector<std::uint8_t>{1, 2, 3});
    const fs::path log = s.inst.root / "changes.log";
    const run_result logged =
        s.update("tavrel-updater-test", {{"TAVREL_CHANGE_LOG", log.string()}});
    ASSERT_EQ(logged.exit_code, 1);
    std::istringstream lines(read_bytes(log));
    std::vector<int> record_changes;
    for (std::string line; std::getline(lines, line);)
        if (line.find("failure.txt") != std::string::npos)
            record_changes.push_back(std::stoi(line));
    ASSERT_EQ(record_changes.size(), 2u) << read_bytes(log); // the temporary file, the rename
    for (int change = record_changes.front() - 1; change <= record_changes.back(); ++change) {
        SCOPED_TRACE("killed after change " + std::to_string(change));
        s.reset();
        const run_result killed = s.update("tavrel-updater-test",
                                           {{"TAVREL_CRASH_AFTER_CHANGE", std::to_string(change)}});
        EXPECT_EQ(killed.exit_code, 86);
        const bool whole = read_failure_record(s.inst.download_dir).has_value();
        EXPECT_EQ(whole, change >= record_changes.back());
        EXPECT_EQ(fs::exists(s.inst.download_dir / "failure.txt"), whole);
        EXPECT_EQ(s.installed(), s.old_files);
    }
}

} // namespace
} // namespace tavrel::test
