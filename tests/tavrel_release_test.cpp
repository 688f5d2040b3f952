// tavrel-release: a release in one step, refused where the updater would refuse it, and its
// check, which judges with the updater's own code; --help of every publishing tool.
#include "support/installation.h"
#include "support/programs.h"
#include "support/signing.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <regex>

namespace tavrel::test {
namespace {

const std::string test_key_file = TAVREL_SOURCE_DIR "/tests/keys/test_update.key";

class tavrel_release : public ::testing::Test {
  protected:
    installation inst; // only its scratch directory and the demo application
    fs::path tree = inst.root / "tree";
    fs::path out = inst.root / "out";

    void SetUp() override {
        write_tree(tree, {{"Tavrel.exe", "demo-app 2.1.0.7"}, {"data/a.txt", "a"}});
    }
    run_result release(std::vector<std::string> extra = {}) const {
        std::vector<std::string> args = {tree.string(), out.string(), "--key",
                                         test_key_file, "--version",  "2.1.0"};
        args.insert(args.end(), extra.begin(), extra.end());
        return run(program("tavrel-release"), args);
    }
    run_result check(std::vector<std::string> extra = {}) const {
        std::vector<std::string> args = {"check", out.string(), "--public-key",
                                         test_public_key_base64()};
        args.insert(args.end(), extra.begin(), extra.end());
        return run(program("tavrel-release"), args);
    }
    // The value of one field of update.json.
    std::string feed(const std::string& name) const {
        const std::string text = read_bytes(out / "update.json");
        std::smatch m;
        EXPECT_TRUE(std::regex_search(text, m,
                                      std::regex("\"" + name + R"re(": (?:"([^"]*)"|([0-9]+)))re")))
            << name;
        return m[1].matched ? m[1].str() : m[2].str();
    }
};

TEST_F(tavrel_release, writes_the_package_and_the_feed_values) {
    const run_result r = release();
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("release 2.1.0"), std::string::npos) << r.out;
    // The archive is what tavrel-pack makes of the tree, byte for byte.
    ASSERT_EQ(
        run(program("tavrel-pack"), {tree.string(), (inst.root / "p.zip").string()}).exit_code, 0);
    const std::string archive = read_bytes(out / "update.zip");
    EXPECT_EQ(archive, read_bytes(inst.root / "p.zip"));

    EXPECT_EQ(feed("version"), "2.1.0");
    EXPECT_EQ(feed("size"), std::to_string(archive.size()));
    EXPECT_EQ(feed("files"), "2");
    EXPECT_EQ(feed("public_key"), test_public_key_base64());
    EXPECT_EQ(feed("signature"), test_signature_base64(out / "update.zip"));
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(archive.data()),
                       archive.size());
    std::string hex;
    for (const unsigned char b : digest)
        hex += "0123456789abcdef"[b >> 4], hex += "0123456789abcdef"[b & 15];
    EXPECT_EQ(feed("sha256"), hex);

    // A second release over it needs --force.
    EXPECT_EQ(release().exit_code, 1);
    EXPECT_EQ(release({"--force"}).exit_code, 0);
}

TEST_F(tavrel_release, refuses_what_every_installation_would_refuse) {
    const fs::path bad_key = inst.root / "bad.key";
    write_bytes(bad_key, "not a key\n");
    const struct {
        const char* what;
        std::function<void(const fs::path& tree, const fs::path& out)> arrange;
        std::vector<std::string> args; // replacing --key and --version when given
        std::string message;
    } cases[] = {
        {"executable of another version",
         [](const fs::path& t, const fs::path&) {
             write_tree(t, {{"Tavrel.exe", "demo-app 2.1.1.0"}});
         },
         {},
         "Tavrel.exe carries the file version 2.1.1, not 2.1.0"},
        {"no executable",
         [](const fs::path& t, const fs::path&) { fs::remove(t / "Tavrel.exe"); },
         {},
         "the tree has no Tavrel.exe at its root"},
        {"a tree the updater would refuse",
         [](const fs::path& t, const fs::path&) {
             fs::create_directories(t / "lib");
             write_bytes(t / "lib" / "aux .dll", "x");
         },
         {},
         "unsafe package path: \"lib/aux .dll\""},
        {"an existing release",
         [](const fs::path&, const fs::path& o) { write_bytes(o / "update.json", "{}"); },
         {},
         "update.json exists; --force replaces it"},
        {"a key file of the wrong form",
         [](const fs::path&, const fs::path&) {},
         {"--key", bad_key.string(), "--version", "2.1.0"},
         "is not a tavrel-sign secret key file (10 bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(out);
        fs::remove_all(tree);
        SetUp();
        fs::create_directories(out);
        c.arrange(tree, out);
        const run_result r =
            c.args.empty() ? release()
                           : run(program("tavrel-release"), {tree.string(), out.string(), c.args[0],
                                                             c.args[1], c.args[2], c.args[3]});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(out / "update.zip"));
    }
}

TEST_F(tavrel_release, check_judges_as_the_updater_does) {
    ASSERT_EQ(release().exit_code, 0);
    run_result r = check();
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "accepted\n");
    // An installation that already has this version, or a newer one, refuses it.
    r = check({"--installed-version", "2.1.0"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "The signed update version does not match the feed or would downgrade "
                     "Tavrel.\n");
    EXPECT_EQ(check({"--installed-version", "2.0.9"}).exit_code, 0);

    // Released with another key: the updater with the test key would not verify it.
    const fs::path other_key = inst.root / "other.key";
    ASSERT_EQ(run(program("tavrel-sign"), {"keygen", other_key.string()}).exit_code, 0);
    ASSERT_EQ(run(program("tavrel-release"), {tree.string(), out.string(), "--key",
                                              other_key.string(), "--version", "2.1.0", "--force"})
                  .exit_code,
              0);
    r = check();
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out,
              "The update signature could not be verified. No installed files were changed.\n");
}

TEST(publishing_tools, answer_help_on_standard_output_and_usage_errors_with_2) {
    for (const char* tool :
         {"tavrel-release", "tavrel-sign", "tavrel-pack", "tavrel-set-version"}) {
        SCOPED_TRACE(tool);
        const run_result help = run(program(tool), {"--help"});
        EXPECT_EQ(help.exit_code, 0);
        EXPECT_EQ(help.out.rfind(std::string("usage: ") + tool, 0), 0u) << help.out;
        EXPECT_EQ(help.err, "");
        const run_result wrong = run(program(tool), {"--help", "extra", "words", "here", "x"});
        EXPECT_EQ(wrong.exit_code, 2);
        EXPECT_EQ(wrong.out, "");
        EXPECT_NE(wrong.err.find("usage: "), std::string::npos) << wrong.err;
    }
}

} // namespace
} // namespace tavrel::test
