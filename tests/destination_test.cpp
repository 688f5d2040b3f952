#include "staging/destination.h"

#include "support/temp_tree.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace tavrel {
namespace {

namespace fs = std::filesystem;
using test::temp_dir;

constexpr char conflict[] = "An update destination conflicts with an existing file or directory.";
constexpr char link[] = "Update destinations must not contain symbolic links.";
constexpr char cannot_inspect[] = "Cannot inspect an update destination.";

// An installed tree with a file, a directory, links inside it and one leading out of it.
class destination_check : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(app / "lib/sub");
        fs::create_directories(outside / "target");
        test::write_bytes(app / "Tavrel.exe", "exe");
        test::write_bytes(app / "lib/a.dll", "a");
        fs::create_directory_symlink(app / "lib", app / "inner_link");
        fs::create_directory_symlink(outside / "target", app / "outer_link");
        fs::create_symlink(app / "lib/a.dll", app / "file_link");
        fs::create_symlink(app / "missing", app / "dangling");
        before = test::snapshot_tree(root.path());
    }

    void TearDown() override { EXPECT_EQ(test::snapshot_tree(root.path()), before); }

    temp_dir root;
    fs::path app = root / "app";
    fs::path outside = root / "outside";
    test::tree_snapshot before;
};

struct destination_case {
    const char* relative_path;
    const char* message; // nullptr: the check passes
};

std::ostream& operator<<(std::ostream& out, const destination_case& c) {
    return out << c.relative_path;
}

class destination_table : public destination_check,
                          public ::testing::WithParamInterface<destination_case> {};

TEST_P(destination_table, gives_the_expected_verdict) {
    std::string error = "untouched";
    const bool passed = check_destination(app, GetParam().relative_path, error);
    if (GetParam().message) {
        EXPECT_FALSE(passed);
        EXPECT_EQ(error, GetParam().message);
    } else {
        EXPECT_TRUE(passed);
        EXPECT_EQ(error, "untouched");
    }
}

const destination_case destination_cases[] = {
    {"new_dir/deeper/new.txt", nullptr},
    {"new.txt", nullptr},
    {"Tavrel.exe", nullptr},
    {"lib/a.dll", nullptr},
    {"lib\\a.dll", nullptr},
    {"lib/sub/new.dll", nullptr},
    {"lib", conflict},
    {"lib/sub", conflict},
    {"Tavrel.exe/x", conflict},
    {"lib/a.dll/deeper/x", conflict},
    {"inner_link/a.dll", link},
    {"inner_link\\a.dll", link},
    {"outer_link/new.txt", link},
    {"file_link", link},
    {"dangling", link},
    {"dangling/below", link},
};

INSTANTIATE_TEST_SUITE_P(table, destination_table, ::testing::ValuesIn(destination_cases));

TEST_F(destination_check, refuses_the_application_directory_itself) {
    std::string error;
    EXPECT_FALSE(check_destination(app, "", error));
    EXPECT_EQ(error, conflict);
}

TEST_F(destination_check, refuses_a_fifo_at_the_destination) {
    ASSERT_EQ(::mkfifo((app / "pipe").c_str(), 0600), 0);
    before = test::snapshot_tree(root.path());
    std::string error;
    EXPECT_FALSE(check_destination(app, "pipe", error));
    EXPECT_EQ(error, conflict);
}

// An uninspectable component refuses the path although everything behind it would pass.
TEST_F(destination_check, refuses_a_component_that_cannot_be_inspected) {
    std::string error;
    if (test::permissions_are_enforced()) {
        fs::permissions(app / "lib", fs::perms::none);
        const bool passed = check_destination(app, "lib/sub/new.dll", error);
        fs::permissions(app / "lib", fs::perms::owner_all);
        EXPECT_FALSE(passed);
    } else {
        // Permission bits do not bind this user, so the second status query is made to fail.
        const test::injected_failure failure("status:2");
        EXPECT_FALSE(check_destination(app, "lib/sub/new.dll", error));
    }
    EXPECT_EQ(error, cannot_inspect);
}

TEST_F(destination_check, stops_at_the_first_failing_component) {
    std::string error;
    const test::injected_failure failure("status:3");
    // The symbolic link is the first component, so the failing third query is never made.
    EXPECT_FALSE(check_destination(app, "inner_link/sub/x", error));
    EXPECT_EQ(error, link);
}

} // namespace
} // namespace tavrel
