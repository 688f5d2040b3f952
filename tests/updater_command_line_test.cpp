// The updater's command line through the real binary: rejected invocations end with exit
// code 2, show nothing and change nothing; malformed numbers and versions are shown.
#include "support/installation.h"
#include "support/programs.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace tavrel::test {
namespace {

const std::string good_signature(88, 'A');

class command_line : public ::testing::Test {
  protected:
    installation inst;

    void SetUp() override { write_bytes(inst.archive, "PK not really an archive"); }

    // The arguments of a well-formed update invocation, with this test process as the
    // application (it never exits, so a run that gets past the checks would time out).
    std::vector<std::string> update_args() const {
        return {std::to_string(::getpid()),
                inst.app_dir.string(),
                inst.archive.string(),
                good_signature,
                "24",
                "2.1.0"};
    }

    void expect_rejected(const std::vector<std::string>& args, const fs::path& cwd = {}) {
        const auto before = snapshot_tree(inst.root, ".tavrel-update-");
        const run_result r =
            run(program("tavrel-updater"), args, in_directory(cwd, inst.environment()));
        EXPECT_EQ(r.exit_code, 2) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(snapshot_tree(inst.root, ".tavrel-update-"), before);
    }

    void expect_message(const std::vector<std::string>& args, const std::string& message) {
        const auto before = snapshot_tree(inst.root, ".tavrel-update-");
        const run_result r =
            run(program("tavrel-updater"), args, with_environment(inst.environment()));
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.err, message + "\n");
        EXPECT_EQ(snapshot_tree(inst.root, ".tavrel-update-"), before);
        EXPECT_TRUE(inst.starts().empty()) << "nothing is started before the application exits";
    }
};

TEST_F(command_line, rejects_wrong_forms_with_exit_code_2) {
    const std::string pid = std::to_string(::getpid());
    const std::string app = inst.app_dir.string();
    const std::string zip = inst.archive.string();
    const std::vector<std::vector<std::string>> cases = {
        {},
        {pid},
        {pid, app},
        {pid, app, "--recover", "x"},
        {pid, app, "--RECOVER"},
        {pid, app, "--recover "},
        {pid, app, zip, good_signature, "24", "2.1.0", "extra"},
        {"0", app, zip, good_signature, "24", "2.1.0"},
        {"-0", app, zip, good_signature, "24", "2.1.0"},
        {pid + "x", app, zip, good_signature, "24", "2.1.0"},
        {pid + " ", app, zip, good_signature, "24", "2.1.0"},
        {pid, (inst.app_dir / "Tavrel.exe").string(), zip, good_signature, "24", "2.1.0"},
        {pid, app, zip, good_signature.substr(1), "24", "2.1.0"},
        {pid, app, zip, good_signature + "A", "24", "2.1.0"},
        {pid, app, zip, good_signature.substr(1) + "-", "24", "2.1.0"},
        {pid, app, zip, good_signature.substr(1) + " ", "24", "2.1.0"},
        {pid, app, zip, good_signature, "0", "2.1.0"},
        {pid, app, zip, good_signature, "536870913", "2.1.0"},
        {pid, app, zip, good_signature, "24x", "2.1.0"},
        {pid, app, zip, good_signature, "24 ", "2.1.0"},
        {pid, app, zip, good_signature, "-1", "2.1.0"},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        expect_rejected(args);
    }
}

TEST_F(command_line, rejects_a_process_that_cannot_be_opened) {
    // A process that has ended and been reaped: its id opens nothing.
    const run_result gone = run("/bin/true", {});
    ASSERT_EQ(gone.exit_code, 0);
    child_process child("/bin/true", {});
    const int pid = child.pid();
    child.wait();
    auto args = update_args();
    args[0] = std::to_string(pid);
    expect_rejected(args);
}

TEST_F(command_line, rejects_directories_and_names_that_fail_their_checks) {
    const struct {
        std::string download_name;
        std::string archive_name;
    } cases[] = {
        {"Tavrel-download-1", "update.zip"},
        {"tavrel-download", "update.zip"}, // the prefix without its final dash
        {"TAVREL-DOWNLOAD-1", "update.zip"},
        {"tavrel-download-1", "Update.zip"},
        {"tavrel-download-1", "update.ZIP"},
        {"tavrel-download-1", "update.zip.part"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.download_name + "/" + c.archive_name);
        const fs::path archive = inst.root / c.download_name / c.archive_name;
        fs::create_directories(archive.parent_path());
        write_bytes(archive, "x");
        auto args = update_args();
        args[2] = archive.string();
        expect_rejected(args);
        fs::remove_all(inst.root / c.download_name);
        fs::create_directories(inst.download_dir);
        write_bytes(inst.archive, "PK not really an archive");
    }
}

TEST_F(command_line, shows_the_conversion_messages_of_malformed_numbers) {
    const std::string pid = std::to_string(::getpid());
    const std::string app = inst.app_dir.string();
    const std::string zip = inst.archive.string();
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"x42", app, zip, good_signature, "24", "2.1.0"}, "invalid stoul argument"},
        {{"", app, zip, good_signature, "24", "2.1.0"}, "invalid stoul argument"},
        {{"-", app, zip, good_signature, "24", "2.1.0"}, "invalid stoul argument"},
        {{"4294967296", app, zip, good_signature, "24", "2.1.0"}, "stoul argument out of range"},
        {{"99999999999999999999", app, "--recover"}, "stoul argument out of range"},
        {{pid, app, zip, good_signature, "x", "2.1.0"}, "invalid stoull argument"},
        {{pid, app, zip, good_signature, "18446744073709551616", "2.1.0"},
         "stoull argument out of range"},
        {{pid, app, zip, good_signature, "24", "2.1"}, "The requested update version is invalid."},
        {{pid, app, zip, good_signature, "24", "2.1.0 "},
         "The requested update version is invalid."},
        {{pid, app, zip, good_signature, "24", "2.65536.0"},
         "The requested update version is invalid."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        expect_message(c.args, c.message);
    }
}

TEST_F(command_line, a_missing_path_shows_the_canonical_error) {
    const std::string pid = std::to_string(::getpid());
    const fs::path missing = inst.root / "no-such-dir";
    expect_message({pid, missing.string(), inst.archive.string(), good_signature, "24", "2.1.0"},
                   "canonical: No such file or directory: \"" + missing.string() + "\"");
    // With seven arguments "--recover" is the archive path, resolved from the working directory.
    const run_result r =
        run(program("tavrel-updater"),
            {pid, inst.app_dir.string(), "--recover", good_signature, "24", "2.1.0"},
            in_directory(inst.download_dir));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "canonical: No such file or directory: \"--recover\"\n");
}

TEST_F(command_line, accepts_leading_blanks_signs_and_the_size_limit) {
    // These pass every check, so the run reaches the handshake and writes "ready"; the
    // application then exits and the archive's signature is refused.
    const struct {
        std::string pid_prefix;
        std::string size;
    } cases[] = {{" ", "24"}, {"+", "24"}, {"", "+24"}, {"", " 24"}, {"", "536870912"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pid_prefix + "|" + c.size);
        child_process app(program("tavrel-demo-app"), {"parent", inst.download_dir.string()});
        const run_result r = run(program("tavrel-updater"),
                                 {c.pid_prefix + std::to_string(app.pid()), inst.app_dir.string(),
                                  inst.archive.string(), good_signature, c.size, " 2. 1 .0"},
                                 with_environment(inst.environment()));
        app.wait();
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_TRUE(fs::exists(inst.download_dir / "ready"));
        EXPECT_NE(r.err.find("The "), std::string::npos) << r.err;
        fs::remove(inst.download_dir / "ready");
    }
}

} // namespace
} // namespace tavrel::test
