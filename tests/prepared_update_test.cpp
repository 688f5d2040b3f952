// The update prepared while the application still runs: the download check, the staging and the
// version checks come before the application's exit, "prepared" says they are done, and
// everything the user or the application can see stays as it was: cancels at any moment,
// failures shown after the exit, the exit limit counted from "prepared", an earlier run's
// staging directory left alone until the application has gone, and kills at random instants
// before and after the exit.
#include "support/installation.h"
#include "support/signing.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <random>
#include <thread>
#include <unistd.h>

namespace tavrel::test {
namespace {

using namespace std::chrono_literals;

tree_spec version(bool updated) {
    return generated_version(updated, 12, 6, 9);
}

// The staging directories of the installation, each with what it holds.
std::map<std::string, tree_snapshot> staging_directories(const fs::path& app_dir) {
    std::map<std::string, tree_snapshot> found;
    for (const auto& entry : fs::directory_iterator(app_dir))
        if (entry.path().filename().string().starts_with(".tavrel-update-"))
            found[entry.path().filename().string()] = snapshot_tree(entry.path());
    return found;
}

void wait_until(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (!condition()) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "waited a minute";
        std::this_thread::sleep_for(2ms);
    }
}

// Each moment an application may call the update off, and failures found before the exit: the
// run ends as it always did, nothing installed changes, no staging directory stays.
TEST(prepared_update, cancels_and_failures_before_the_exit_end_as_before_the_preparation) {
    update_scenario s(version(false), version(true));
    const signed_package good = s.package;
    const signed_package forged = {sign_bytes_base64(std::span<const std::uint8_t>()), good.size};
    const fs::path times = s.inst.root / "times.log";
    const std::string restarted = "start --disable-splash|" + s.inst.app_dir.string();
    struct row {
        std::string what;
        signed_package package;
        std::string version;
        std::vector<std::string> app_options; // of "tavrel-demo-app parent"; none: never exits
        bool cancel_while_staging;            // the updater is stopped while it stages
        int exit_code;
        std::string message;
    };
    for (const row& r : std::vector<row>{
             {"a cancel while it stages", good, "2.1.0", {}, true, 1, ""},
             {"a cancel once it is prepared",
              good,
              "2.1.0",
              {"--wait-prepared", "--cancel", "--exit-after-ms", "5000"},
              false,
              1,
              ""},
             {"a download that fails its check",
              forged,
              "2.1.0",
              {"--wait-prepared", "--exit-after-ms", "1000"},
              false,
              1,
              "The update signature could not be verified. No installed files were changed."},
             {"a version that does not match the staged one",
              good,
              "2.2.0",
              {"--wait-prepared", "--exit-after-ms", "1000"},
              false,
              1,
              "The signed update version does not match the feed or would downgrade Tavrel."},
         }) {
        SCOPED_TRACE(r.what);
        s.reset();
        fs::remove(times);
        s.package = r.package;
        s.version = r.version;
        const tree_snapshot before = snapshot_tree(s.inst.app_dir);
        const fs::path stops = s.inst.root / "stops.log";
        fs::remove(stops);
        std::optional<child_process> app;
        if (!r.app_options.empty()) {
            std::vector<std::string> args = {"parent", s.inst.download_dir.string()};
            args.insert(args.end(), r.app_options.begin(), r.app_options.end());
            app.emplace(program("tavrel-demo-app"), args,
                        with_environment({{"TAVREL_DEMO_TIMES", times.string()}}));
        }
        // The application it starts again records its start.
        environment_list extra{{"TAVREL_DEMO_TIMES", times.string()}};
        if (r.cancel_while_staging)
            extra = extra + environment_list{{"TAVREL_STOP_AT_CHANGE", "3"},
                                             {"TAVREL_STOP_LOG", stops.string()}};
        child_process updater(program("tavrel-updater-test"),
                              s.update_arguments(app ? app->pid() : ::getpid()),
                              in_directory(s.inst.download_dir, s.inst.environment() + extra));
        if (r.cancel_while_staging) {
            wait_until([&] { return process_state(updater.pid()) == 'T'; });
            EXPECT_EQ(staging_directories(s.inst.app_dir).size(), 1u) << "stopped while staging";
            EXPECT_FALSE(fs::exists(s.inst.download_dir / "prepared"));
            write_bytes(s.inst.download_dir / "cancel", "");
            ::kill(updater.pid(), SIGCONT);
        }
        const run_result result = updater.wait();
        if (app) {
            EXPECT_EQ(app->wait().exit_code, 0);
        }
        EXPECT_EQ(result.exit_code, r.exit_code);
        EXPECT_EQ(result.err, r.message.empty() ? "" : r.message + "\n");
        EXPECT_EQ(snapshot_tree(s.inst.app_dir), before);
        const std::vector<std::string> starts = s.inst.starts(r.message.empty() ? 0 : 1);
        if (r.message.empty()) {
            // Called off: the download goes, nothing is shown or started.
            EXPECT_FALSE(fs::exists(s.inst.download_dir));
            EXPECT_TRUE(starts.empty());
            continue;
        }
        // A failure is shown once the application has gone, which is then started again.
        ASSERT_EQ(starts.size(), 1u);
        EXPECT_EQ(starts[0], restarted);
        EXPECT_GE(result.elapsed, 1000ms) << "the failure waited for the application's exit";
        std::ifstream log(times);
        std::string what;
        long long exited = 0, started = 0;
        log >> what >> exited;
        EXPECT_EQ(what, "exit");
        log >> what >> started;
        EXPECT_EQ(what, "start");
        EXPECT_LT(exited, started);
        EXPECT_TRUE(fs::exists(s.inst.archive)) << "kept for another try";
    }
}

// While the application runs, an earlier run's staging directory stays as it is (undoing it
// could touch files the application uses): only the download is checked, the rest follows the
// exit. Without one, the update is staged before "prepared".
TEST(prepared_update, an_earlier_staging_directory_waits_for_the_exit) {
    update_scenario s(version(false), version(true));
    for (const bool leftover : {false, true}) {
        SCOPED_TRACE(leftover ? "with a staging directory left by a killed run" : "without");
        s.reset();
        if (leftover)
            write_tree(s.inst.app_dir / ".tavrel-update-7-7", {{"new/Tavrel.exe", "half"}});
        const auto before = staging_directories(s.inst.app_dir);
        {
            // This test process is the application: it never exits, so "prepared" is looked at
            // while the updater waits, and the run ends with the exit limit.
            child_process updater(
                program("tavrel-updater-test"), s.update_arguments(::getpid()),
                in_directory(s.inst.download_dir,
                             s.inst.environment() +
                                 environment_list{{"TAVREL_TEST_EXIT_POLLS", "20"}}));
            wait_until([&] { return fs::exists(s.inst.download_dir / "prepared"); });
            const auto prepared = staging_directories(s.inst.app_dir);
            if (leftover) {
                EXPECT_EQ(prepared, before) << "nothing staged, nothing undone";
            } else {
                ASSERT_EQ(prepared.size(), 1u);
                EXPECT_TRUE(prepared.begin()->second.contains("new/Tavrel.exe"));
            }
            const run_result r = updater.wait();
            EXPECT_EQ(r.err, "Tavrel did not exit. No installed files were changed.\n");
        }
        EXPECT_EQ(staging_directories(s.inst.app_dir), before);
        // With the application gone, the next run undoes the leftover and installs.
        s.prepare_download();
        const run_result next = s.update();
        EXPECT_EQ(next.exit_code, 0) << next.err;
        EXPECT_EQ(s.installed(), s.new_files);
        EXPECT_FALSE(s.staging_left());
    }
}

// The application's time to exit counts from "prepared": a preparation that took longer than
// the limit (the updater held still during its staging) leaves the application all of it.
TEST(prepared_update, the_exit_limit_counts_from_the_end_of_the_preparation) {
    update_scenario s(version(false), version(true));
    for (const auto& [exit_after, exit_code] :
         std::vector<std::pair<std::string, int>>{{"400", 0}, {"2500", 1}}) {
        SCOPED_TRACE("the application exits " + exit_after + " ms after \"prepared\"");
        s.reset();
        const fs::path stops = s.inst.root / "stops.log";
        fs::remove(stops);
        child_process app(program("tavrel-demo-app"),
                          {"parent", s.inst.download_dir.string(), "--wait-prepared",
                           "--exit-after-ms", exit_after});
        child_process updater(
            program("tavrel-updater-test"), s.update_arguments(app.pid()),
            in_directory(s.inst.download_dir,
                         s.inst.environment() +
                             environment_list{{"TAVREL_TEST_EXIT_POLLS", "10"},
                                              {"TAVREL_STOP_AT_CHANGE", "3"},
                                              {"TAVREL_STOP_LOG", stops.string()}}));
        wait_until([&] { return process_state(updater.pid()) == 'T'; });
        std::this_thread::sleep_for(1500ms); // longer than the limit of 10 polls of 100 ms
        ::kill(updater.pid(), SIGCONT);
        const run_result r = updater.wait();
        EXPECT_EQ(app.wait().exit_code, 0);
        EXPECT_EQ(r.exit_code, exit_code) << r.err;
        EXPECT_EQ(s.installed(), exit_code == 0 ? s.new_files : s.old_files);
        EXPECT_FALSE(s.staging_left());
        if (exit_code != 0) {
            EXPECT_EQ(r.err, "Tavrel did not exit. No installed files were changed.\n");
        }
    }
}

// The product killed at random instants of a prepared run, with an application that exits once
// "prepared" is there: before its exit (while staging) and after it (the moves, the
// confirmation). The next run ends in a whole version with no staging directory left.
TEST(prepared_update, kills_before_and_after_the_exit_leave_a_whole_version) {
    update_scenario s(version(false), version(true));
    std::chrono::milliseconds duration{0};
    {
        child_process app(program("tavrel-demo-app"),
                          {"parent", s.inst.download_dir.string(), "--wait-prepared"});
        const run_result whole = run(program("tavrel-updater"), s.update_arguments(app.pid()),
                                     in_directory(s.inst.download_dir, s.inst.environment()));
        ASSERT_EQ(whole.exit_code, 0) << whole.err;
        duration = whole.elapsed;
    }
    std::mt19937 random(20261207);
    int before_exit = 0, old_trees = 0, new_trees = 0;
    for (int i = 0; i < 24; ++i) {
        const long long span = duration.count() * 1250; // microseconds, a quarter more
        const auto delay = std::chrono::microseconds((span * i + random() % span) / 24);
        SCOPED_TRACE("killed after " + std::to_string(delay.count()) + " µs");
        s.reset();
        {
            child_process app(program("tavrel-demo-app"),
                              {"parent", s.inst.download_dir.string(), "--wait-prepared"});
            child_process updater(program("tavrel-updater"), s.update_arguments(app.pid()),
                                  in_directory(s.inst.download_dir, s.inst.environment()));
            std::this_thread::sleep_for(delay);
            ::kill(updater.pid(), SIGKILL);
            updater.wait();
            const char state = process_state(app.pid());
            before_exit += state != 0 && state != 'Z' ? 1 : 0;
        } // the application is ended too, if it still waited
        const run_result recovered = s.recover();
        ASSERT_EQ(recovered.exit_code, 0) << recovered.err;
        const tree_snapshot files = s.installed();
        ASSERT_TRUE(files == s.old_files || files == s.new_files) << "a mix of versions";
        (files == s.new_files ? new_trees : old_trees) += 1;
        if (files == s.old_files) {
            ASSERT_FALSE(s.staging_left());
        }
    }
    std::cout << "kills: " << before_exit << " before the application's exit, " << old_trees
              << " left the old version, " << new_trees << " the new one\n";
    EXPECT_GT(before_exit, 0);
    EXPECT_GT(old_trees, 0);
    EXPECT_GT(new_trees, 0);
}

} // namespace
} // namespace tavrel::test
