// One updater at a time per installation: a second updater started while the first one
// works changes nothing, shows nothing and ends with exit code 2.
#include "app/installation_lock.h"
#include "support/installation.h"
#include "support/programs.h"

#include <gtest/gtest.h>
#include <set>

namespace tavrel::test {
namespace {

TEST(installation_lock, two_updaters_started_together_install_once) {
    installation inst;
    install_tree(inst, {{"Tavrel.exe", "demo-app 2.0.3.0"}, {"readme.txt", "old"}});
    const fs::path tree = inst.root / "tree";
    write_tree(tree, {{"Tavrel.exe", "demo-app 2.1.0.0"}, {"readme.txt", "new"}});
    const signed_package package = pack_and_sign(tree, inst.archive);
    const tree_snapshot old_tree = snapshot_tree(inst.app_dir);

    // The application stays a second after "ready", so both updaters overlap.
    child_process app(program("tavrel-demo-app"),
                      {"parent", inst.download_dir.string(), "--exit-after-ms", "1000"});
    const std::vector<std::string> args = {
        std::to_string(app.pid()), inst.app_dir.string(), inst.archive.string(),
        package.signature,         package.size,          "2.1.0"};
    child_process first(program("tavrel-updater"), args, with_environment(inst.environment()));
    child_process second(program("tavrel-updater"), args, with_environment(inst.environment()));
    const run_result a = first.wait();
    const run_result b = second.wait();
    app.wait();

    const std::multiset<int> codes = {a.exit_code, b.exit_code};
    EXPECT_EQ(codes, (std::multiset<int>{0, 2})) << a.err << b.err;
    EXPECT_EQ((a.exit_code == 2 ? a : b).err, "") << "the refused run shows nothing";
    EXPECT_EQ(read_bytes(inst.app_dir / "readme.txt"), "new");
    EXPECT_EQ(
        run(program("tavrel-demo-app"), {"version", (inst.app_dir / "Tavrel.exe").string()}).out,
        "2.1.0\n");
    EXPECT_EQ(inst.starts(1).size(), 1u) << "only one updated application was started";
    EXPECT_NE(snapshot_tree(inst.app_dir), old_tree);
}

TEST(installation_lock, is_exclusive_per_installation_and_released_with_its_handle) {
    test::temp_dir scratch;
    const fs::path a = scratch / "a";
    const fs::path b = scratch / "b";
    {
        const scoped_handle first = lock_installation(a);
        ASSERT_TRUE(first.valid());
        EXPECT_FALSE(lock_installation(a).valid());
        EXPECT_TRUE(lock_installation(b).valid()) << "another installation has its own lock";
    }
    EXPECT_TRUE(lock_installation(a).valid()) << "released when its owner ends";
}

} // namespace
} // namespace tavrel::test
