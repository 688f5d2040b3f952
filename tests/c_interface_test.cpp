// The C interface, through the shared library that applications link: every function's error
// paths (null and malformed arguments, a missing updater, a download directory without the
// prefix, waits that time out or outlive the updater), and one update driven through it up to
// the cancel.
#include "integration/tavrel_updater.h"
#include "integration/tavrel_updater.hpp"

#include "app/failure_record.h"
#include "support/installation.h"

#include <gtest/gtest.h>

#include <set>
#include <sys/wait.h>

namespace tavrel::test {
namespace {

struct c_interface : ::testing::Test {
    update_scenario s{generated_version(false, 2, 1, 1), generated_version(true, 2, 1, 1)};
    const std::string updater = program("tavrel-updater").string();
    const std::string app = s.inst.app_dir.string();
    const std::string download = s.inst.download_dir.string();
    const std::string archive = s.inst.archive.string();
    const std::string other_dir = (s.inst.root / "downloads").string();
};

TEST_F(c_interface, refuses_what_it_cannot_take_and_says_so) {
    fs::create_directories(other_dir);
    write_bytes(fs::path(other_dir) / "update.zip", "x");
    const std::string sig = s.package.signature;
    const std::string not_utf8 = "\xff.zip";
    const std::string missing = (s.inst.root / "no-updater").string();
    const std::string no_prefix_archive = other_dir + "/update.zip";
    const std::string wrong_name = download + "/update.ZIP";
    struct row {
        std::string what;
        const char *updater, *app, *archive, *signature, *version;
        tavrel_result result;
    };
    for (const row& r : std::vector<row>{
             {"no updater path", nullptr, app.c_str(), archive.c_str(), sig.c_str(), "2.1.0",
              TAVREL_INVALID_ARGUMENT},
             {"an empty installation", updater.c_str(), "", archive.c_str(), sig.c_str(), "2.1.0",
              TAVREL_INVALID_ARGUMENT},
             {"no archive", updater.c_str(), app.c_str(), nullptr, sig.c_str(), "2.1.0",
              TAVREL_INVALID_ARGUMENT},
             {"no signature", updater.c_str(), app.c_str(), archive.c_str(), nullptr, "2.1.0",
              TAVREL_INVALID_ARGUMENT},
             {"no version", updater.c_str(), app.c_str(), archive.c_str(), sig.c_str(), nullptr,
              TAVREL_INVALID_ARGUMENT},
             {"a path that is not UTF-8", updater.c_str(), app.c_str(), not_utf8.c_str(),
              sig.c_str(), "2.1.0", TAVREL_INVALID_ARGUMENT},
             {"a download directory without the prefix", updater.c_str(), app.c_str(),
              no_prefix_archive.c_str(), sig.c_str(), "2.1.0", TAVREL_BAD_DOWNLOAD_DIRECTORY},
             {"an archive of another name", updater.c_str(), app.c_str(), wrong_name.c_str(),
              sig.c_str(), "2.1.0", TAVREL_BAD_DOWNLOAD_DIRECTORY},
             {"a missing updater", missing.c_str(), app.c_str(), archive.c_str(), sig.c_str(),
              "2.1.0", TAVREL_NOT_STARTED},
         }) {
        SCOPED_TRACE(r.what);
        tavrel_updater* started = reinterpret_cast<tavrel_updater*>(1);
        EXPECT_EQ(
            tavrel_start_update(r.updater, r.app, r.archive, r.signature, 14, r.version, &started),
            r.result);
        EXPECT_EQ(started, nullptr);
    }
    EXPECT_EQ(tavrel_start_update(updater.c_str(), app.c_str(), archive.c_str(), sig.c_str(), 14,
                                  "2.1.0", nullptr),
              TAVREL_INVALID_ARGUMENT);

    tavrel_updater* started = nullptr;
    EXPECT_EQ(tavrel_start_recovery(nullptr, app.c_str(), download.c_str(), &started),
              TAVREL_INVALID_ARGUMENT);
    EXPECT_EQ(tavrel_start_recovery(updater.c_str(), app.c_str(), other_dir.c_str(), &started),
              TAVREL_BAD_DOWNLOAD_DIRECTORY);
    EXPECT_EQ(tavrel_start_recovery(missing.c_str(), app.c_str(), download.c_str(), &started),
              TAVREL_NOT_STARTED);
    EXPECT_EQ(tavrel_start_recovery(updater.c_str(), app.c_str(), download.c_str(), nullptr),
              TAVREL_INVALID_ARGUMENT);
    EXPECT_EQ(started, nullptr);
    EXPECT_EQ(tavrel_updater_process_id(nullptr), 0u);
    tavrel_release_updater(nullptr);

    // Waits: the arguments, a marker that never comes, an updater that ends without one.
    for (const auto wait : {tavrel_wait_for_ready, tavrel_wait_for_prepared}) {
        EXPECT_EQ(wait(nullptr, nullptr, 10), TAVREL_INVALID_ARGUMENT);
        EXPECT_EQ(wait(nullptr, other_dir.c_str(), 10), TAVREL_BAD_DOWNLOAD_DIRECTORY);
        EXPECT_EQ(wait(nullptr, download.c_str(), 50), TAVREL_TIMED_OUT);
    }
    // A size of 0 is a command line the updater rejects before "ready" (exit code 2).
    tavrel_updater* rejected = nullptr;
    ASSERT_EQ(tavrel_start_update(updater.c_str(), app.c_str(), archive.c_str(), sig.c_str(), 0,
                                  "2.1.0", &rejected),
              TAVREL_OK);
    EXPECT_NE(tavrel_updater_process_id(rejected), 0u);
    EXPECT_EQ(tavrel_wait_for_ready(rejected, download.c_str(), 60000), TAVREL_UPDATER_ENDED);
    tavrel_release_updater(rejected);

    EXPECT_EQ(tavrel_place_cancel(nullptr), TAVREL_INVALID_ARGUMENT);
    EXPECT_EQ(tavrel_place_cancel(other_dir.c_str()), TAVREL_BAD_DOWNLOAD_DIRECTORY);
    EXPECT_EQ(tavrel_place_cancel((s.inst.root / "tavrel-download-gone").string().c_str()),
              TAVREL_FAILED);

    EXPECT_EQ(tavrel_confirm_startup(nullptr), TAVREL_INVALID_ARGUMENT);
    EXPECT_EQ(tavrel_confirm_startup("Local\\TavrelUpdate-1-1"), TAVREL_FAILED)
        << "nobody waits for that event";

    std::set<std::string> texts;
    for (const tavrel_result result :
         {TAVREL_OK, TAVREL_INVALID_ARGUMENT, TAVREL_NOT_STARTED, TAVREL_BAD_DOWNLOAD_DIRECTORY,
          TAVREL_TIMED_OUT, TAVREL_UPDATER_ENDED, TAVREL_NOT_FOUND, TAVREL_FAILED})
        EXPECT_TRUE(texts.insert(tavrel_result_text(result)).second);
    EXPECT_STREQ(tavrel_result_text(static_cast<tavrel_result>(42)), "unknown result");
}

TEST_F(c_interface, finds_the_startup_event_and_reads_the_failure_record) {
    const char* args[] = {"Tavrel.exe", "--disable-splash", "--tavrel-update-event=Local\\E-1-2"};
    char name[32];
    EXPECT_EQ(tavrel_startup_event_name(3, args, name, sizeof name), TAVREL_OK);
    EXPECT_STREQ(name, "Local\\E-1-2");
    EXPECT_EQ(tavrel_startup_event_name(2, args, name, sizeof name), TAVREL_NOT_FOUND);
    EXPECT_STREQ(name, "");
    EXPECT_EQ(tavrel_startup_event_name(3, args, name, 11), TAVREL_INVALID_ARGUMENT)
        << "11 bytes hold 10 characters and the NUL";
    EXPECT_EQ(tavrel_startup_event_name(3, args, name, 12), TAVREL_OK);
    const char* holes[] = {"Tavrel.exe", nullptr};
    EXPECT_EQ(tavrel_startup_event_name(2, holes, name, sizeof name), TAVREL_INVALID_ARGUMENT);
    EXPECT_EQ(tavrel_startup_event_name(-1, args, name, sizeof name), TAVREL_INVALID_ARGUMENT);
    EXPECT_EQ(tavrel_startup_event_name(1, nullptr, name, sizeof name), TAVREL_INVALID_ARGUMENT);
    EXPECT_EQ(tavrel_startup_event_name(3, args, nullptr, 8), TAVREL_INVALID_ARGUMENT);
    EXPECT_EQ(tavrel_startup_event_name(0, nullptr, name, sizeof name), TAVREL_NOT_FOUND);
    EXPECT_EQ(tavrel_app_side::startup_event_name({"a", "--tavrel-update-event=N"}), "N");

    tavrel_failure_record record{};
    EXPECT_EQ(tavrel_read_failure_record(nullptr, &record), TAVREL_INVALID_ARGUMENT);
    EXPECT_EQ(tavrel_read_failure_record(download.c_str(), nullptr), TAVREL_INVALID_ARGUMENT);
    EXPECT_EQ(tavrel_read_failure_record(download.c_str(), &record), TAVREL_NOT_FOUND);
    // A message longer than the field is cut before a character that does not fit.
    std::string message = std::string(2046, 'm') + "\xc3\xa9 and more";
    write_failure_record(s.inst.download_dir, {54, message, "2.0.3", "yes"});
    ASSERT_EQ(tavrel_read_failure_record(download.c_str(), &record), TAVREL_OK);
    EXPECT_EQ(record.code, 54);
    EXPECT_EQ(std::string(record.message), std::string(2046, 'm'));
    EXPECT_STREQ(record.installed, "2.0.3");
    EXPECT_STREQ(record.rolled_back, "yes");
    const auto read = tavrel_app_side::read_failure_record(download);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->code, 54);
}

// An update started, prepared and called off through the C++ layer over the C interface: the
// updater removes the download and its staging directory and changes nothing installed.
TEST_F(c_interface, drives_an_update_up_to_a_cancel) {
    const tree_snapshot before = snapshot_tree(s.inst.app_dir);
    tavrel_app_side::updater started;
    ASSERT_EQ(tavrel_app_side::start_update({updater, app, archive, s.package.signature,
                                             std::stoull(s.package.size), s.version},
                                            started),
              TAVREL_OK);
    EXPECT_EQ(tavrel_app_side::wait_for_ready(started, download, 60000), TAVREL_OK);
    EXPECT_EQ(tavrel_app_side::wait_for_prepared(started, download, 60000), TAVREL_OK);
    EXPECT_TRUE(s.staging_left()) << "prepared: staged while this process still runs";
    EXPECT_EQ(tavrel_app_side::place_cancel(download), TAVREL_OK);
    int status = 0;
    ASSERT_EQ(::waitpid(static_cast<int>(started.process_id()), &status, 0),
              static_cast<int>(started.process_id()));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    EXPECT_FALSE(fs::exists(s.inst.download_dir));
    EXPECT_FALSE(s.staging_left());
    EXPECT_EQ(snapshot_tree(s.inst.app_dir), before);
}

} // namespace
} // namespace tavrel::test
