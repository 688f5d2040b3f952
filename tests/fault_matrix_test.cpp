// Faults of the platform: every call of every kind of file-system operation that an update
// and a recovery make is failed once, in turn, through the test build's hooks. Whatever
// fails, the run reports it (or shrugs off a failure of mere cleanup), and the installation
// ends as the old version or the new one, never a mix, at the latest after a later recovery.
#include "support/installation.h"

#include <gtest/gtest.h>
#include <map>
#include <sstream>
#include <vector>

namespace tavrel::test {
namespace {

tree_spec version(bool updated) {
    tree_spec files{{"Tavrel.exe", updated ? "demo-app 2.1.0.0" : "demo-app 2.0.3.0"},
                    {"readme.txt", updated ? "new" : "old"},
                    {"lib/shared.dll", updated ? "shared 2" : "shared 1"},
                    {"lib/same.dll", "same"}};
    if (updated) {
        files["added/deep/one.txt"] = "added 1";
        files["added/two.txt"] = "added 2";
    } else {
        files["legacy/gone.txt"] = "removed";
        files["lib/gone.dll"] = "removed too";
    }
    return files;
}

// How a failure of each kind of operation may begin its message (the file-system errors
// name their operation; the stages have their own sentences). A message that begins with none
// of these (a wrong operation name, an empty text, a mangled sentence) fails the test.
const std::map<std::string, std::vector<std::string>> expected_beginnings = {
    {"write",
     {"Could not write an update staging file.", "Could not write the update recovery journal."}},
    {"rename", {"rename: ", "Could not write the update recovery journal."}},
    {"create_event", {"Could not create the update startup confirmation."}},
    {"remove", {"The updated application could not be launched.", "remove: ", "remove_all: "}},
    {"remove_tree", {""}},
    {"create_directory", {"create_directories: ", "create_directory: "}},
    {"clear_read_only", {"permissions: "}},
    {"flush", {"Could not save the update recovery journal."}},
    {"flush_tree",
     {"Could not write an update staging file.", "Could not save the update recovery journal.",
      "flush: "}},
    {"flush_open", {"Could not open the update recovery journal."}},
    {"status",
     {"exists: ", "status: ", "symlink_status: ", "file_size: ", "directory_entry::status: ",
      "directory_entry::symlink_status: ", "create_directories: ", "create_directory: ",
      "Cannot inspect an update destination.",
      "The application directory is not a regular directory.",
      "The application version could not be read.", "The downloaded update could not be read."}},
    {"list",
     {"directory_iterator::directory_iterator: ", "directory_iterator::operator++: ",
      "remove_all: "}},
};

// The calls of each operation in a call log; with `retried`, those that retry transient
// failures ("retried op" lines), otherwise the plain ones.
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
    installation inst;
    fs::path old_template;
    fs::path package;
    signed_package signed_zip;
    tree_snapshot old_files;
    tree_snapshot new_files;

    void SetUp() override {
        install_tree(inst, version(false));
        old_files = files_of(snapshot_tree(inst.app_dir));
        old_template = inst.root / "old-template";
        fs::copy(inst.app_dir, old_template, fs::copy_options::recursive);
        write_tree(inst.root / "tree", version(true));
        package = inst.root / "update.zip";
        signed_zip = pack_and_sign(inst.root / "tree", package);
    }

    void reset() {
        fs::remove_all(inst.app_dir);
        fs::copy(old_template, inst.app_dir, fs::copy_options::recursive);
        fs::remove_all(inst.download_dir);
        fs::create_directories(inst.download_dir);
        fs::copy_file(package, inst.archive);
    }

    run_result update(environment_list extra) {
        const ended_process app;
        auto environment = inst.environment();
        environment.insert(environment.end(), extra.begin(), extra.end());
        const run_result r =
            run(program("tavrel-updater-test"),
                {std::to_string(app.pid()), inst.app_dir.string(), inst.archive.string(),
                 signed_zip.signature, signed_zip.size, "2.1.0"},
                with_environment(environment));
        return r;
    }

    run_result recover(environment_list extra = {}) {
        fs::create_directories(inst.download_dir);
        const ended_process app;
        auto environment = inst.environment();
        environment.insert(environment.end(), extra.begin(), extra.end());
        const run_result r = run(program("tavrel-updater-test"),
                                 {std::to_string(app.pid()), inst.app_dir.string(), "--recover"},
                                 in_directory(inst.download_dir, environment));
        return r;
    }

    bool staging_left() const {
        for (const auto& entry : fs::directory_iterator(inst.app_dir))
            if (entry.path().filename().string().rfind(".tavrel-update-", 0) == 0)
                return true;
        return false;
    }

    tree_snapshot installed() const {
        return files_of(snapshot_tree(inst.app_dir, ".tavrel-update-"));
    }

    void expect_whole_version(const std::string& when) {
        const tree_snapshot now = installed();
        EXPECT_TRUE(now == old_files || now == new_files) << "a mix of versions " << when;
    }

    static void expect_message(const std::string& op, const std::string& err) {
        ASSERT_FALSE(err.empty());
        ASSERT_EQ(err.back(), '\n');
        const std::string line = err.substr(0, err.size() - 1);
        EXPECT_EQ(line.find('\n'), std::string::npos) << "one message: " << err;
        bool known = false;
        for (const auto& beginning : expected_beginnings.at(op))
            known = known || line.rfind(beginning, 0) == 0;
        EXPECT_TRUE(known) << op << ": " << line;
    }
};

TEST_F(fault_matrix, every_failing_call_of_an_update_leaves_a_whole_version) {
    reset();
    const fs::path calls_log = inst.root / "calls.log";
    ASSERT_EQ(update({{"TAVREL_CALL_LOG", calls_log.string()}}).exit_code, 0);
    new_files = installed();
    const std::map<std::string, int> calls = count_calls(calls_log);
    ASSERT_GT(calls.at("rename"), 10);

    int tried = 0;
    for (const auto& [op, count] : calls) {
        for (int k = 1; k <= count; ++k) {
            SCOPED_TRACE(op + ":" + std::to_string(k));
            reset();
            const run_result r = update({{"TAVREL_FAIL_OPERATION", op + ":" + std::to_string(k)}});
            ++tried;
            if (r.exit_code == 1) {
                expect_message(op, r.err);
                EXPECT_EQ(installed(), old_files) << r.err;
            } else {
                // Ready marker refused (exit 2), or a failure of cleanup that the run rightly
                // ignores (exit 0).
                EXPECT_TRUE(r.exit_code == 0 || (r.exit_code == 2 && op == "write" && k == 1))
                    << r.exit_code << " " << r.err;
                EXPECT_EQ(r.err, "");
                expect_whole_version("right after the run");
            }
            // A kept staging directory is finished by the next recovery.
            if (staging_left()) {
                const run_result later = recover();
                EXPECT_EQ(later.exit_code, 0) << later.err;
                expect_whole_version("after a later recovery");
            }
            if (r.exit_code == 1) {
                EXPECT_EQ(installed(), old_files);
            }
        }
    }
    std::cout << "update faults tried: " << tried << "\n";
}

TEST_F(fault_matrix, every_failing_call_of_a_recovery_is_retried_by_the_next_one) {
    // A transaction interrupted in the middle of its moves, to be recovered.
    reset();
    const fs::path changes_log = inst.root / "changes.log";
    ASSERT_EQ(update({{"TAVREL_CHANGE_LOG", changes_log.string()}}).exit_code, 0);
    new_files = installed();
    int crash_point = 0;
    int renames = 0;
    std::istringstream lines(read_bytes(changes_log));
    for (std::string line; std::getline(lines, line) && renames < 5;) {
        std::istringstream fields(line);
        std::string kind;
        fields >> crash_point >> kind;
        renames += kind == "rename";
    }
    const auto interrupted = [&] {
        reset();
        const run_result crashed =
            update({{"TAVREL_CRASH_AFTER_CHANGE", std::to_string(crash_point)}});
        ASSERT_EQ(crashed.exit_code, 86);
        ASSERT_NE(installed(), old_files);
    };

    interrupted();
    const fs::path calls_log = inst.root / "recovery-calls.log";
    ASSERT_EQ(recover({{"TAVREL_CALL_LOG", calls_log.string()}}).exit_code, 0);
    ASSERT_EQ(installed(), old_files);
    const std::map<std::string, int> calls = count_calls(calls_log);

    int tried = 0;
    for (const auto& [op, count] : calls) {
        for (int k = 1; k <= count; ++k) {
            SCOPED_TRACE(op + ":" + std::to_string(k));
            interrupted();
            const run_result r = recover({{"TAVREL_FAIL_OPERATION", op + ":" + std::to_string(k)}});
            ++tried;
            if (r.exit_code == 1) {
                expect_message(op, r.err);
            } else {
                EXPECT_TRUE(r.exit_code == 0 || (r.exit_code == 2 && op == "write" && k == 1))
                    << r.exit_code << " " << r.err;
            }
            const run_result later = recover();
            EXPECT_EQ(later.exit_code, 0) << later.err;
            EXPECT_EQ(installed(), old_files);
        }
    }
    std::cout << "recovery faults tried: " << tried << "\n";
}

TEST_F(fault_matrix, transient_failures_are_waited_out_within_the_bound_and_reported_after_it) {
    // Every call that retries (writes, renames, removals, flush openings), failing transiently
    // for a moment and then for longer than its bound of 200 ms. Within the bound the run is
    // as if nothing had failed; beyond it, it ends as a failure of that call ends.
    reset();
    const fs::path calls_log = inst.root / "calls.log";
    ASSERT_EQ(update({{"TAVREL_CALL_LOG", calls_log.string()}}).exit_code, 0);
    new_files = installed();
    const std::map<std::string, int> calls = count_calls(calls_log, true);
    for (const char* op : {"write", "rename", "remove", "remove_tree", "flush_open"})
        EXPECT_GT(calls.count(op), 0u) << op << " never retried";
    const environment_list bound = {{"TAVREL_TEST_RETRY_OPERATION_MS", "200"}};
    int tried = 0;
    for (const auto& [op, count] : calls) {
        for (int k = 1; k <= count; ++k) {
            SCOPED_TRACE(op + ":" + std::to_string(k));
            reset();
            const run_result waited = update(
                environment_list{{"TAVREL_FAIL_TRANSIENTLY", op + ":" + std::to_string(k) + ":2"}} +
                bound);
            EXPECT_EQ(waited.exit_code, 0) << waited.err;
            EXPECT_EQ(waited.err, "");
            EXPECT_EQ(installed(), new_files);

            reset();
            const run_result held =
                update(environment_list{
                           {"TAVREL_FAIL_TRANSIENTLY", op + ":" + std::to_string(k) + ":1000"}} +
                       bound);
            if (held.exit_code == 1) {
                expect_message(op, held.err);
                EXPECT_EQ(installed(), old_files) << held.err;
            } else {
                EXPECT_TRUE(held.exit_code == 0 || (held.exit_code == 2 && op == "write" && k == 1))
                    << held.exit_code << " " << held.err;
                expect_whole_version("after a failure that was ignored");
            }
            if (staging_left()) {
                EXPECT_EQ(recover().exit_code, 0);
                expect_whole_version("after a later recovery");
            }
            tried += 2;
        }
    }
    std::cout << "transient faults tried: " << tried << "\n";
}

} // namespace
} // namespace tavrel::test
