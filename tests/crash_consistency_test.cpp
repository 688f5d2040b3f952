// Crashes: the test build dies right after its N-th file-system change, for every N of an update
// from a full package and from a delta (and of a recovery); the product is killed at random
// instants. Recovery must then leave the old version, or the new one once the acceptance marker was
// on disk, with no unaccepted staging directory, and a later update must still succeed.
#include "support/delta_package.h"
#include "support/installation.h"
#include "support/signing.h"
#include "support/zip_builder.h"

#include <gtest/gtest.h>

#include <csignal>
#include <random>
#include <sstream>
#include <thread>

namespace tavrel::test {
namespace {

tree_spec version(bool updated) {
    return with_kinds_swapped(generated_version(updated, 20, 10, 15), updated);
}

struct change {
    int number;
    std::string kind;
    std::string target;
};

std::vector<change> read_changes(const fs::path& log) {
    std::vector<change> changes;
    std::istringstream lines(read_bytes(log));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        change c;
        fields >> c.number >> c.kind;
        std::getline(fields >> std::ws, c.target);
        changes.push_back(c);
    }
    return changes;
}

// The changes of one complete run of the test build.
std::vector<change> changes_of_a_run(update_scenario& s) {
    s.reset();
    const fs::path log = s.inst.root / "changes.log";
    fs::remove(log);
    const run_result r = s.update("tavrel-updater-test", {{"TAVREL_CHANGE_LOG", log.string()}});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return read_changes(log);
}

int marker_change(const std::vector<change>& changes) {
    for (const auto& c : changes)
        if (c.kind == "write" && fs::path(c.target).filename() == ".accepted")
            return c.number;
    return 0;
}

// The update of a full package, and of a delta (patched, kept and whole files).
class crash_points : public ::testing::TestWithParam<bool> {};

TEST_P(crash_points, every_crash_point_of_an_update_recovers_to_a_whole_version) {
    update_scenario s(version(false), version(true));
    if (GetParam())
        use_delta(s);
    const std::vector<change> changes = changes_of_a_run(s);
    ASSERT_EQ(s.installed(), s.new_files);
    const int marker_written = marker_change(changes);
    ASSERT_GT(marker_written, 0);
    ASSERT_GE(changes.size(), 100u);

    for (const auto& c : changes) {
        SCOPED_TRACE("crash after change " + std::to_string(c.number) + ": " + c.kind + " " +
                     c.target);
        s.reset();
        const run_result crashed = s.update(
            "tavrel-updater-test", {{"TAVREL_CRASH_AFTER_CHANGE", std::to_string(c.number)}});
        ASSERT_EQ(crashed.exit_code, 86) << crashed.err;
        // At every fourth point before the acceptance, the next update undoes what is left.
        if (c.number % 4 == 1 && c.number < marker_written) {
            s.prepare_download();
            const run_result next = s.update();
            ASSERT_EQ(next.exit_code, 0) << next.err;
            ASSERT_EQ(s.installed(), s.new_files);
            ASSERT_FALSE(s.staging_left());
            continue;
        }
        const run_result recovered = s.recover();
        ASSERT_EQ(recovered.exit_code, 0) << recovered.err;
        const bool accepted = c.number >= marker_written;
        ASSERT_EQ(s.installed(), accepted ? s.new_files : s.old_files);
        // Unaccepted staging directories are undone or, when their moves never began, removed.
        ASSERT_TRUE(accepted || !s.staging_left());
        // And it still takes an update (at every third point: each stage several times).
        if (c.number % 3 != 0 && c.number != static_cast<int>(changes.size()))
            continue;
        s.prepare_download();
        const run_result again = s.update();
        // The new version is no base of the delta: refused, and nothing changes.
        if (GetParam() && accepted)
            ASSERT_EQ(again.err, "The update does not fit the installed version.\n");
        else
            ASSERT_EQ(again.exit_code, 0) << again.err;
        ASSERT_EQ(s.installed(), s.new_files);
    }
}

INSTANTIATE_TEST_SUITE_P(packages, crash_points, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "delta" : "full"; });

// The recovery itself may die after any of its changes; the next one still finishes.
TEST(crash_consistency, a_recovery_interrupted_after_any_change_is_finished_by_the_next) {
    update_scenario s(version(false), version(true));
    // An update interrupted just before its acceptance leaves every kind of undo to do.
    const int n = marker_change(changes_of_a_run(s)) - 1;
    s.reset();
    ASSERT_EQ(s.update("tavrel-updater-test", {{"TAVREL_CRASH_AFTER_CHANGE", std::to_string(n)}})
                  .exit_code,
              86);
    const fs::path interrupted = s.inst.root / "interrupted";
    fs::copy(s.inst.app_dir, interrupted, fs::copy_options::recursive);
    int m = 1;
    for (;; ++m) {
        SCOPED_TRACE("recovery crash " + std::to_string(m));
        fs::remove_all(s.inst.app_dir);
        fs::copy(interrupted, s.inst.app_dir, fs::copy_options::recursive);
        const run_result crashed =
            s.recover("tavrel-updater-test", {{"TAVREL_CRASH_AFTER_CHANGE", std::to_string(m)}});
        if (crashed.exit_code == 0)
            break; // the recovery made fewer than m changes
        ASSERT_EQ(crashed.exit_code, 86) << crashed.err;
        const run_result next = s.recover();
        ASSERT_EQ(next.exit_code, 0) << next.err;
        ASSERT_EQ(s.installed(), s.old_files);
        ASSERT_FALSE(s.staging_left());
    }
    std::cout << "recovery crash points: " << m - 1 << "\n";
    EXPECT_GT(m, 60);
}

// Kills the product at `count` instants over a whole run's time and a quarter more (runs under
// load take longer), then recovers.
void kill_at_random_instants(update_scenario& s, int count, std::chrono::milliseconds duration,
                             int& old_trees, int& new_trees) {
    std::mt19937 random(20261206);
    for (int i = 0; i < count; ++i) {
        const long long span = duration.count() * 1250; // microseconds
        const auto delay = std::chrono::microseconds((span * i + random() % span) / count);
        SCOPED_TRACE("killed after " + std::to_string(delay.count()) + " µs");
        s.reset();
        {
            const ended_process app;
            child_process updater(program("tavrel-updater"), s.update_arguments(app.pid()),
                                  with_environment(s.inst.environment()));
            std::this_thread::sleep_for(delay);
            ::kill(updater.pid(), SIGKILL);
            updater.wait();
        }
        const run_result recovered = s.recover();
        ASSERT_EQ(recovered.exit_code, 0) << recovered.err;
        const tree_snapshot files = s.installed();
        ASSERT_TRUE(files == s.old_files || files == s.new_files) << "a mix of versions";
        (files == s.new_files ? new_trees : old_trees) += 1;
    }
}

TEST(crash_consistency, kills_of_the_product_at_random_instants_leave_a_whole_version) {
    update_scenario s(version(false), version(true));
    s.reset();
    const run_result whole = s.update();
    ASSERT_EQ(whole.exit_code, 0) << whole.err;
    int old_trees = 0;
    int new_trees = 0;
    kill_at_random_instants(s, 60, whole.elapsed, old_trees, new_trees);
    std::cout << "kills: " << old_trees << " left the old version, " << new_trees
              << " the new one\n";
    EXPECT_GT(old_trees, 0);
    EXPECT_GT(new_trees, 0);
}

TEST(crash_consistency, an_update_whose_journal_recovery_could_not_read_never_begins) {
    // 1,451 files with 2,961-byte paths and Tavrel.exe: each path passes, the 4.3 MB journal
    // would not (recovery reads 4 MiB).
    update_scenario s(version(false), version(true));
    std::string directories;
    for (int level = 0; level < 12; ++level)
        directories += std::string(240, static_cast<char>('a' + level)) + "/";
    std::vector<zip_entry_spec> entries;
    for (int i = 0; i < 1451; ++i) {
        std::string name = directories + "file-" + std::to_string(10000 + i) + "-";
        name += std::string(2961 - name.size(), 'x');
        entries.push_back(file_entry(name, "long path " + std::to_string(i)));
    }
    const fs::path app = s.inst.root / "app-2.1.0";
    install_demo_app(app, "2.1.0.0");
    entries.push_back(file_entry("Tavrel.exe", read_bytes(app), zip_deflated));

    s.reset();
    write_zip(s.inst.archive, entries);
    s.package = {test_signature_base64(s.inst.archive),
                 std::to_string(fs::file_size(s.inst.archive))};
    const tree_snapshot before = snapshot_tree(s.inst.app_dir);
    const run_result refused = s.update("tavrel-updater-test");
    EXPECT_EQ(refused.exit_code, 1);
    EXPECT_EQ(refused.err, "The update recovery journal would be too large.\n");
    EXPECT_EQ(snapshot_tree(s.inst.app_dir), before);
    ASSERT_EQ(s.inst.starts(1).size(), 1u);
    EXPECT_EQ(s.inst.starts()[0], "start --disable-splash|" + s.inst.app_dir.string());
}

} // namespace
} // namespace tavrel::test
