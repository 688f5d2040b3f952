// The publisher's tools through their programs: tavrel-pack (reproducible packages, refusal of
// every tree the updater would refuse), tavrel-sign (owner-only keys, signatures the updater
// verifies), tavrel-release (the release in one step, and its check with the updater's own
// code), and the usage and --help of each.
#include "staging/package_manifest.h"
#include "support/installation.h"
#include "support/signing.h"

#include <gtest/gtest.h>
#include <sodium.h>
#include <zip.h>

#include <functional>
#include <regex>
#include <sys/stat.h>

namespace tavrel::test {
namespace {

const fs::path test_key_file = fs::path(TAVREL_SOURCE_DIR) / "tests/keys/test_update.key";

// name, method, external attributes and bytes of every entry, in order.
std::vector<std::string> entries_of(const fs::path& file) {
    int code = 0;
    zip_t* archive = zip_open(file.c_str(), ZIP_RDONLY, &code);
    std::vector<std::string> entries;
    for (zip_int64_t i = 0; archive && i < zip_get_num_entries(archive, 0); ++i) {
        zip_stat_t stat;
        zip_stat_index(archive, i, 0, &stat);
        std::string bytes(stat.size, '\0');
        zip_file_t* f = zip_fopen_index(archive, i, 0);
        zip_fread(f, bytes.data(), stat.size);
        zip_fclose(f);
        zip_uint8_t system = 0;
        zip_uint32_t attributes = 0;
        zip_file_get_external_attributes(archive, i, 0, &system, &attributes);
        entries.push_back(std::string(stat.name) + " " + std::to_string(stat.comp_method) + " " +
                          std::to_string(attributes >> 16) + " " + bytes);
    }
    if (archive)
        zip_close(archive);
    return entries;
}

class tools : public ::testing::Test {
  protected:
    void SetUp() override {
        write_bytes(source / "Tavrel.exe", "executable");
        write_bytes(source / "lib" / "sub" / "a.dll", std::string(5000, 'a'));
        write_bytes(source / "caf\xC3\xA9.txt", "accented");
        write_bytes(source / "sub" / "uninstall.exe", "only reserved at the root");
        write_bytes(source / "empty.txt", "");
        fs::create_directories(source / "nothing" / "inside");
    }
    run_result tool(const std::string& name, const std::vector<std::string>& args) const {
        return run(program(name), args);
    }
    run_result release(std::vector<std::string> extra = {}) const {
        std::vector<std::string> args = {tree.string(),          out.string(), "--key",
                                         test_key_file.string(), "--version",  "2.1.0"};
        args.insert(args.end(), extra.begin(), extra.end());
        return tool("tavrel-release", args);
    }
    run_result check(std::vector<std::string> extra = {}) const {
        std::vector<std::string> args = {"check", out.string(), "--public-key",
                                         test_public_key_base64()};
        args.insert(args.end(), extra.begin(), extra.end());
        return tool("tavrel-release", args);
    }
    std::string feed(const std::string& name) const {
        const std::string text = read_bytes(out / "update.json");
        std::smatch m;
        std::regex_search(text, m, std::regex("\"" + name + R"re(": (?:"([^"]*)"|([0-9]+)))re"));
        return m[1].matched ? m[1].str() : m[2].str();
    }

    installation inst; // a scratch directory, and the demo application for releases
    fs::path source = inst.root / "source";
    fs::path tree = inst.root / "tree";
    fs::path out = inst.root / "out";
};

TEST_F(tools, pack_writes_every_file_with_its_manifest_the_same_way_every_time) {
    ASSERT_EQ(tool("tavrel-pack", {source.string(), (inst.root / "a.zip").string()}).exit_code, 0);
    std::string manifest = "\xFF\xFE";
    for (const char16_t unit : std::u16string(u"Tavrel package files 1\nTavrel.exe\ncaf\u00E9.txt\n"
                                              u"empty.txt\nlib/sub/a.dll\nsub/uninstall.exe\n"))
        manifest += {static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
    EXPECT_EQ(entries_of(inst.root / "a.zip"),
              (std::vector<std::string>{".tavrel-package-files.txt 8 33188 " + manifest,
                                        "Tavrel.exe 8 33188 executable",
                                        "caf\xC3\xA9.txt 8 33188 accented", "empty.txt 8 33188 ",
                                        "lib/sub/a.dll 8 33188 " + std::string(5000, 'a'),
                                        "sub/uninstall.exe 8 33188 only reserved at the root"}));
    // Other time stamps, modes and time zone, another output name: the same bytes.
    fs::last_write_time(source / "Tavrel.exe", fs::file_time_type::clock::now());
    ::chmod((source / "empty.txt").c_str(), 0600);
    ASSERT_EQ(run(program("tavrel-pack"), {source.string(), (inst.root / "b.zip").string()},
                  with_environment({{"TZ", "Pacific/Kiritimati"}}))
                  .exit_code,
              0);
    EXPECT_EQ(read_bytes(inst.root / "a.zip"), read_bytes(inst.root / "b.zip"));
}

TEST_F(tools, pack_refuses_what_the_updater_would_refuse) {
    const std::string long_name = std::string(200, 'd') + "/" + std::string(200, 'e') + "/" +
                                  std::string(200, 'f') + "/" + std::string(200, 'g') + "/";
    // What is added to the tree: files (a size makes them sparse), or something special.
    const struct {
        std::vector<std::string> files;
        std::string message;
        std::uintmax_t size = 0;
    } cases[] = {
        {{"a:b.txt"}, "unsafe package path: \"a:b.txt\""},
        {{"lib/nul .dll"}, "unsafe package path: \"lib/nul .dll\""},
        {{".tavrel-update-1/x"}, "unsafe package path: \".tavrel-update-1/x\""},
        {{"Uninstall.exe"}, "reserved name at the package root: \"Uninstall.exe\""},
        {{".TAVREL-INSTALL-FILES.TXT"},
         "reserved name at the package root: \".TAVREL-INSTALL-FILES.TXT\""},
        {{"<link>"}, "symbolic links cannot be packaged: \"lib/link\""},
        {{"<fifo>"}, "not a regular file: \"pipe\""},
        {{"Readme.txt", "README.TXT"},
         "paths differ only in letter case: \"README.TXT\" and \"Readme.txt\""},
        {{"Lib"}, "path used both as a file and as a directory: \"Lib\" and \"lib/sub/a.dll\""},
        {{"<no exe>"}, "the package has no Tavrel.exe at its root"},
        {{"\xFF.txt"}, "file name is not valid UTF-8: \"\xFF.txt\""},
        {{long_name + std::string(97, 'h')},
         "path longer than 900 UTF-16 code units in the package file manifest: \"" + long_name +
             std::string(97, 'h') + "\""},
        {{"big.bin"}, "file larger than 256 MiB: \"big.bin\"", 268435457},
        {{"big0", "big1", "big2", "big3", "big4", "big5", "big6", "big7"},
         "the files exceed 2 GiB in total at \"big7\"",
         268435456},
        {{"<19995 files>"}, "too many files: 20000 (at most 19999)"},
    };
    const auto many = [&](int count) {
        for (int i = 0; i < count; ++i)
            write_bytes(source / "nothing" / std::to_string(i), "");
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        fs::remove_all(source);
        SetUp();
        for (const std::string& file : c.files) {
            if (file == "<link>")
                fs::create_symlink(source / "Tavrel.exe", source / "lib" / "link");
            else if (file == "<fifo>")
                ::mkfifo((source / "pipe").c_str(), 0600);
            else if (file == "<no exe>")
                fs::rename(source / "Tavrel.exe", source / "tavrel.exe");
            else if (file == "<19995 files>")
                many(19995);
            else
                write_bytes(source / file, file);
            if (c.size)
                fs::resize_file(source / file, c.size);
        }
        const run_result r = tool("tavrel-pack", {source.string(), (inst.root / "u.zip").string()});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.err, "tavrel-pack: " + c.message + "\n");
        EXPECT_FALSE(fs::exists(inst.root / "u.zip"));
    }
    // Exactly at the limits: 19,999 files, a manifest line of 900 units.
    fs::remove_all(source);
    SetUp();
    write_bytes(source / (long_name + std::string(96, 'h')), "long");
    many(19993);
    ASSERT_EQ(tool("tavrel-pack", {source.string(), (inst.root / "u.zip").string()}).exit_code, 0);
    EXPECT_EQ(entries_of(inst.root / "u.zip").size(), 20000u);
}

TEST_F(tools, sign_makes_owner_only_keys_and_signatures_that_verify) {
    const fs::path key = inst.root / "release.key";
    for (const ::mode_t mask : {0000, 0077, 0277}) { // whatever the mask, owner read/write
        fs::remove(key);
        const ::mode_t saved = ::umask(mask);
        const run_result made = tool("tavrel-sign", {"keygen", key.string()});
        ::umask(saved);
        ASSERT_EQ(made.exit_code, 0) << made.err;
        EXPECT_EQ(made.out.size(), 45u);
        EXPECT_EQ(fs::status(key).permissions(), fs::perms::owner_read | fs::perms::owner_write);
        EXPECT_EQ(tool("tavrel-sign", {"public", key.string()}).out, made.out);
    }
    EXPECT_EQ(tool("tavrel-sign", {"keygen", key.string()}).exit_code, 2); // never overwritten
    EXPECT_EQ(tool("tavrel-sign", {"public", test_key_file.string()}).out,
              test_public_key_base64() + "\n");

    const fs::path file = inst.root / "update.zip";
    for (const std::string& content : {std::string(100000, 'z') + "end", std::string()}) {
        write_bytes(file, content);
        const run_result signed_file =
            tool("tavrel-sign", {"sign", test_key_file.string(), file.string()});
        const std::string signature = signed_file.out.substr(0, 88);
        EXPECT_EQ(signed_file.out, signature + "\n" + std::to_string(content.size()) + "\n");
        EXPECT_EQ(
            tool("tavrel-sign", {"verify", test_public_key_base64(), signature, file.string()}).out,
            "valid\n");
    }
    const std::string signature = test_signature_base64(file);
    write_bytes(file, "changed");
    const run_result invalid =
        tool("tavrel-sign", {"verify", test_public_key_base64(), signature, file.string()});
    EXPECT_EQ(invalid.exit_code, 1);
    EXPECT_EQ(invalid.out, "invalid\n");
}

TEST_F(tools, sign_refuses_usage_errors_undecodable_input_and_broken_keys_with_2) {
    const fs::path file = inst.root / "update.zip";
    write_bytes(file, "content");
    const std::string key = test_public_key_base64();
    const std::string signature = test_signature_base64(file);
    const std::string good = read_bytes(test_key_file);
    std::string damaged = good; // the public half no longer belongs to the seed
    damaged[109] = damaged[109] == 'A' ? 'B' : 'A';
    const struct {
        std::string key_file; // written to release.key first, unless empty
        std::vector<std::string> args;
    } cases[] = {
        {"", {}},
        {"", {"keygen", "a", "b"}},
        {"", {"sign", test_key_file.string()}},
        {"", {"verify", key, signature.substr(0, 86), file.string()}},         // no padding
        {"", {"verify", key, signature.substr(0, 85) + "B==", file.string()}}, // bits in padding
        {"", {"verify", key.substr(0, 43), signature, file.string()}},
        {"", {"verify", key, signature, (inst.root / "missing").string()}},
        {good.substr(0, 113), {"public"}},
        {good + "\n", {"public"}},
        {good.substr(0, 113) + "\r", {"public"}},
        {damaged, {"public"}},
        {damaged, {"sign", "release.key", file.string()}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        if (!c.key_file.empty()) {
            write_bytes(inst.root / "release.key", c.key_file);
            args = {args[0], (inst.root / "release.key").string()};
            if (c.args.size() > 2)
                args.push_back(c.args[2]);
        }
        const run_result r = tool("tavrel-sign", args);
        EXPECT_EQ(r.exit_code, 2) << (args.empty() ? "" : args[0]);
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(r.err.empty());
    }
}

TEST_F(tools, release_writes_the_package_and_the_feed_values) {
    write_tree(tree, {{"Tavrel.exe", "demo-app 2.1.0.7"}, {"data/a.txt", "a"}});
    const run_result r = release();
    ASSERT_EQ(r.exit_code, 0) << r.err;
    ASSERT_EQ(tool("tavrel-pack", {tree.string(), (inst.root / "p.zip").string()}).exit_code, 0);
    const std::string archive = read_bytes(out / "update.zip");
    EXPECT_EQ(archive, read_bytes(inst.root / "p.zip")); // what tavrel-pack makes, byte for byte
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
        hex += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
    EXPECT_EQ(feed("sha256"), hex);
    EXPECT_EQ(release().exit_code, 1);            // not over an existing release...
    EXPECT_EQ(release({"--force"}).exit_code, 0); // ...unless asked to

    // The check judges as the updater would: accepted; refused where 2.1.0 is installed; and
    // refused when released with another key than the one the updater trusts.
    EXPECT_EQ(check().out, "accepted\n");
    const run_result installed = check({"--installed-version", "2.1.0"});
    EXPECT_EQ(installed.exit_code, 1);
    EXPECT_EQ(installed.out,
              "The signed update version does not match the feed or would downgrade Tavrel.\n");
    ASSERT_EQ(tool("tavrel-sign", {"keygen", (inst.root / "other.key").string()}).exit_code, 0);
    ASSERT_EQ(tool("tavrel-release",
                   {tree.string(), out.string(), "--key", (inst.root / "other.key").string(),
                    "--version", "2.1.0", "--force"})
                  .exit_code,
              0);
    EXPECT_EQ(check().out,
              "The update signature could not be verified. No installed files were changed.\n");
}

TEST_F(tools, release_refuses_what_every_installation_would_refuse) {
    write_bytes(inst.root / "bad.key", "not a key\n");
    const struct {
        std::function<void()> change;
        std::vector<std::string> args; // instead of the usual ones, when given
        std::string message;
    } cases[] = {
        {[&] {
             write_tree(tree, {{"Tavrel.exe", "demo-app 2.1.1.0"}});
         },
         {},
         "Tavrel.exe carries the file version 2.1.1, not 2.1.0"},
        {[&] { fs::remove(tree / "Tavrel.exe"); }, {}, "the tree has no Tavrel.exe at its root"},
        {[&] { write_bytes(tree / "lib" / "aux .dll", "x"); },
         {},
         "unsafe package path: \"lib/aux .dll\""},
        {[&] { write_bytes(out / "update.json", "{}"); },
         {},
         "update.json exists; --force replaces it"},
        {[] {},
         {"--key", (inst.root / "bad.key").string()},
         "is not a tavrel-sign secret key file (10 bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        fs::remove_all(out);
        fs::remove_all(tree);
        fs::create_directories(out);
        write_tree(tree, {{"Tavrel.exe", "demo-app 2.1.0.7"}, {"data/a.txt", "a"}});
        c.change();
        const run_result r = c.args.empty()
                                 ? release()
                                 : tool("tavrel-release", {tree.string(), out.string(), c.args[0],
                                                           c.args[1], "--version", "2.1.0"});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(out / "update.zip"));
    }
}

TEST(publishing_tools, answer_help_on_standard_output_and_usage_errors_with_2) {
    for (const char* name :
         {"tavrel-release", "tavrel-sign", "tavrel-pack", "tavrel-set-version"}) {
        SCOPED_TRACE(name);
        const run_result help = run(program(name), {"--help"});
        EXPECT_EQ(help.exit_code, 0);
        EXPECT_EQ(help.out.rfind(std::string("usage: ") + name, 0), 0u) << help.out;
        EXPECT_EQ(help.err, "");
        const run_result wrong = run(program(name), {"--help", "extra", "words", "here", "x"});
        EXPECT_EQ(wrong.exit_code, 2);
        EXPECT_EQ(wrong.out, "");
        EXPECT_NE(wrong.err.find("usage: "), std::string::npos) << wrong.err;
    }
}

} // namespace
} // namespace tavrel::test
