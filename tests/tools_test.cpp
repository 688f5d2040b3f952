// The publisher's tools through their programs: tavrel-pack, tavrel-sign, tavrel-release (and
// its check with the updater's own code), their usage and --help.
#include "support/case_table.h"
#include "support/installation.h"
#include "support/signing.h"
#include "support/zip_builder.h"

#include <gtest/gtest.h>
#include <zip.h>

#include <sys/stat.h>

namespace tavrel::test {
namespace {

const fs::path test_key_file = fs::path(TAVREL_SOURCE_DIR) / "tests/keys/test_update.key";

// Name, method, Unix mode and bytes of every entry, in order.
std::vector<std::string> entries_of(const fs::path& file) {
    int code = 0;
    zip_t* archive = zip_open(file.c_str(), ZIP_RDONLY, &code);
    std::vector<std::string> entries;
    for (zip_int64_t i = 0; archive && i < zip_get_num_entries(archive, 0); ++i) {
        zip_stat_t stat;
        zip_uint8_t system = 0;
        zip_uint32_t attributes = 0;
        zip_stat_index(archive, i, 0, &stat);
        zip_file_get_external_attributes(archive, i, 0, &system, &attributes);
        std::string bytes(stat.size, '\0');
        zip_file_t* f = zip_fopen_index(archive, i, 0);
        zip_fread(f, bytes.data(), stat.size);
        zip_fclose(f);
        entries.push_back(std::string(stat.name) + " " + std::to_string(stat.comp_method) + " " +
                          std::to_string(attributes >> 16) + " " + bytes);
    }
    if (archive)
        zip_close(archive);
    return entries;
}

// The exit code and standard output of a run, as one text.
std::string outcome(const run_result& r) {
    return std::to_string(r.exit_code) + " " + r.out;
}

class tools : public ::testing::Test {
  protected:
    void SetUp() override {
        write_tree(source, {{"Tavrel.exe", "executable"},
                            {"lib/sub/a.dll", std::string(5000, 'a')},
                            {"caf\xC3\xA9 \xE4\xB8\xAD.txt", "accented"},
                            {"sub/uninstall.exe", "only reserved at the root"},
                            {"empty.txt", ""}});
        fs::create_directories(source / "nothing" / "inside");
    }
    run_result tool(const std::string& name, const std::vector<std::string>& args) const {
        return run(program(name), args);
    }
    std::string sign(const std::vector<std::string>& args) const {
        return outcome(tool("tavrel-sign", args));
    }
    run_result release(const fs::path& key = test_key_file, bool force = false) const {
        std::vector<std::string> args = {tree.string(), out.string(), "--key",
                                         key.string(),  "--version",  "2.1.0"};
        if (force)
            args.push_back("--force");
        return tool("tavrel-release", args);
    }
    run_result check(std::vector<std::string> args = {}) const {
        args.insert(args.begin(),
                    {"check", out.string(), "--public-key", test_public_key_base64()});
        return tool("tavrel-release", args);
    }

    installation inst; // a scratch directory, and the demo application for releases
    fs::path source = inst.root / "source";
    fs::path tree = inst.root / "tree";
    fs::path out = inst.root / "out";
    fs::path zip = inst.root / "a.zip";
};

TEST_F(tools, pack_writes_every_file_with_its_manifest_the_same_way_every_time) {
    ASSERT_EQ(tool("tavrel-pack", {source.string(), zip.string()}).exit_code, 0);
    const std::string manifest =
        package_manifest_bytes({"Tavrel.exe", "caf\xC3\xA9 \xE4\xB8\xAD.txt", "empty.txt",
                                "lib/sub/a.dll", "sub/uninstall.exe"});
    std::vector<std::string> expected; // every file, in order, deflated, mode 0100644
    for (const auto& [name, bytes] :
         files_below(source) + file_tree{{".tavrel-package-files.txt", manifest}})
        expected.push_back(name + " 8 33188 " + bytes);
    EXPECT_EQ(entries_of(zip), expected);
    // Fixed times (2020-01-01 00:00 in MS-DOS form): other file times, modes, time zone and
    // output name give the same bytes.
    EXPECT_EQ(read_bytes(zip).substr(10, 4), std::string("\0\0\x21\x50", 4));
    fs::last_write_time(source / "Tavrel.exe", fs::file_time_type::clock::now());
    ::chmod((source / "empty.txt").c_str(), 0600);
    ASSERT_EQ(run(program("tavrel-pack"), {source.string(), (inst.root / "b.zip").string()},
                  with_environment({{"TZ", "Pacific/Kiritimati"}}))
                  .exit_code,
              0);
    EXPECT_EQ(read_bytes(zip), read_bytes(inst.root / "b.zip"));
}

TEST_F(tools, pack_refuses_what_the_updater_would_refuse_up_to_its_limits) {
    const std::string long_name = std::string(200, 'd') + "/" + std::string(200, 'e') + "/" +
                                  std::string(200, 'f') + "/" + std::string(200, 'g') + "/";
    const placeholders values = {{"<long>", long_name}};
    for (const case_row& c : read_cases("pack_trees")) {
        fs::remove_all(source);
        fs::remove(zip);
        SetUp();
        for (std::size_t i = 1; i < c.size(); ++i) {
            const std::string file = expand(c[i].substr(0, c[i].find('=')), values);
            if (file == "<link>")
                fs::create_symlink(source / "Tavrel.exe", source / "lib" / "link");
            else if (file == "<fifo>")
                ::mkfifo((source / "pipe").c_str(), 0600);
            else if (file == "<no exe>")
                fs::rename(source / "Tavrel.exe", source / "tavrel.exe");
            else if (file.ends_with(" files>"))
                for (int n = std::stoi(file.substr(1)); n > 0; --n)
                    write_bytes(source / "nothing" / std::to_string(n), "");
            else
                write_bytes(source / file, file);
            if (c[i].find('=') != std::string::npos)
                fs::resize_file(source / file, std::stoull(c[i].substr(c[i].find('=') + 1)));
        }
        const run_result r = tool("tavrel-pack", {source.string(), zip.string()});
        if (c[0].empty()) {
            ASSERT_EQ(r.exit_code, 0) << r.err;
            EXPECT_EQ(entries_of(zip).size(), files_below(source).size() + 1); // and the manifest
        } else {
            EXPECT_EQ(outcome(r) + r.err, "1 tavrel-pack: " + expand(c[0], values) + "\n");
            EXPECT_FALSE(fs::exists(zip));
        }
    }
}

TEST_F(tools, sign_makes_owner_only_keys_and_signatures_that_verify_and_refuses_the_rest_with_2) {
    const fs::path key = inst.root / "release.key", file = inst.root / "update.zip";
    for (const ::mode_t mask : {0000, 0277}) { // whatever the umask, owner read/write
        fs::remove(key);
        const ::mode_t saved = ::umask(mask);
        const run_result made = tool("tavrel-sign", {"keygen", key.string()});
        ::umask(saved);
        ASSERT_EQ(made.exit_code, 0) << made.err;
        EXPECT_EQ(made.out.size(), 45u);
        EXPECT_EQ(fs::status(key).permissions(), fs::perms::owner_read | fs::perms::owner_write);
        EXPECT_EQ(tool("tavrel-sign", {"public", key.string()}).out, made.out);
    }
    const std::string made = read_bytes(key);
    EXPECT_EQ(tool("tavrel-sign", {"keygen", key.string()}).exit_code, 2);
    EXPECT_EQ(read_bytes(key), made); // never overwritten
    const std::string public_key = test_public_key_base64();
    EXPECT_EQ(sign({"public", test_key_file.string()}), "0 " + public_key + "\n");
    for (const std::string& content : {std::string(100000, 'z') + "end", std::string()}) {
        write_bytes(file, content);
        const std::string signature = test_signature_base64(file);
        EXPECT_EQ(sign({"sign", test_key_file.string(), file.string()}),
                  "0 " + signature + "\n" + std::to_string(content.size()) + "\n");
        EXPECT_EQ(sign({"verify", public_key, signature, file.string()}), "0 valid\n");
        write_bytes(file, content + "x");
        EXPECT_EQ(sign({"verify", public_key, signature, file.string()}), "1 invalid\n");
    }

    const std::string signature = test_signature_base64(file);
    std::string damaged = read_bytes(test_key_file);
    damaged[109] = damaged[109] == 'A' ? 'B' : 'A';
    const auto key_file = [&](const std::string& name, const std::string& content) {
        write_bytes(inst.root / name, content);
        return (inst.root / name).string();
    };
    const placeholders values = {{"{key}", test_key_file.string()},
                                 {"{public43}", public_key.substr(0, 43)},
                                 {"{public}", public_key},
                                 {"{sig86}", signature.substr(0, 86)}, // no padding
                                 {"{sig85}", signature.substr(0, 85)},
                                 {"{sig}", signature},
                                 {"{file}", file.string()},
                                 {"{missing}", (inst.root / "missing").string()},
                                 {"{short}", key_file("short", made.substr(0, 113))},
                                 {"{long}", key_file("long", made + "\n")},
                                 {"{cr}", key_file("cr", made.substr(0, 113) + "\r")},
                                 {"{damaged}", key_file("damaged", damaged)}};
    for (case_row c : read_cases("sign_refusals")) {
        const std::string message = c[0];
        c.erase(c.begin());
        std::erase(c, "");
        for (std::string& arg : c)
            arg = expand(arg, values);
        const run_result r = tool("tavrel-sign", c);
        EXPECT_TRUE(outcome(r) == "2 " && r.err.find(message) != std::string::npos)
            << message << ": " << r.err;
    }
}

TEST_F(tools, release_writes_the_package_and_the_feed_and_judges_it_as_the_updater) {
    write_tree(tree, {{"Tavrel.exe", "demo-app 2.1.0.7"}, {"data/a.txt", "a"}});
    const run_result r = release();
    ASSERT_EQ(r.exit_code, 0) << r.err;
    ASSERT_EQ(tool("tavrel-pack", {tree.string(), zip.string()}).exit_code, 0);
    const std::string archive = read_bytes(out / "update.zip");
    EXPECT_EQ(archive, read_bytes(zip)); // what tavrel-pack makes, byte for byte
    const std::string sha256 = run("/usr/bin/sha256sum", {(out / "update.zip").string()}).out;
    EXPECT_EQ(read_bytes(out / "update.json"),
              "{\n  \"version\": \"2.1.0\",\n  \"size\": " + std::to_string(archive.size()) +
                  ",\n  \"signature\": \"" + test_signature_base64(out / "update.zip") +
                  "\",\n  \"sha256\": \"" + sha256.substr(0, 64) + "\",\n  \"public_key\": \"" +
                  test_public_key_base64() + "\",\n  \"files\": 2\n}\n");

    // The check judges as the updater: accepted; refused over 2.1.0, or (--force) another key.
    EXPECT_EQ(outcome(check()), "0 accepted\n");
    EXPECT_EQ(outcome(check({"--installed-version", "2.1.0"})),
              "1 The signed update version does not match the feed or would downgrade Tavrel.\n");
    // A misspelt option or a missing value is a usage error, never a verdict on other terms.
    for (const auto& [args, message] :
         std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--installed-verison", "2.2.0"}, "unknown option --installed-verison"},
             {{"--installed-version"}, "--installed-version needs a value"},
             {{"--installed-version", "--installed", "x"}, "--installed-version needs a value"},
             {{"--force"}, "unknown option --force"}}) {
        const run_result r = check(args);
        EXPECT_TRUE(r.exit_code == 2 && r.out.empty() && r.err.find(message) != std::string::npos &&
                    r.err.find("usage: tavrel-release") != std::string::npos)
            << r.err;
    }
    EXPECT_EQ(tool("tavrel-release", {tree.string(), out.string(), "--key", test_key_file.string(),
                                      "--version", "2.1.0", "--froce"})
                  .exit_code,
              2);

    // Against an installation: where `data` is a file, the release's data/a.txt replaces it when
    // the installed manifest names it (the installation of a release), and conflicts with it
    // when nothing says that the update may remove it (a directory without a manifest).
    const fs::path old_tree = inst.root / "old-tree";
    const fs::path old_out = inst.root / "old-out";
    write_tree(old_tree, {{"Tavrel.exe", "demo-app 2.0.5.0"}, {"data", "a file"}});
    ASSERT_EQ(tool("tavrel-release", {old_tree.string(), old_out.string(), "--key",
                                      test_key_file.string(), "--version", "2.0.5"})
                  .exit_code,
              0);
    EXPECT_EQ(outcome(check({"--installed", (old_out / "update.zip").string()})), "0 accepted\n");
    EXPECT_EQ(outcome(check({"--installed", old_tree.string()})),
              "1 An update destination conflicts with an existing file or directory.\n");
    // The installation's own version is the one to pass.
    fs::remove(old_tree / "data");
    write_tree(old_tree, {{"Tavrel.exe", "demo-app 2.1.1.0"}});
    EXPECT_EQ(outcome(check({"--installed", old_tree.string()})),
              "1 The signed update version does not match the feed or would downgrade Tavrel.\n");
    ASSERT_EQ(tool("tavrel-sign", {"keygen", (inst.root / "other.key").string()}).exit_code, 0);
    ASSERT_EQ(release(inst.root / "other.key", true).exit_code, 0);
    EXPECT_EQ(outcome(check()),
              "1 The update signature could not be verified. No installed files were changed.\n");
}

// A delta per earlier release: kept, patched and whole files, listed in the feed with its own
// size, hash and signature; the check judges it against an installation as the updater would.
TEST_F(tools, release_writes_a_delta_for_each_earlier_release_and_the_check_judges_it) {
    const fs::path old_tree = inst.root / "old-tree";
    const fs::path old_out = inst.root / "old-out";
    std::string data(20000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7919 % 251);
    write_tree(old_tree, {{"Tavrel.exe", "demo-app 2.0.5.0"},
                          {"keep.txt", "the same in both"},
                          {"data/big.dat", data},
                          {"gone.txt", "only in 2.0.5"},
                          {"lib/v2.0/engine.dat", data + data}});
    write_tree(tree, {{"Tavrel.exe", "demo-app 2.1.0.7"},
                      {"keep.txt", "the same in both"},
                      {"data/big.dat", data.substr(0, 9000) + "inserted" + data.substr(9000)},
                      {"added.txt", "only in 2.1.0"},
                      {"lib/v2.1/engine.dat", data + "appended" + data}});
    ASSERT_EQ(tool("tavrel-release", {old_tree.string(), old_out.string(), "--key",
                                      test_key_file.string(), "--version", "2.0.5"})
                  .exit_code,
              0);
    const run_result r =
        tool("tavrel-release",
             {tree.string(), out.string(), "--key", test_key_file.string(), "--version", "2.1.0",
              "--delta-from", (old_out / "update.zip").string()});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const fs::path delta = out / "update-from-2.0.5.zip";
    const std::string bytes = read_bytes(delta);
    EXPECT_NE(
        r.out.find("  update-from-2.0.5.zip  " + std::to_string(bytes.size()) +
                   " bytes for installations of 2.0.5: 3 files patched (1 from another path), "
                   "1 whole, 1 kept\n"),
        std::string::npos)
        << r.out;
    EXPECT_LT(bytes.size() * 4, read_bytes(out / "update.zip").size());
    const std::string sha256 = run("/usr/bin/sha256sum", {delta.string()}).out.substr(0, 64);
    EXPECT_NE(read_bytes(out / "update.json")
                  .find("\"files\": 5,\n  \"deltas\": [\n    {\"base\": \"2.0.5\", \"file\": "
                        "\"update-from-2.0.5.zip\", \"size\": " +
                        std::to_string(bytes.size()) + ", \"signature\": \"" +
                        test_signature_base64(delta) + "\", \"sha256\": \"" + sha256 +
                        "\"}\n  ]\n}\n"),
              std::string::npos)
        << read_bytes(out / "update.json");
    // The full package's manifest, and a description; what the base holds is left out.
    const std::vector<std::string> entries = entries_of(delta);
    const std::vector<std::string> full = entries_of(out / "update.zip");
    // description, manifest, Tavrel.exe, data/big.dat, added.txt, lib/v2.1/engine.dat
    EXPECT_EQ(entries.size(), 6u);
    EXPECT_TRUE(entries[0].starts_with(".tavrel-delta.txt 8 33188 tavrel-delta 1\nbase 2.0.5\n"));
    EXPECT_EQ(entries[1], full[0]); // the manifest, first of the full package's entries

    const auto check_delta = [&](const std::vector<std::string>& more) {
        std::vector<std::string> args = {"--delta", "2.0.5"};
        args.insert(args.end(), more.begin(), more.end());
        return outcome(check(args));
    };
    EXPECT_EQ(check_delta({"--installed", (old_out / "update.zip").string()}), "0 accepted\n");
    write_tree(old_tree, {{"keep.txt", "changed by the user"}});
    EXPECT_EQ(check_delta({"--installed", old_tree.string()}),
              "1 The update does not fit the installed version.\n");
    const run_result none = check({"--delta", "2.0.4"});
    EXPECT_EQ(none.exit_code, 1);
    EXPECT_NE(none.err.find("lists no delta for installations of 2.0.4"), std::string::npos);
}

TEST_F(tools, release_refuses_what_every_installation_would_refuse) {
    for (const case_row& c : read_cases("release_refusals")) {
        SCOPED_TRACE(c[3]);
        fs::remove_all(out);
        fs::remove_all(tree);
        fs::create_directories(out);
        write_tree(tree, {{"Tavrel.exe", "demo-app 2.1.0.7"}, {"data/a.txt", "a"}});
        const fs::path base = c[0] == "tree" ? tree : c[0] == "out" ? out : inst.root;
        if (c[2] == "-")
            fs::remove(base / c[1]);
        else if (c[2].starts_with("versions/"))
            fs::copy_file(fs::path(TAVREL_TESTDATA_DIR) / c[2], base / c[1],
                          fs::copy_options::overwrite_existing);
        else
            write_tree(base, {{c[1], c[2]}});
        const run_result r = release(c[0] == "key" ? base / c[1] : test_key_file);
        EXPECT_TRUE(r.exit_code == 1 && r.err.find(c[3]) != std::string::npos) << r.err;
        EXPECT_EQ(files_below(out), (c[0] == "out" ? file_tree{{c[1], c[2]}} : file_tree{}));
    }
}

TEST(publishing_tools, answer_help_on_standard_output_and_usage_errors_with_2) {
    for (const std::string name :
         {"tavrel-release", "tavrel-sign", "tavrel-pack", "tavrel-set-version"}) {
        const run_result help = run(program(name), {"--help"});
        const run_result wrong = run(program(name), {"--help", "extra", "words", "here", "x"});
        EXPECT_TRUE(help.exit_code == 0 && help.out.starts_with("usage: " + name) &&
                    help.err.empty())
            << name << ": " << help.out << help.err;
        EXPECT_TRUE(wrong.exit_code == 2 && wrong.out.empty() &&
                    wrong.err.find("usage: " + name) != std::string::npos)
            << name << ": " << wrong.err;
    }
}

} // namespace
} // namespace tavrel::test
