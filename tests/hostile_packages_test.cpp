// The hostile corpus (tests/data/hostile) through the real updater: each archive, signed with
// the test key, is refused with its message, leaves the installation byte for byte as it was and
// gives the user the application back; the publisher's check (tavrel-release check) gives the
// same message.
#include "support/installation.h"
#include "support/signing.h"
#include "support/zip_builder.h"

#include <gtest/gtest.h>

namespace tavrel::test {
namespace {

TEST(hostile_packages, are_refused_and_change_no_installed_byte) {
    installation inst;
    install_tree(inst, {{"Tavrel.exe", "demo-app 2.0.3.0"}, {"data/a.txt", "installed"}});
    const tree_snapshot before = snapshot_tree(inst.app_dir);
    const tree_snapshot root_before = snapshot_tree(inst.root);
    const fs::path release = inst.root / "release";
    for (const auto& hostile : hostile_archives()) {
        SCOPED_TRACE(hostile.what);
        fs::remove(inst.log);
        fs::create_directories(inst.download_dir);
        fs::copy_file(hostile.file, inst.archive, fs::copy_options::overwrite_existing);
        const std::string signature = test_signature_base64(inst.archive);
        const std::string size = std::to_string(fs::file_size(inst.archive));
        const ended_process app;
        const run_result r = run(program("tavrel-updater"),
                                 {std::to_string(app.pid()), inst.app_dir.string(),
                                  inst.archive.string(), signature, size, "2.1.0"},
                                 with_environment(inst.environment()));
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.err, hostile.message + "\n");
        EXPECT_EQ(snapshot_tree(inst.app_dir), before);
        ASSERT_EQ(inst.starts(1).size(), 1u);
        EXPECT_EQ(inst.starts()[0], "start --disable-splash|" + inst.app_dir.string());

        fs::create_directories(release);
        fs::copy_file(hostile.file, release / "update.zip", fs::copy_options::overwrite_existing);
        write_bytes(release / "update.json", "{\"version\": \"2.1.0\", \"size\": " + size +
                                                 ", \"signature\": \"" + signature + "\"}\n");
        const run_result checked = run(program("tavrel-release"),
                                       {"check", release.string(), "--public-key",
                                        test_public_key_base64()});
        EXPECT_EQ(checked.exit_code, 1);
        EXPECT_EQ(checked.out, hostile.message + "\n");
    }
    // Nothing was written anywhere else either (the download directory stays for a retry).
    fs::remove(inst.log);
    fs::remove_all(release);
    fs::remove_all(inst.download_dir);
    fs::create_directories(inst.download_dir);
    EXPECT_EQ(snapshot_tree(inst.root), root_before);
}

} // namespace
} // namespace tavrel::test
