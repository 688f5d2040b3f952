// Every file-system call of an update and of a recovery failed in turn by the test build's hooks:
// the run reports it (or shrugs off a failed cleanup), and the installation ends as one whole
// version, at the latest after a later recovery.
#include "support/case_table.h"
#include "support/installation.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <sstream>
#include <vector>

namespace tavrel::test {
namespace {

tree_spec version(bool updated) {
    return with_kinds_swapped(generated_version(updated, 2, 1, 2), updated);
}

// The calls of each operation in a call log: those that retry transient failures, or the others.
std::map<std::string, int> count_calls(const fs::path& log, bool retried = false) {
    std::map<std::string, int> calls;
    std::istringstream lines(read_bytes(log));
    for (std::string op; std::getline(lines, op);)
        if (op.starts_with("retried ") == retried)
            ++calls[retried ? op.substr(8) : op];
    return calls;
}

class fault_matrix : public ::testing::Test {
  protected:
    update_scenario s{version(false), version(true)};

    // The calls of a whole update: with `retried`, those that retry transient failures.
    std::map<std::string, int> calls_of_a_run(bool retried = false) {
        const fs::path log = s.inst.root / "calls.log";
        fs::remove(log);
        EXPECT_EQ(s.update("tavrel-updater-test", {{"TAVREL_CALL_LOG", log.string()}}).exit_code,
                  0);
        return count_calls(log, retried);
    }
    run_result update(const environment_list& extra) {
        s.reset();
        return s.update("tavrel-updater-test", extra);
    }

    void expect_whole_version(const std::string& when) {
        const tree_snapshot now = s.installed();
        EXPECT_TRUE(now == s.old_files || now == s.new_files) << "a mix of versions " << when;
    }
    // A failed run leaves the old version; any other a whole one, and so does a run whose
    // update is installed but could not be recorded (settled by the next run).
    void expect_outcome(const run_result& r) {
        if (r.exit_code == 1 && !r.err.starts_with("The update was installed and started")) {
            EXPECT_EQ(s.installed(), s.old_files) << r.err;
        } else {
            expect_whole_version("after a run that succeeded or ignored a failure");
        }
    }

    // A failing call's message, or none when it was a cleanup's or the ready marker's (exit 2).
    static void expect_reported(const std::string& op, int k, const run_result& r) {
        if (r.exit_code != 1) {
            EXPECT_TRUE(r.exit_code == 0 || (r.exit_code == 2 && op == "write" && k == 1))
                << r.exit_code << " " << r.err;
            EXPECT_EQ(r.err, "");
            return;
        }
        ASSERT_FALSE(r.err.empty());
        const std::string line = r.err.substr(0, r.err.size() - 1);
        EXPECT_EQ(r.err.back(), '\n');
        EXPECT_EQ(line.find('\n'), std::string::npos) << "one message: " << r.err;
        bool known = false;
        for (const case_row& beginning : read_cases("fault_messages"))
            known = known || (beginning[0] == op &&
                              line.starts_with(beginning.size() > 1 ? beginning[1] : ""));
        EXPECT_TRUE(known) << op << ": " << line;
    }

    // Runs `fail` for every call K of every operation OP: "OP:K".
    static int for_each_call(const std::map<std::string, int>& calls,
                             const std::function<void(const std::string&, int)>& fail) {
        int tried = 0;
        for (const auto& [op, count] : calls)
            for (int k = 1; k <= count; ++k, ++tried) {
                SCOPED_TRACE(op + ":" + std::to_string(k));
                fail(op, k);
            }
        return tried;
    }

    // A kept staging directory is finished by the next recovery.
    void recover_if_kept() {
        if (s.staging_left()) {
            const run_result later = s.recover("tavrel-updater-test");
            EXPECT_EQ(later.exit_code, 0) << later.err;
            expect_whole_version("after a later recovery");
        }
    }
};

TEST_F(fault_matrix, every_failing_call_of_an_update_leaves_a_whole_version) {
    const std::map<std::string, int> calls = calls_of_a_run();
    ASSERT_GT(calls.at("rename"), 10);
    const int tried = for_each_call(calls, [&](const std::string& op, int k) {
        const run_result r = update({{"TAVREL_FAIL_OPERATION", op + ":" + std::to_string(k)}});
        expect_reported(op, k, r);
        expect_outcome(r);
        recover_if_kept();
        expect_outcome(r);
    });
    std::cout << "update faults tried: " << tried << "\n";
}

TEST_F(fault_matrix, every_failing_call_of_a_recovery_is_retried_by_the_next_one) {
    // A transaction interrupted in the middle of its moves (after its fifth rename), recovered.
    const fs::path changes = s.inst.root / "changes.log";
    ASSERT_EQ(update({{"TAVREL_CHANGE_LOG", changes.string()}}).exit_code, 0);
    std::string crash_point;
    int renames = 0;
    std::istringstream lines(read_bytes(changes));
    for (std::string line; renames < 5 && std::getline(lines, line);)
        if (line.find(" rename ") != std::string::npos && ++renames == 5)
            crash_point = line.substr(0, line.find(' '));
    const auto interrupted = [&] {
        ASSERT_EQ(update({{"TAVREL_CRASH_AFTER_CHANGE", crash_point}}).exit_code, 86);
        ASSERT_NE(s.installed(), s.old_files);
    };
    interrupted();
    const fs::path log = s.inst.root / "recovery-calls.log";
    ASSERT_EQ(s.recover("tavrel-updater-test", {{"TAVREL_CALL_LOG", log.string()}}).exit_code, 0);
    ASSERT_EQ(s.installed(), s.old_files);
    const int tried = for_each_call(count_calls(log), [&](const std::string& op, int k) {
        interrupted();
        const run_result r = s.recover("tavrel-updater-test",
                                       {{"TAVREL_FAIL_OPERATION", op + ":" + std::to_string(k)}});
        expect_reported(op, k, r);
        // Every failure but the download directory's own says that the backups stay.
        EXPECT_TRUE(r.exit_code != 1 ||
                    r.err.find(s.inst.download_dir.string()) != std::string::npos ||
                    r.err.ends_with(" Backups were retained for recovery.\n"))
            << r.err;
        const run_result later = s.recover();
        EXPECT_EQ(later.exit_code, 0) << later.err;
        EXPECT_EQ(s.installed(), s.old_files);
    });
    std::cout << "recovery faults tried: " << tried << "\n";
}

TEST_F(fault_matrix, transient_failures_are_waited_out_within_the_bound_and_reported_after_it) {
    // Every call that retries, failing transiently within its bound of 200 ms (as if nothing had
    // failed) and beyond it (as a failure of that call ends).
    const std::map<std::string, int> calls = calls_of_a_run(true);
    for (const char* op : {"write", "rename", "remove", "remove_tree", "flush_open", "read"})
        EXPECT_GT(calls.count(op), 0u) << op << " never retried";
    const int tried = for_each_call(calls, [&](const std::string& op, int k) {
        const auto failing = [&](const char* times) {
            return update({{"TAVREL_FAIL_TRANSIENTLY", op + ":" + std::to_string(k) + ":" + times},
                           {"TAVREL_TEST_RETRY_OPERATION_MS", "200"}});
        };
        const run_result waited = failing("2");
        EXPECT_EQ(waited.exit_code, 0) << waited.err;
        EXPECT_EQ(waited.err, "");
        EXPECT_EQ(s.installed(), s.new_files);

        const run_result held = failing("1000");
        expect_reported(op, k, held);
        expect_outcome(held);
        recover_if_kept();
    });
    std::cout << "transient faults tried: " << 2 * tried << "\n";
}

TEST_F(fault_matrix, the_undo_of_a_commit_has_retries_of_its_own) {
    // A move of the commit held beyond the whole run's budget, then the undo's first rename held
    // for a moment: the undo must still wait it out and bring the old version back whole.
    const run_result r = update({{"TAVREL_FAIL_TRANSIENTLY", "rename:4:1000,rename:5:2"},
                                 {"TAVREL_TEST_RETRY_RUN_MS", "300"}});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(r.err.starts_with("rename: ")) << r.err;
    EXPECT_EQ(r.err.find("Previous files could not all be restored"), std::string::npos) << r.err;
    EXPECT_EQ(s.installed(), s.old_files);
    EXPECT_FALSE(s.staging_left());
}

} // namespace
} // namespace tavrel::test
