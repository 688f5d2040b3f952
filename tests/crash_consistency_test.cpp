// Crash consistency of the real updater: the test build stops the process right after the
// N-th file-system change, for every N of a whole update; `--recover` must then leave the
// installation exactly as it was before the update, or as the update left it once the
// acceptance marker was on disk, and a normal update must still succeed afterwards.
#include "support/packages.h"
#include "support/programs.h"

#include <gtest/gtest.h>
#include <sstream>

namespace tavrel::test {
namespace {

// 60 files in all: replacements, additions in new directories, removals, unchanged files.
tree_spec version(bool updated) {
    tree_spec files{{"Tavrel.exe", updated ? "demo-app 2.1.0.0" : "demo-app 2.0.3.0"}};
    for (int i = 0; i < 20; ++i)
        files["lib/replaced-" + std::to_string(i) + ".dll"] =
            (updated ? "new " : "old ") + std::to_string(i);
    for (int i = 0; i < 10; ++i)
        files["data/same-" + std::to_string(i) + ".dat"] = "same " + std::to_string(i);
    if (updated) {
        for (int i = 0; i < 15; ++i)
            files["added/sub-" + std::to_string(i % 3) + "/file-" + std::to_string(i) + ".txt"] =
                "added " + std::to_string(i);
    } else {
        for (int i = 0; i < 15; ++i)
            files["legacy/removed-" + std::to_string(i) + ".txt"] = "removed " + std::to_string(i);
    }
    return files;
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

TEST(crash_consistency, every_crash_point_of_an_update_recovers_to_a_whole_version) {
    installation inst;
    install_tree(inst, version(false));
    const fs::path old_template = inst.root / "old-template";
    fs::copy(inst.app_dir, old_template, fs::copy_options::recursive);
    const tree_snapshot old_files = files_of(snapshot_tree(inst.app_dir));

    const fs::path tree = inst.root / "package-tree";
    write_tree(tree, version(true));
    const fs::path package = inst.root / "update.zip";
    const signed_package signed_zip = pack_and_sign(tree, package);

    const auto reset = [&] {
        fs::remove_all(inst.app_dir);
        fs::copy(old_template, inst.app_dir, fs::copy_options::recursive);
        fs::remove_all(inst.download_dir);
        fs::create_directories(inst.download_dir);
        fs::copy_file(package, inst.archive);
    };
    const auto update = [&](const std::string& updater, environment_list extra) {
        const ended_process app;
        auto environment = inst.environment();
        environment.insert(environment.end(), extra.begin(), extra.end());
        const run_result r =
            run(program(updater),
                {std::to_string(app.pid()), inst.app_dir.string(), inst.archive.string(),
                 signed_zip.signature, signed_zip.size, "2.1.0"},
                with_environment(environment));
        return r;
    };
    const auto recover = [&] {
        fs::create_directories(inst.download_dir);
        const ended_process app;
        const run_result r = run(program("tavrel-updater"),
                                 {std::to_string(app.pid()), inst.app_dir.string(), "--recover"},
                                 in_directory(inst.download_dir, inst.environment()));
        return r;
    };

    // One complete run with the change log gives the crash points and the new tree.
    reset();
    const fs::path log = inst.root / "changes.log";
    const run_result complete =
        update("tavrel-updater-test", {{"TAVREL_CHANGE_LOG", log.string()}});
    ASSERT_EQ(complete.exit_code, 0) << complete.err;
    const tree_snapshot new_files = files_of(snapshot_tree(inst.app_dir));
    ASSERT_NE(new_files, old_files);
    const std::vector<change> changes = read_changes(log);
    int marker_written = 0;
    for (const auto& c : changes)
        if (c.kind == "write" && fs::path(c.target).filename() == ".accepted")
            marker_written = c.number;
    ASSERT_GT(marker_written, 0);
    ASSERT_GE(changes.size(), 100u);

    int tried = 0;
    for (const auto& c : changes) {
        SCOPED_TRACE("crash after change " + std::to_string(c.number) + ": " + c.kind + " " +
                     c.target);
        reset();
        const run_result crashed = update(
            "tavrel-updater-test", {{"TAVREL_CRASH_AFTER_CHANGE", std::to_string(c.number)}});
        ASSERT_EQ(crashed.exit_code, 86) << crashed.err;
        const run_result recovered = recover();
        ASSERT_EQ(recovered.exit_code, 0) << recovered.err;
        const tree_snapshot after = files_of(snapshot_tree(inst.app_dir, ".tavrel-update-"));
        if (c.number < marker_written)
            ASSERT_EQ(after, old_files);
        else
            ASSERT_EQ(after, new_files);
        // And the installation still takes an update (checked at every third point, which
        // covers each stage of the run several times).
        if (c.number % 3 != 0 && c.number != static_cast<int>(changes.size())) {
            ++tried;
            continue;
        }
        fs::create_directories(inst.download_dir);
        if (!fs::exists(inst.archive))
            fs::copy_file(package, inst.archive);
        const run_result again = update("tavrel-updater", {});
        ASSERT_EQ(again.exit_code, 0) << again.err;
        ASSERT_EQ(files_of(snapshot_tree(inst.app_dir, ".tavrel-update-")), new_files);
        ++tried;
    }
    std::cout << "crash points tried: " << tried << "\n";
}

} // namespace
} // namespace tavrel::test
