// The handshake through the real binary: the ready marker, the cancel marker, the wait for
// the application to exit and its limits, recovery mode, and the relaunch after a failure.
#include "support/installation.h"
#include "support/programs.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace tavrel::test {
namespace {

const std::string signature(88, 'A');

class handshake : public ::testing::Test {
  protected:
    installation inst;
    void SetUp() override { write_bytes(inst.archive, "not an archive"); }

    std::vector<std::string> update_args(int parent_pid) const {
        return {std::to_string(parent_pid),
                inst.app_dir.string(),
                inst.archive.string(),
                signature,
                "14",
                "2.1.0"};
    }
};

TEST_F(handshake, a_cancel_marker_present_before_the_first_wait_ends_the_run) {
    for (const bool as_directory : {false, true}) {
        SCOPED_TRACE(as_directory ? "directory" : "file");
        fs::create_directories(inst.download_dir);
        write_bytes(inst.archive, "not an archive");
        if (as_directory)
            fs::create_directories(inst.download_dir / "cancel");
        else
            write_bytes(inst.download_dir / "cancel", "");
        const auto app_before = snapshot_tree(inst.app_dir);
        // This test process plays the application and never exits: only the cancel test
        // before the first wait can end the run this fast.
        const run_result r = run(program("tavrel-updater"), update_args(::getpid()),
                                 with_environment(inst.environment()));
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.err, "");
        EXPECT_LT(r.elapsed.count(), 5000);
        EXPECT_FALSE(fs::exists(inst.download_dir));
        EXPECT_EQ(snapshot_tree(inst.app_dir), app_before);
        EXPECT_TRUE(inst.starts().empty());
    }
}

TEST_F(handshake, the_application_cancels_while_the_updater_waits) {
    child_process app(program("tavrel-demo-app"), {"parent", inst.download_dir.string(), "--cancel",
                                                   "--exit-after-ms", "3000"});
    const run_result r = run(program("tavrel-updater"), update_args(app.pid()),
                             with_environment(inst.environment()));
    EXPECT_EQ(app.wait().exit_code, 0);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_LT(r.elapsed.count(), 2500) << "the cancel is seen within a wait or two";
    EXPECT_FALSE(fs::exists(inst.download_dir));
    EXPECT_TRUE(inst.starts().empty());
}

TEST_F(handshake, an_application_that_exits_at_once_lets_the_run_go_on) {
    child_process app(program("tavrel-demo-app"), {"parent", inst.download_dir.string()});
    const run_result r = run(program("tavrel-updater"), update_args(app.pid()),
                             with_environment(inst.environment()));
    app.wait();
    // The next stage refuses the archive: proof that the wait ended with the application.
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "The update signature or configured public key is invalid.\n");
    EXPECT_LT(r.elapsed.count(), 3000);
    EXPECT_EQ(read_bytes(inst.download_dir / "ready"), "ready\r\n");
    // After the application has exited, a failure gives the user the application back.
    ASSERT_EQ(inst.starts(1).size(), 1u);
    EXPECT_EQ(inst.starts()[0], "start --disable-splash|" + inst.app_dir.string());
}

TEST_F(handshake, an_application_that_never_exits_times_out) {
    const auto before = snapshot_tree(inst.app_dir);
    const run_result r = run(program("tavrel-updater-test"), update_args(::getpid()),
                             with_environment({{"TAVREL_TEST_EXIT_POLLS", "5"}}));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Tavrel did not exit. No installed files were changed.\n");
    EXPECT_GE(r.elapsed.count(), 450);
    EXPECT_LT(r.elapsed.count(), 3000);
    EXPECT_EQ(read_bytes(inst.download_dir / "ready"), "ready\r\n");
    EXPECT_TRUE(fs::exists(inst.archive)) << "the download directory stays";
    EXPECT_EQ(snapshot_tree(inst.app_dir), before);
    EXPECT_TRUE(inst.starts().empty());
}

TEST_F(handshake, the_product_waits_the_full_sixty_seconds) {
    const run_result r = run(program("tavrel-updater"), update_args(::getpid()),
                             with_environment(inst.environment()));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Tavrel did not exit. No installed files were changed.\n");
    EXPECT_GE(r.elapsed.count(), 60000);
    EXPECT_LT(r.elapsed.count(), 70000);
}

TEST_F(handshake, a_ready_marker_that_cannot_be_written_rejects_the_run) {
    const run_result r = run(program("tavrel-updater-test"), update_args(::getpid()),
                             with_environment({{"TAVREL_FAIL_OPERATION", "write:1"}}));
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(fs::exists(inst.download_dir / "ready"));
}

TEST_F(handshake, a_failure_before_the_application_exits_starts_nothing) {
    auto args = update_args(::getpid());
    args[5] = "2.1.x";
    const run_result r = run(program("tavrel-updater"), args, with_environment(inst.environment()));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "The requested update version is invalid.\n");
    EXPECT_FALSE(fs::exists(inst.download_dir / "ready"));
    EXPECT_TRUE(inst.starts().empty());
}

TEST_F(handshake, recovery_mode_starts_the_application_from_its_directory) {
    child_process app(program("tavrel-demo-app"), {"parent", inst.download_dir.string()});
    const run_result r = run(program("tavrel-updater"),
                             {std::to_string(app.pid()), inst.app_dir.string(), "--recover"},
                             in_directory(inst.download_dir, inst.environment()));
    app.wait();
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    ASSERT_EQ(inst.starts(1).size(), 1u);
    EXPECT_EQ(inst.starts()[0], "start --disable-splash|" + inst.app_dir.string());
    EXPECT_TRUE(fs::exists(inst.archive)) << "recovery leaves the download directory";
}

TEST_F(handshake, recovery_mode_takes_the_download_directory_from_the_working_directory) {
    const run_result r = run(program("tavrel-updater"),
                             {std::to_string(::getpid()), inst.app_dir.string(), "--recover"},
                             in_directory(inst.root, inst.environment()));
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(fs::exists(inst.root / "ready"));
}

TEST_F(handshake, recovery_mode_reports_an_application_that_cannot_be_started) {
    fs::remove(inst.app_dir / "Tavrel.exe");
    child_process app(program("tavrel-demo-app"), {"parent", inst.download_dir.string()});
    const run_result r = run(program("tavrel-updater"),
                             {std::to_string(app.pid()), inst.app_dir.string(), "--recover"},
                             in_directory(inst.download_dir, inst.environment()));
    app.wait();
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "The restored application could not be launched.\n");
}

TEST_F(handshake, the_application_starts_the_updater_through_the_protocol_library) {
    // The demo application starts the updater, waits for "ready" and exits; the updater goes
    // on alone (this test process adopts it to collect its exit code). The directories have
    // names that the command line must carry whole: blanks, backslashes (file names on Linux),
    // one at the end before the closing quote. (Windows file names hold no quotes.)
    const struct {
        std::string app_dir;
        std::string download_dir;
    } cases[] = {
        {"app", "tavrel-download-1"},
        {"Program Files/Tavrel\\", "tavrel-download-a b"},
        {"two  blanks\\\\", "tavrel-download-x\\ \\y\\\\"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.app_dir + " | " + c.download_dir);
        const fs::path app_dir = inst.root / c.app_dir;
        const fs::path download_dir = inst.root / c.download_dir;
        if (!fs::exists(app_dir / "Tavrel.exe"))
            install_demo_app(app_dir / "Tavrel.exe");
        fs::create_directories(download_dir);
        write_bytes(download_dir / "update.zip", "not an archive");
        fs::remove(inst.log);
        const run_result app =
            run(program("tavrel-demo-app"),
                {"update", program("tavrel-updater").string(), app_dir.string(),
                 (download_dir / "update.zip").string(), signature, "14", "2.1.0"},
                with_environment(inst.environment()));
        ASSERT_EQ(app.exit_code, 0) << app.err;
        const int updater_pid = std::stoi(app.out);
        const run_result r = wait_for_orphan(updater_pid, std::chrono::seconds(30));
        EXPECT_EQ(r.exit_code, 1);
        ASSERT_EQ(inst.starts(1).size(), 1u);
        EXPECT_EQ(inst.starts()[0], "start --disable-splash|" + app_dir.string());
    }
}

} // namespace
} // namespace tavrel::test
