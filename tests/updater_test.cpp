// The real updater against the demo application: whole updates, rollbacks and refusals, the
// handshake and command line, one updater per installation, the hostile corpus (also through
// tavrel-release check).
#include "app/failure_record.h"
#include "app/installation_lock.h"
#include "app/launch.h"
#include "support/case_table.h"
#include "support/delta_package.h"
#include "support/installation.h"
#include "support/signing.h"
#include "support/zip_builder.h"
#include "tools/package_writer.h"

#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <set>
#include <unistd.h>

namespace tavrel::test {
namespace {

// A version of the whole updates, shared with the Wine tests.
tree_spec version_files(const std::string& version) {
    tree_spec files;
    for (const case_row& c : read_cases("demo_versions"))
        if (c[0] == version)
            files[c[1]] = c[2];
    return files;
}

class updater : public ::testing::Test {
  protected:
    update_scenario s{version_files("2.0.3"), version_files("2.1.0")};

    std::string restarted() const { return "start --disable-splash|" + s.inst.app_dir.string(); }
    // The updater's arguments with this test process as the application: it never exits.
    std::vector<std::string> never_exiting() const { return s.update_arguments(::getpid()); }
    // A run with the demo application as the parent that writes nothing and exits on "ready".
    run_result with_app(std::vector<std::string> args, const std::vector<std::string>& app_options,
                        const environment_list& extra = {},
                        const std::string& program_name = "tavrel-updater") {
        return with_app(s, std::move(args), app_options, extra, program_name);
    }
    run_result with_app(const update_scenario& scenario, std::vector<std::string> args,
                        const std::vector<std::string>& app_options,
                        const environment_list& extra = {},
                        const std::string& program_name = "tavrel-updater") {
        const update_scenario& s = scenario;
        std::vector<std::string> app_args = {"parent", s.inst.download_dir.string()};
        app_args.insert(app_args.end(), app_options.begin(), app_options.end());
        child_process app(program("tavrel-demo-app"), app_args);
        args[0] = std::to_string(app.pid());
        const run_result r = run(program(program_name), args,
                                 in_directory(s.inst.download_dir, s.inst.environment() + extra));
        EXPECT_EQ(app.wait().exit_code, 0);
        return r;
    }
};

// The rows shared with the Wine tests. An accepted staging directory of an earlier update is
// never undone: a run that reaches the recovery finishes its clean-up, others leave it.
TEST_F(updater, whole_updates_leave_one_version_and_start_the_right_application) {
    const signed_package good = s.package;
    const fs::path accepted = s.inst.app_dir / ".tavrel-update-1-2";
    const std::regex updated("start --disable-splash --tavrel-update-event="
                             "Local\\\\TavrelUpdate-[0-9]+-[0-9]+\\|.*");
    for (const case_row& c : read_cases("whole_updates")) {
        SCOPED_TRACE(c[10]);
        s.reset();
        write_tree(accepted, {{".accepted", "Tavrel update backup\n"},
                              {".transaction", "Tavrel update transaction 1\n1 \"readme.txt\"\n"},
                              {"old/readme.txt", "an old backup"}});
        const tree_snapshot before = snapshot_tree(s.inst.app_dir, ".tavrel-update-");
        const tree_snapshot accepted_before = snapshot_tree(accepted);
        s.package = good;
        s.version = c[1];
        if (c[2] != "-")
            s.package = pack_tree(s.inst, {{"Tavrel.exe", "demo-app " + c[2]}}, s.inst.archive);
        if (c[3] == "other")
            s.package.signature = sign_bytes_base64(std::vector<std::uint8_t>{1, 2, 3});
        environment_list environment = {{"TAVREL_TEST_CONFIRMATION_MS", "1500"}};
        for (const std::string& variable : split(c[4] == "-" ? "" : c[4], ' '))
            environment = environment + setting(variable);
        const run_result r = with_app(s.update_arguments(0), {}, environment,
                                      c[0] == "test" ? "tavrel-updater-test" : "tavrel-updater");
        EXPECT_EQ(r.exit_code, std::stoi(c[5]));
        EXPECT_EQ(r.err, c[6] == "-" ? "" : c[6] + "\n");
        EXPECT_LT(r.elapsed.count(), 20000);
        EXPECT_TRUE(c[7] != "old" || snapshot_tree(s.inst.app_dir, ".tavrel-update-") == before);
        EXPECT_EQ(s.installed(), c[7] == "new" ? s.new_files : s.old_files);
        EXPECT_TRUE(!fs::exists(accepted) || snapshot_tree(accepted) == accepted_before);
        fs::remove_all(accepted);
        EXPECT_FALSE(s.staging_left());
        const std::vector<std::string> starts = s.inst.starts(c[8].size());
        ASSERT_EQ(starts.size(), c[8].size());
        for (std::size_t i = 0; i < starts.size(); ++i)
            EXPECT_TRUE(c[8][i] == 'U' ? std::regex_match(starts[i], updated) &&
                                             starts[i].ends_with("|" + s.inst.app_dir.string())
                                       : starts[i] == restarted())
                << starts[i];
        EXPECT_TRUE(c[9] == "removed" ? !fs::exists(s.inst.download_dir)
                                      : fs::exists(s.inst.archive));
        // A failure after the application's exit leaves its record for the next start: the
        // message's code, the version installed, and whether the moves were undone.
        const auto record = read_failure_record(s.inst.download_dir);
        ASSERT_EQ(record.has_value(), c[6] != "-");
        if (record) {
            EXPECT_EQ(record->code, failure_code(c[6]));
            EXPECT_EQ(record->message, c[6]);
            EXPECT_EQ(record->installed, "2.0.3");
            EXPECT_EQ(record->rolled_back, c[8] == "UP" ? "yes" : "no");
        }
    }
}

// The acceptance cannot be made durable (the flush of the moves fails): the new version runs,
// so the run fails without a second start and keeps the download; the next run settles it from
// what reached the disk, here no marker: the previous version.
TEST_F(updater, an_acceptance_that_cannot_be_recorded_is_reported_as_a_failure) {
    const run_result r = with_app(
        s.update_arguments(0), {},
        {{"TAVREL_TEST_CONFIRMATION_MS", "1500"}, {"TAVREL_FAIL_OPERATION", "flush_tree:2"}},
        "tavrel-updater-test");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(r.err.starts_with("The update was installed and started, but it could not be "
                                  "recorded on the disk (flush: "))
        << r.err;
    EXPECT_EQ(s.installed(), s.new_files);
    EXPECT_TRUE(s.staging_left());
    EXPECT_EQ(s.inst.starts(2).size(), 1u) << "started once, by the update";
    const auto record = read_failure_record(s.inst.download_dir);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->code, 55);
    EXPECT_EQ(record->message + "\n", r.err);
    EXPECT_EQ(record->installed, "2.1.0");
    EXPECT_EQ(record->rolled_back, "no");
    EXPECT_TRUE(fs::exists(s.inst.archive));
    EXPECT_EQ(s.recover().exit_code, 0);
    EXPECT_EQ(s.installed(), s.old_files);
    EXPECT_FALSE(s.staging_left());
}

// A delta package from 2.0.3 to 2.1.0 (Tavrel.exe and two files patched, three whole, the
// readme kept) installs exactly the tree of the full package. One given to an installation that
// is not its base is refused before anything is staged, and so is one whose description has a
// format this updater does not know; the application starts again, nothing changes. The
// application's test of a downloaded delta gives the same verdict.
TEST_F(updater, a_delta_update_installs_the_full_tree_or_changes_nothing) {
    tree_spec updated = version_files("2.1.0");
    updated["readme.txt"] = version_files("2.0.3")["readme.txt"];
    update_scenario d{version_files("2.0.3"), updated};
    const std::string delta = delta_archive(d.inst.app_dir, "2.0.3", d.inst.archive);
    const std::string future =
        delta_archive(d.inst.app_dir, "2.0.3", d.inst.archive, "tavrel-delta 2");
    const std::regex updated_start("start --disable-splash --tavrel-update-event=.*");
    const std::string not_base = "The update does not fit the installed version.\n";
    struct row {
        std::string what;
        std::function<void()> change; // of the installation, before the run
        const std::string& package;
        std::string message;
    };
    for (const row& r : std::vector<row>{
             {"the base", [] {}, delta, ""},
             {"a kept file changed", [&] { write_bytes(d.inst.app_dir / "readme.txt", "changed"); },
              delta, not_base},
             {"a patched file changed",
              [&] { write_bytes(d.inst.app_dir / "plugins/a.dll", "changed"); }, delta, not_base},
             {"a kept file missing", [&] { fs::remove(d.inst.app_dir / "readme.txt"); }, delta,
              not_base},
             {"another installed version",
              [&] { install_demo_app(d.inst.app_dir / "Tavrel.exe", "2.0.2.0"); }, delta, not_base},
             {"a description of another format", [] {}, future,
              "The update's delta description is invalid.\n"},
         }) {
        SCOPED_TRACE(r.what);
        d.reset();
        r.change();
        const tree_snapshot before = snapshot_tree(d.inst.app_dir);
        write_bytes(d.inst.archive, r.package);
        d.package = {
            sign_bytes_base64(std::span(reinterpret_cast<const std::uint8_t*>(r.package.data()),
                                        r.package.size())),
            std::to_string(r.package.size())};
        // The application's own test foretells the updater's verdict on the base.
        const run_result asked =
            run(program("tavrel-demo-app"),
                {"fits-delta", d.inst.app_dir.string(), d.inst.archive.string()});
        EXPECT_EQ(asked.out, r.message.empty() ? "fits\n" : r.message);
        EXPECT_EQ(asked.exit_code, r.message.empty() ? 0 : 1);
        const run_result result = with_app(d, d.update_arguments(0), {});
        EXPECT_EQ(result.err, r.message);
        const auto record = read_failure_record(d.inst.download_dir);
        ASSERT_EQ(record.has_value(), !r.message.empty());
        if (record) {
            EXPECT_EQ(record->code, r.message.starts_with("The update does not fit") ? 30 : 31);
            EXPECT_EQ(record->message + "\n", r.message);
        }
        EXPECT_EQ(result.exit_code, r.message.empty() ? 0 : 1);
        EXPECT_FALSE(d.staging_left());
        const std::vector<std::string> starts = d.inst.starts(1);
        ASSERT_EQ(starts.size(), 1u);
        if (r.message.empty()) {
            EXPECT_EQ(d.installed(), d.new_files);
            EXPECT_TRUE(std::regex_match(starts[0], updated_start)) << starts[0];
        } else {
            EXPECT_EQ(snapshot_tree(d.inst.app_dir), before);
            EXPECT_EQ(starts[0], "start --disable-splash|" + d.inst.app_dir.string());
            EXPECT_TRUE(fs::exists(d.inst.archive));
        }
    }
}

// A publisher's delta whose new files moved to other paths (a renamed folder, a version number
// in a name) patches them from the installed files they came from; those go, as after the full
// package. A changed renamed base is no base.
TEST_F(updater, a_delta_patches_files_from_their_old_paths) {
    const auto binary = [](std::size_t size, unsigned seed, const std::string& change) {
        std::string bytes(size, '\0');
        for (std::size_t i = 0; i < size; ++i)
            bytes[i] = static_cast<char>((i * 2654435761u + seed) >> 13);
        return bytes.replace(size / 2, change.size(), change);
    };
    tree_spec old_files = version_files("2.0.3"), new_files = version_files("2.1.0");
    old_files["plugins/v1/engine.dll"] = binary(60000, 1, "");
    old_files["lib/codec-1.4.dll"] = binary(50000, 2, "");
    new_files["plugins/v2/engine.dll"] = binary(60000, 1, "engine 2.1");
    new_files["lib/codec-1.5.dll"] = binary(50000, 2, "codec 1.5");
    update_scenario d{old_files, new_files};
    const fs::path new_tree = d.inst.root / "new-tree";
    for (const auto& [name, bytes] : unpacked_archive(d.archive()))
        if (name != ".tavrel-package-files.txt")
            write_tree(new_tree, {{name, bytes}});
    const fs::path delta = d.inst.root / "delta.zip";
    const tools::delta_facts facts = tools::write_delta_package(new_tree, d.old_tree(), delta);
    EXPECT_EQ(facts.renamed, 2u);
    const std::string description = unpacked_archive(delta).at(".tavrel-delta.txt");
    EXPECT_NE(description.find(" plugins/v2/engine.dll\tplugins/v1/engine.dll\n"),
              std::string::npos)
        << description;
    EXPECT_NE(description.find(" lib/codec-1.5.dll\tlib/codec-1.4.dll\n"), std::string::npos);
    d.replace_package(read_bytes(delta));

    const run_result done = with_app(d, d.update_arguments(0), {});
    EXPECT_EQ(done.exit_code, 0) << done.err;
    EXPECT_EQ(d.installed(), d.new_files);
    EXPECT_FALSE(d.staging_left());

    d.reset();
    write_bytes(d.inst.app_dir / "lib/codec-1.4.dll", "changed");
    const tree_snapshot before = snapshot_tree(d.inst.app_dir);
    const run_result refused = with_app(d, d.update_arguments(0), {});
    EXPECT_EQ(refused.exit_code, 1);
    EXPECT_EQ(refused.err, "The update does not fit the installed version.\n");
    EXPECT_EQ(snapshot_tree(d.inst.app_dir), before);
}

TEST_F(updater, invocations_refused_before_the_application_exits_start_nothing) {
    const std::vector<std::string> good = never_exiting();
    const placeholders values = {{"{pid}", good[0]},
                                 {"{app}", good[1]},
                                 {"{zip}", good[2]},
                                 {"{sig87}", good[3].substr(1)},
                                 {"{sig}", good[3]},
                                 {"{size}", good[4]},
                                 {"{root}", s.inst.root.string()},
                                 {"{download}", s.inst.download_dir.string()}};
    for (const case_row& row : read_cases("updater_invocations")) {
        SCOPED_TRACE(row[2] + " " + row[3]);
        const int exit_code = std::stoi(row[0]);
        const std::string message = expand(row[1], values);
        const std::vector<std::string> args = split(expand(row[2], values), '|');
        const std::string setup = row[3];
        const bool cancelled = setup.starts_with("cancel=");
        const environment_list environment = cancelled ? environment_list{} : setting(setup);
        s.prepare_download();
        for (const char* name : {"TAVREL-DOWNLOAD-1", "tavrel-download", "Tavrel-download-1"})
            write_bytes(s.inst.root / name / "update.zip", "x");
        for (const char* name : {"Update.zip", "update.ZIP", "update.zip.part"})
            write_bytes(s.inst.download_dir / name, "x");
        // An earlier run's failure record: a run that begins removes it, a rejected one not.
        write_bytes(s.inst.download_dir / "failure.txt",
                    failure_record_text({4, "an earlier failure", "2.0.3", "no"}));
        if (setup == "cancel=file")
            write_bytes(s.inst.download_dir / "cancel", "");
        if (setup == "cancel=directory")
            fs::create_directories(s.inst.download_dir / "cancel");
        const tree_snapshot before = snapshot_tree(s.inst.root);
        const tree_snapshot app_before = snapshot_tree(s.inst.app_dir);
        const run_result r = run(program("tavrel-updater-test"), args,
                                 in_directory(s.inst.root, s.inst.environment() + environment));
        EXPECT_EQ(r.exit_code, exit_code);
        EXPECT_EQ(r.err, message.empty() ? "" : message + "\n");
        EXPECT_LT(r.elapsed.count(), 5000);
        EXPECT_EQ(snapshot_tree(s.inst.app_dir), app_before);
        EXPECT_TRUE(s.inst.starts().empty()) << "nothing is started before the application exits";
        const bool ready = message.starts_with("Tavrel did not exit");
        if (exit_code == 2) {
            EXPECT_EQ(snapshot_tree(s.inst.root), before)
                << "a rejected invocation changes nothing";
        }
        EXPECT_EQ(fs::exists(s.inst.download_dir), !cancelled);
        EXPECT_EQ(fs::exists(s.inst.download_dir / "ready"), ready);
        // No record of a failure before the application's exit; an earlier one goes once the
        // run has begun ("ready").
        EXPECT_EQ(fs::exists(s.inst.download_dir / "failure.txt"), !ready && !cancelled);
    }
}

TEST_F(updater, the_handshake_with_a_running_application) {
    // A cancel while the updater waits is seen within a wait or two.
    const run_result cancelled =
        with_app(s.update_arguments(0), {"--cancel", "--exit-after-ms", "3000"});
    EXPECT_EQ(cancelled.exit_code, 1);
    EXPECT_EQ(cancelled.err, "");
    EXPECT_LT(cancelled.elapsed.count(), 2500);
    EXPECT_FALSE(fs::exists(s.inst.download_dir));
    EXPECT_TRUE(s.inst.starts().empty());

    // Leading blanks, signs and the size limit pass every check: the run reaches "ready", the
    // application exits and the archive is refused.
    for (const auto& [prefix, size] : std::vector<std::pair<std::string, std::string>>{
             {" ", "14"}, {"+", "14"}, {"", "+14"}, {"", " 14"}, {"", "536870912"}}) {
        SCOPED_TRACE(prefix + "|" + size);
        s.prepare_download();
        write_bytes(s.inst.archive, "not an archive");
        auto args = s.update_arguments(0);
        args[4] = size;
        args[5] = " 2. 1 .0";
        child_process app(program("tavrel-demo-app"), {"parent", s.inst.download_dir.string()});
        args[0] = prefix + std::to_string(app.pid());
        const run_result r =
            run(program("tavrel-updater"), args, with_environment(s.inst.environment()));
        app.wait();
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_TRUE(fs::exists(s.inst.download_dir / "ready"));
        EXPECT_TRUE(r.err.starts_with("The ")) << r.err;
    }
    s.reset();

    // Recovery mode starts the application from its directory, and leaves the download.
    const run_result recovered = with_app({"", s.inst.app_dir.string(), "--recover"}, {});
    EXPECT_EQ(recovered.exit_code, 0) << recovered.err;
    EXPECT_EQ(recovered.err, "");
    ASSERT_EQ(s.inst.starts(1).size(), 1u);
    EXPECT_EQ(s.inst.starts()[0], restarted());
    EXPECT_TRUE(fs::exists(s.inst.archive));
    fs::remove(s.inst.app_dir / "Tavrel.exe");
    const run_result no_app = with_app({"", s.inst.app_dir.string(), "--recover"}, {});
    EXPECT_EQ(no_app.exit_code, 1);
    EXPECT_EQ(no_app.err, "The restored application could not be launched.\n");
}

TEST_F(updater, the_application_starts_the_updater_through_the_protocol_library) {
    // The demo application starts the updater, waits for "ready" and exits (this process adopts
    // the updater). The command line must carry the directories' names whole: blanks and
    // backslashes (file names on Linux), one at the end before the closing quote.
    const struct {
        std::string app_dir;
        std::string download_dir;
    } cases[] = {
        {"Program Files/Tavrel\\", "tavrel-download-a b"},
        {"two  blanks\\\\", "tavrel-download-x\\ \\y\\\\"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.app_dir + " | " + c.download_dir);
        const fs::path app_dir = s.inst.root / c.app_dir;
        const fs::path archive = s.inst.root / c.download_dir / "update.zip";
        fs::create_directories(app_dir);
        fs::copy(s.inst.app_dir, app_dir, fs::copy_options::recursive);
        write_bytes(archive, read_bytes(s.inst.archive));
        fs::remove(s.inst.log);
        const run_result app = run(program("tavrel-demo-app"),
                                   {"update", program("tavrel-updater").string(), app_dir.string(),
                                    archive.string(), s.package.signature, s.package.size, "2.1.0"},
                                   with_environment(s.inst.environment()));
        ASSERT_EQ(app.exit_code, 0) << app.err;
        const run_result r = wait_for_orphan(std::stoi(app.out), std::chrono::seconds(30));
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(files_of(snapshot_tree(app_dir)), s.new_files);
        ASSERT_EQ(s.inst.starts(1).size(), 1u);
        EXPECT_NE(s.inst.starts()[0].find("|" + app_dir.string()), std::string::npos);
    }
}

TEST_F(updater, two_updaters_started_together_install_once) {
    // The application stays a second after "ready", so both updaters overlap.
    child_process app(program("tavrel-demo-app"),
                      {"parent", s.inst.download_dir.string(), "--exit-after-ms", "1000"});
    const auto args = s.update_arguments(app.pid());
    child_process first(program("tavrel-updater"), args, with_environment(s.inst.environment()));
    child_process second(program("tavrel-updater"), args, with_environment(s.inst.environment()));
    const run_result a = first.wait();
    const run_result b = second.wait();
    app.wait();
    EXPECT_EQ((std::multiset<int>{a.exit_code, b.exit_code}), (std::multiset<int>{0, 2}))
        << a.err << b.err;
    EXPECT_EQ((a.exit_code == 2 ? a : b).err, "") << "the refused run shows nothing";
    EXPECT_EQ(s.installed(), s.new_files);
    EXPECT_EQ(s.inst.starts(1).size(), 1u) << "only one updated application was started";

    // The lock is per installation and goes with its handle.
    const scoped_handle held = lock_installation(s.inst.root / "a");
    ASSERT_TRUE(held.valid());
    EXPECT_FALSE(lock_installation(s.inst.root / "a").valid());
    EXPECT_TRUE(lock_installation(s.inst.root / "b").valid());
    // A startup event's name is taken once; the next name differs.
    const platform::native_text name = make_startup_event_name();
    const scoped_handle event = create_startup_event(name);
    ASSERT_TRUE(event.valid());
    EXPECT_FALSE(create_startup_event(name).valid());
    EXPECT_TRUE(create_startup_event(make_startup_event_name()).valid());
}

TEST_F(updater, hostile_packages_are_refused_and_change_no_installed_byte) {
    const tree_snapshot before = snapshot_tree(s.inst.app_dir);
    const fs::path release = s.inst.root / "release";
    for (const auto& hostile : hostile_archives()) {
        SCOPED_TRACE(hostile.what);
        s.prepare_download();
        fs::copy_file(hostile.file, s.inst.archive, fs::copy_options::overwrite_existing);
        s.package = {test_signature_base64(s.inst.archive),
                     std::to_string(fs::file_size(s.inst.archive))};
        const run_result r = s.update();
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.err, hostile.message + "\n");
        EXPECT_EQ(snapshot_tree(s.inst.app_dir), before);
        ASSERT_EQ(s.inst.starts(1).size(), 1u);
        EXPECT_EQ(s.inst.starts()[0], restarted());

        fs::create_directories(release);
        fs::copy_file(hostile.file, release / "update.zip", fs::copy_options::overwrite_existing);
        write_bytes(release / "update.json",
                    "{\"version\": \"2.1.0\", \"size\": " + s.package.size + ", \"signature\": \"" +
                        s.package.signature + "\"}\n");
        const run_result checked =
            run(program("tavrel-release"),
                {"check", release.string(), "--public-key", test_public_key_base64()});
        EXPECT_EQ(checked.exit_code, 1);
        EXPECT_EQ(checked.out, hostile.message + "\n");
    }
}

TEST_F(updater, the_product_waits_the_full_sixty_seconds) {
    const run_result r =
        run(program("tavrel-updater"), never_exiting(), with_environment(s.inst.environment()));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Tavrel did not exit. No installed files were changed.\n");
    EXPECT_GE(r.elapsed.count(), 60000);
    EXPECT_LT(r.elapsed.count(), 70000);
}

} // namespace
} // namespace tavrel::test
