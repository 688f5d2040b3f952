// Whole updates through the real binaries: the updater against the demo application, with
// packages made by tavrel-pack and signed with the test key.
#include "support/installation.h"
#include "support/programs.h"
#include "support/signing.h"

#include <gtest/gtest.h>
#include <sstream>

namespace tavrel::test {
namespace {

const tree_spec old_version = {
    {"Tavrel.exe", "demo-app 2.0.3.0"},      {"readme.txt", "read me 2.0.3"},
    {"data/settings.dat", "settings 2.0.3"}, {"data/legacy.dat", "only in 2.0.3"},
    {"plugins/a.dll", "plugin a 2.0.3"},
};

const tree_spec new_version = {
    {"Tavrel.exe", "demo-app 2.1.0.0"},
    {"readme.txt", "read me 2.1.0"},
    {"data/settings.dat", "settings 2.1.0"},
    {"plugins/a.dll", "plugin a 2.1.0"},
    {"plugins/extra/b.dll", "plugin b, new in 2.1.0"},
};

class update : public ::testing::Test {
  protected:
    installation inst;
    tree_snapshot old_tree;
    tree_snapshot new_tree;

    void SetUp() override {
        install_tree(inst, old_version);
        old_tree = snapshot_tree(inst.app_dir);
        // What a successful update must leave: the new files and the new manifest.
        const fs::path reference = inst.root / "reference";
        install_tree_at(reference, new_version);
        new_tree = snapshot_tree(reference);
        fs::remove_all(reference);
    }

    void install_tree_at(const fs::path& target, const tree_spec& files) {
        const fs::path tree = inst.root / "reference-tree";
        write_tree(tree, files);
        pack_and_sign(tree, inst.root / "reference.zip");
        fs::create_directories(target);
        run("/usr/bin/unzip",
            {"-q", (inst.root / "reference.zip").string(), "-d", target.string()});
        fs::permissions(target / "Tavrel.exe", fs::perms::owner_exec, fs::perm_options::add);
        fs::remove_all(tree);
        fs::remove(inst.root / "reference.zip");
    }

    signed_package prepare(const tree_spec& files) {
        const fs::path tree = inst.root / "package-tree";
        fs::remove_all(tree);
        write_tree(tree, files);
        return pack_and_sign(tree, inst.archive);
    }

    // Runs the updater with the demo application as the application that exits.
    run_result run_update(const signed_package& package, const std::string& version,
                          const std::string& behaviour = "confirm", environment_list extra = {},
                          const std::string& updater = "tavrel-updater") {
        child_process app(program("tavrel-demo-app"), {"parent", inst.download_dir.string()});
        auto environment = inst.environment(behaviour);
        environment.insert(environment.end(), extra.begin(), extra.end());
        environment.push_back({"TAVREL_DEMO_HANG_MS", "5000"});
        const run_result r = run(program(updater),
                                 {std::to_string(app.pid()), inst.app_dir.string(),
                                  inst.archive.string(), package.signature, package.size, version},
                                 with_environment(environment));
        app.wait();
        return r;
    }

    // The number of the file-system change at which the `occurrence`-th change of kind `op`
    // happens in a complete update (found by running one with the change log, then putting
    // the old version back).
    int change_number(const signed_package& package, const std::string& op, int occurrence) {
        const fs::path log = inst.root / "changes.log";
        const run_result r =
            run_update(package, "2.1.0", "confirm", {{"TAVREL_CHANGE_LOG", log.string()}},
                       "tavrel-updater-test");
        EXPECT_EQ(r.exit_code, 0) << r.err;
        std::istringstream lines(read_bytes(log));
        int found = 0;
        for (std::string line; std::getline(lines, line);) {
            std::istringstream fields(line);
            int number = 0;
            std::string kind;
            fields >> number >> kind;
            if (kind == op && ++found == occurrence) {
                install_tree(inst, old_version);
                fs::create_directories(inst.download_dir);
                prepare(new_version);
                fs::remove(inst.log);
                return number;
            }
        }
        ADD_FAILURE() << "no " << op << " #" << occurrence;
        return 0;
    }

    bool staging_left() const {
        for (const auto& entry : fs::directory_iterator(inst.app_dir))
            if (entry.path().filename().string().rfind(".tavrel-update-", 0) == 0)
                return true;
        return false;
    }
};

TEST_F(update, installs_replaces_adds_and_removes_files) {
    const signed_package package = prepare(new_version);
    const run_result r = run_update(package, "2.1.0");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(snapshot_tree(inst.app_dir), new_tree);
    EXPECT_FALSE(fs::exists(inst.app_dir / "data" / "legacy.dat"));
    EXPECT_FALSE(staging_left());
    EXPECT_FALSE(fs::exists(inst.download_dir));
    const auto starts = inst.starts(1);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(
        starts[0].rfind("start --disable-splash --tavrel-update-event=Local\\TavrelUpdate-", 0), 0u)
        << starts[0];
    EXPECT_EQ(
        run(program("tavrel-demo-app"), {"version", (inst.app_dir / "Tavrel.exe").string()}).out,
        "2.1.0\n");
}

TEST_F(update, an_application_that_does_not_confirm_is_rolled_back) {
    const signed_package package = prepare(new_version);
    const struct {
        std::string behaviour;
        long long max_ms;
    } cases[] = {{"hang", 20000}, {"exit", 10000}, {"confirm-exit", 10000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.behaviour);
        fs::remove(inst.log);
        fs::create_directories(inst.download_dir);
        if (!fs::exists(inst.archive))
            prepare(new_version);
        const run_result r =
            run_update(package, "2.1.0", c.behaviour, {{"TAVREL_TEST_CONFIRMATION_MS", "1500"}},
                       "tavrel-updater-test");
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.err, "The updated application could not be launched.\n");
        EXPECT_LT(r.elapsed.count(), c.max_ms);
        // Every file back, added files gone; only the emptied new directory may remain.
        EXPECT_EQ(files_of(snapshot_tree(inst.app_dir)), files_of(old_tree));
        EXPECT_FALSE(staging_left());
        EXPECT_TRUE(fs::exists(inst.archive)) << "the download stays for another try";
        const auto starts = inst.starts(2);
        ASSERT_EQ(starts.size(), 2u);
        EXPECT_NE(starts[0].find("--tavrel-update-event="), std::string::npos);
        EXPECT_EQ(starts[1], "start --disable-splash|" + inst.app_dir.string())
            << "the previous application is started again";
    }
}

TEST_F(update, refusals_leave_the_installation_unchanged_and_restart_it) {
    const struct {
        std::string what;
        tree_spec files;
        std::string version;
        bool corrupt_signature;
        std::string message;
    } cases[] = {
        {"bad signature", new_version, "2.1.0", true,
         "The update signature could not be verified. No installed files were changed."},
        {"version mismatch", new_version, "2.2.0", false,
         "The signed update version does not match the feed or would downgrade Tavrel."},
        {"downgrade",
         {{"Tavrel.exe", "demo-app 2.0.2.0"}},
         "2.0.2",
         false,
         "The signed update version does not match the feed or would downgrade Tavrel."},
        {"reinstall",
         {{"Tavrel.exe", "demo-app 2.0.3.0"}},
         "2.0.3",
         false,
         "The signed update version does not match the feed or would downgrade Tavrel."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(inst.log);
        fs::create_directories(inst.download_dir);
        signed_package package = prepare(c.files);
        if (c.corrupt_signature) // a real signature, of other bytes
            package.signature = sign_bytes_base64(std::vector<std::uint8_t>{1, 2, 3});
        const run_result r = run_update(package, c.version);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.err, c.message + "\n");
        EXPECT_EQ(snapshot_tree(inst.app_dir), old_tree);
        EXPECT_FALSE(staging_left());
        ASSERT_EQ(inst.starts(1).size(), 1u);
        EXPECT_EQ(inst.starts()[0], "start --disable-splash|" + inst.app_dir.string());
    }
}

TEST_F(update, an_interrupted_update_is_undone_by_recovery_and_by_the_next_update) {
    const signed_package package = prepare(new_version);
    const std::string crash_point = std::to_string(change_number(package, "rename", 5));
    // Stop the updater in the middle of its moves, as a crash would.
    const run_result crashed =
        run_update(package, "2.1.0", "confirm", {{"TAVREL_CRASH_AFTER_CHANGE", crash_point}},
                   "tavrel-updater-test");
    ASSERT_EQ(crashed.exit_code, 86) << crashed.err;
    ASSERT_TRUE(staging_left());
    ASSERT_NE(files_of(snapshot_tree(inst.app_dir, ".tavrel-update-")), files_of(old_tree))
        << "the crash point must fall inside the moves";

    child_process app(program("tavrel-demo-app"), {"parent", inst.download_dir.string()});
    const run_result recovered = run(
        program("tavrel-updater"), {std::to_string(app.pid()), inst.app_dir.string(), "--recover"},
        in_directory(inst.download_dir, inst.environment()));
    app.wait();
    EXPECT_EQ(recovered.exit_code, 0) << recovered.err;
    EXPECT_EQ(files_of(snapshot_tree(inst.app_dir)), files_of(old_tree));
    EXPECT_FALSE(staging_left());
    ASSERT_FALSE(inst.starts(1).empty());
    EXPECT_EQ(inst.starts().back(), "start --disable-splash|" + inst.app_dir.string());

    // Crash again, then let a normal update clean up and install.
    const run_result crashed_again =
        run_update(package, "2.1.0", "confirm", {{"TAVREL_CRASH_AFTER_CHANGE", crash_point}},
                   "tavrel-updater-test");
    ASSERT_EQ(crashed_again.exit_code, 86);
    const run_result r = run_update(package, "2.1.0");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(files_of(snapshot_tree(inst.app_dir)), files_of(new_tree));
    EXPECT_FALSE(staging_left());
}

TEST_F(update, a_staging_directory_with_a_valid_acceptance_marker_is_left_alone) {
    const fs::path kept = inst.app_dir / ".tavrel-update-1-2";
    write_tree(kept, {{".accepted", "Tavrel update backup\n"},
                      {".transaction", "Tavrel update transaction 1\n1 \"readme.txt\"\n"},
                      {"old/readme.txt", "an old backup"}});
    const tree_snapshot kept_before = snapshot_tree(kept);
    const signed_package package = prepare(new_version);
    const run_result r = run_update(package, "2.1.0");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(snapshot_tree(kept), kept_before);
    EXPECT_EQ(read_bytes(inst.app_dir / "readme.txt"), "read me 2.1.0");
}

TEST_F(update, a_startup_event_that_cannot_be_created_leaves_the_old_version_running) {
    const signed_package package = prepare(new_version);
    const run_result r =
        run_update(package, "2.1.0", "confirm", {{"TAVREL_FAIL_OPERATION", "create_event:1"}},
                   "tavrel-updater-test");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Could not create the update startup confirmation.\n");
    EXPECT_EQ(snapshot_tree(inst.app_dir), old_tree);
    ASSERT_EQ(inst.starts(1).size(), 1u);
    EXPECT_EQ(inst.starts()[0], "start --disable-splash|" + inst.app_dir.string());
}

TEST_F(update, names_that_only_resemble_devices_install) {
    tree_spec files = new_version;
    files["null .txt"] = "not the null device";
    files["console .txt"] = "not the console";
    const signed_package package = prepare(files);
    const run_result r = run_update(package, "2.1.0");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(read_bytes(inst.app_dir / "null .txt"), "not the null device");
    EXPECT_EQ(read_bytes(inst.app_dir / "console .txt"), "not the console");
}

} // namespace
} // namespace tavrel::test
