// Staging: the package path rule, manifests, destinations, the hostile corpus, packages staged or
// refused by the installed files, the limits, removals, the staging directory's name.
#include "staging/stage_update.h"

#include "common/text.h"
#include "install/transaction.h"
#include "staging/delta_description.h"
#include "staging/destination.h"
#include "staging/package_manifest.h"
#include "staging/package_path.h"
#include "staging/staging_directory.h"
#include "support/case_table.h"
#include "support/temp_tree.h"
#include "support/zip_builder.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <regex>
#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace tavrel::test {
namespace {

namespace fs = std::filesystem;

constexpr char not_regular[] = "The application directory is not a regular directory.";
constexpr char too_big[] = "The update archive exceeds the allowed size.";
constexpr char corrupt[] = "An update file failed decompression or CRC validation.";
constexpr char conflict[] = "An update destination conflicts with an existing file or directory.";
constexpr char link[] = "Update destinations must not contain symbolic links.";
constexpr char already[] = "This update package has already been staged.";
constexpr std::uint64_t mib = 1024 * 1024;

TEST(package_path, rule) {
    for (const case_row& c : read_cases("package_paths"))
        EXPECT_EQ(is_safe_package_path(c[1]), c[0] == "safe") << '"' << c[1] << "\" " << c[2];
    // No limit on length or depth.
    std::string deep;
    for (int i = 0; i < 1000; ++i)
        deep += "d/";
    EXPECT_TRUE(is_safe_package_path(deep + std::string(5000, 'a')));
}

// The paths read, separated by "|", or the message of the failure.
std::string read_manifest(const fs::path& file) {
    std::vector<std::string> paths = {"stale"};
    const std::string error = error_of([&] { read_package_manifest(file, paths); });
    if (!error.empty())
        return error;
    std::string read;
    for (const auto& p : paths)
        read += (read.empty() ? "" : "|") + p;
    return "ok " + read;
}

TEST(delta_description, is_read_or_refused_and_written_back) {
    const std::string a(128, 'a'), b(128, 'b');
    const char* kinds[] = {"whole", "patched", "kept"};
    for (const case_row& c : read_cases("delta_descriptions")) {
        SCOPED_TRACE(c[2]);
        const std::string text = "tavrel-delta 1\n" + expand(c[0], {{"{a}", a}, {"{b}", b}});
        std::string outcome;
        try {
            const delta_description description = parse_delta_description(text);
            for (const delta_file& file : description.files) {
                outcome += outcome.empty() ? "ok " : "|";
                outcome += std::string(kinds[static_cast<int>(file.kind)]) + ":" + file.path;
                if (!file.base_path.empty())
                    outcome += "<" + file.base_path;
                // {a} is the base's hash wherever there is one, {b} the result's.
                sha512_digest aa, bb;
                aa.fill(0xAA);
                bb.fill(0xBB);
                EXPECT_EQ(file.base, file.kind == delta_kind::whole ? sha512_digest{} : aa);
                EXPECT_EQ(file.result, file.kind == delta_kind::patched ? bb : sha512_digest{});
            }
            EXPECT_EQ(write_delta_description(description), text);
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), "The update's delta description is invalid.");
            outcome = "invalid";
        }
        EXPECT_EQ(outcome, c[1]);
    }
}

TEST(package_manifest, is_read_or_refused) {
    const std::map<std::string, std::string> messages = {
        {"size", "Invalid package file manifest size."},
        {"encoding", "Invalid package file manifest encoding."},
        {"header", "Invalid package manifest header."},
        {"path", "Package manifest contains an unsafe or duplicate path."},
        {"incomplete", "Incomplete package manifest."}};
    const std::string header = "Tavrel package files 1\n";
    const std::string lines_900(900, 'x');
    std::vector<case_row> cases = read_cases("package_manifests");
    cases.push_back({"manifest", lines_900 + "\n", "ok " + lines_900, "a line of 900 units"});
    cases.push_back({"manifest", lines_900 + "\r\n", "ok " + lines_900, "a CR does not count"});
    // Refused while it is read: the missing line feed would otherwise be the complaint.
    const std::string too_long = "Package manifest path is too long.";
    cases.push_back({"manifest", lines_900 + "x", too_long, "a line of 901 units"});
    cases.push_back({"utf16", std::string(901, 'T') + "\n", too_long, "a header of 901 units"});
    const temp_dir dir;
    for (const case_row& c : cases) {
        SCOPED_TRACE(c[3]);
        const auto manifest = [&] { return utf16_file(header + c[1]); };
        const std::string bytes = c[0] == "bytes"      ? c[1]
                                  : c[0] == "utf16"    ? utf16_file(c[1])
                                  : c[0] == "manifest" ? manifest()
                                  : c[0] == "be-bom"   ? "\xFE\xFF" + manifest().substr(2)
                                                     : manifest().substr(2) + std::string(2, '\0');
        write_bytes(dir / "m.txt", bytes);
        EXPECT_EQ(read_manifest(dir / "m.txt"), messages.contains(c[2]) ? messages.at(c[2]) : c[2]);
        EXPECT_EQ(read_bytes(dir / "m.txt"), bytes) << "the manifest was changed";
    }
    write_bytes(dir / "m.txt", utf16_file(header + "a") + std::string("\x00\xD8\x0A\x00", 4));
    EXPECT_EQ(read_manifest(dir / "m.txt"), messages.at("encoding")) << "an unpaired surrogate";

    // 19,999 paths are read, a 20,000th is refused.
    std::vector<std::string> paths;
    for (int i = 0; i < 20000; ++i)
        paths.push_back("f" + std::to_string(i));
    write_bytes(dir / "m.txt", package_manifest_bytes(paths));
    EXPECT_EQ(read_manifest(dir / "m.txt"), messages.at("path"));
    paths.pop_back();
    write_bytes(dir / "m.txt", package_manifest_bytes(paths));
    const std::string read = read_manifest(dir / "m.txt");
    EXPECT_TRUE(read.starts_with("ok f0|f1|") && read.ends_with("|f19998")) << read.substr(0, 80);

    // Exactly 4 MiB (lines of 800 units and one shorter), and 2 bytes more.
    std::string text = header;
    for (int i = 0; (text.size() + 1) * 2 < 0x400000; ++i) {
        const std::size_t left = std::min<std::size_t>(800, 0x200000 - text.size() - 2);
        const std::string name = std::to_string(i);
        text += name + std::string(left - name.size(), 'x') + "\n";
    }
    std::string bytes = utf16_file(text);
    ASSERT_EQ(bytes.size(), 0x400000u);
    write_bytes(dir / "m.txt", bytes);
    EXPECT_TRUE(read_manifest(dir / "m.txt").starts_with("ok 0xxx"));
    bytes.insert(bytes.size() - 2, std::string("x\0", 2));
    write_bytes(dir / "m.txt", bytes);
    EXPECT_EQ(read_manifest(dir / "m.txt"), messages.at("size"));

    // A file that cannot be read: the file-system error.
    EXPECT_EQ(read_manifest(dir / "missing.txt"),
              "file_size: " + platform::error_description(ENOENT) + ": \"" +
                  path_display_text(dir / "missing.txt") + "\"");
    EXPECT_NE(read_manifest(dir.path()).find(path_display_text(dir.path())), std::string::npos);
}

#ifndef _WIN32 // Wine makes no symbolic links
TEST(destination, is_checked_component_by_component_and_changes_nothing) {
    const temp_dir root;
    const fs::path app = root / "app";
    fs::create_directories(app / "lib/sub");
    fs::create_directories(root / "outside");
    write_bytes(app / "Tavrel.exe", "exe");
    write_bytes(app / "lib/a.dll", "a");
    fs::create_directory_symlink(app / "lib", app / "inner_link");
    fs::create_directory_symlink(root / "outside", app / "outer_link");
    fs::create_symlink(app / "lib/a.dll", app / "file_link");
    fs::create_symlink(app / "missing", app / "dangling");
    ASSERT_EQ(::mkfifo((app / "pipe").c_str(), 0600), 0);
    const tree_snapshot before = snapshot_tree(root.path());
    const std::map<std::string, std::string> messages = {{"conflict", conflict}, {"link", link}};
    for (const case_row& c : read_cases("destinations")) {
        std::string error = "untouched";
        EXPECT_EQ(check_destination(app, c[0], error), c[1] == "ok") << c[0];
        EXPECT_EQ(error, c[1] == "ok" ? "untouched" : messages.at(c[1])) << c[0];
    }
    // A component that cannot be inspected refuses the path, although what is behind it would
    // pass; the check stops at the first failing component.
    std::string error;
    {
        const injected_failure failure("status:2");
        EXPECT_FALSE(check_destination(app, "lib/sub/new.dll", error));
        EXPECT_EQ(error, "Cannot inspect an update destination.");
    }
    {
        const injected_failure failure("status:3");
        EXPECT_FALSE(check_destination(app, "inner_link/sub/x", error));
        EXPECT_EQ(error, link);
    }
    EXPECT_EQ(snapshot_tree(root.path()), before);
}
#endif

zip_entry_spec exe() {
    return file_entry("Tavrel.exe", "new exe", zip_deflated);
}
std::vector<zip_entry_spec> with_exe(std::vector<zip_entry_spec> entries) {
    entries.push_back(exe());
    return entries;
}
zip_entry_spec manifest_entry(const std::vector<std::string>& paths) {
    return file_entry(package_manifest_name, package_manifest_bytes(paths));
}

// A few bytes that claim `size`: they pass or fail the expansion limits, then fail to inflate.
zip_entry_spec declared_size(std::string name, std::uint64_t size) {
    zip_entry_spec e = file_entry(std::move(name), "tiny", zip_deflated);
    e.uncompressed_size = size;
    return e;
}

// "path" for a file to install, "-path" for a removal.
std::vector<std::string> describe(const std::vector<update_entry>& entries) {
    std::vector<std::string> out;
    for (const auto& e : entries)
        out.push_back((e.remove ? "-" : "") + path_to_utf8(e.relative_path));
    return out;
}

bool make_link(const fs::path& target, const fs::path& link) {
    std::error_code ec;
    fs::create_symlink(target, link, ec);
    return !ec;
}

// An installed application: Tavrel.exe, data/a.txt, old.dll and data/old.txt.
class staging : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* file : {"Tavrel.exe", "data/a.txt", "old.dll", "data/old.txt"})
            write_bytes(app / file, std::string("old ") + file);
    }

    // Stages `archive` (the verified bytes: here a file's) into `app_dir`.
    bool stage(update_transaction& transaction, std::string& error) const {
        const std::string bytes = read_bytes(archive);
        return stage_update(transaction,
                            {reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()},
                            error);
    }

    // Staging fails with `message`, the transaction stays unprepared, nothing installed changes.
    void expect_refused(const std::string& message, const fs::path& app_dir = {}) {
        const auto before = snapshot_tree(app, staging_directory_prefix);
        update_transaction transaction(app_dir.empty() ? app : app_dir);
        std::string error = "stale";
        EXPECT_FALSE(stage(transaction, error));
        EXPECT_EQ(error, message);
        EXPECT_FALSE(transaction.prepared);
        EXPECT_EQ(staged_executable_path(transaction), path());
        EXPECT_EQ(snapshot_tree(app, staging_directory_prefix), before);
    }
    void expect_refused(const std::vector<zip_entry_spec>& entries, const std::string& message) {
        write_zip(archive, entries);
        expect_refused(message);
    }

    temp_dir root;
    fs::path app = root / "app";
    fs::path archive = root / "update.zip";
};

TEST_F(staging, refuses_every_hostile_archive_and_changes_nothing_installed) {
    for (const auto& hostile : hostile_archives()) {
        SCOPED_TRACE(hostile.what);
        fs::copy_file(hostile.file, archive, fs::copy_options::overwrite_existing);
        expect_refused(hostile.message);
    }
}

TEST_F(staging, stages_or_refuses_described_packages_by_the_installed_files) {
    // Wine makes no symbolic links; the cases that need one are left out there.
    const bool links =
        make_link(app / "data", app / "shortcut") && fs::is_symlink(app / "shortcut");
    const bool case_counts = !fs::exists(app / "TAVREL.EXE");
    const std::map<std::string, std::string> messages = {{"conflict", conflict}, {"link", link}};
    const placeholders values = {{"{exe}", "BTavrel.exe\tnew exe"},
                                 {"{manifest}", "P.tavrel-package-files.txt\t"}};
    for (const case_row& c : read_cases("staged_packages")) {
        SCOPED_TRACE(c[3]);
        if (!links && c[3].find("link") != std::string::npos)
            continue;
        fs::remove(app / package_manifest_name);
        if (c[1] != "-")
            write_bytes(app / package_manifest_name,
                        c[1].starts_with("bytes:") ? c[1].substr(6)
                                                   : package_manifest_bytes(split(c[1], '|')));
        write_zip(archive, described_package(expand(c[0], values)));
        // "where case counts || where it does not"
        const std::vector<std::string> outcomes = split(c[2], '#');
        const std::string& chosen = outcomes[case_counts ? 0 : outcomes.size() - 1];
        const std::string outcome = messages.contains(chosen) ? messages.at(chosen) : chosen;
        if (outcome.ends_with('.')) { // a message
            expect_refused(outcome);
            continue;
        }
        update_transaction transaction(app);
        std::string error;
        ASSERT_TRUE(stage(transaction, error)) << error;
        EXPECT_EQ(describe(transaction.entries), split(outcome, '|'));
    }
    // An application directory missing, a file or a link; an installed manifest that is a link.
    fs::remove(app / package_manifest_name);
    write_bytes(root / "file", "x");
    for (const char* other : {"missing", "file"})
        expect_refused(not_regular, root / other);
    if (!links)
        return;
    write_bytes(root / "real-manifest.txt", package_manifest_bytes({"data/a.txt"}));
    make_link(root / "real-manifest.txt", app / package_manifest_name);
    expect_refused(with_exe({manifest_entry({"Tavrel.exe"})}), link);
    make_link(app, root / "app_link");
    expect_refused(not_regular, root / "app_link");
}

TEST_F(staging, takes_sizes_up_to_the_limits_and_no_more) {
    // 512 MiB of zeros are no archive, but their size passes; one byte more does not. (calloc
    // makes no page that is not read.)
    for (const auto& [size, message] : {std::pair<std::size_t, std::string>{0, too_big},
                                        {536870912, "The update is not a valid ZIP archive."},
                                        {536870913, too_big}}) {
        const std::unique_ptr<unsigned char, decltype(&std::free)> zeros(
            static_cast<unsigned char*>(std::calloc(size + 1, 1)), &std::free);
        update_transaction transaction(app);
        std::string error;
        EXPECT_FALSE(stage_update(transaction, {zeros.get(), size}, error));
        EXPECT_EQ(error, message);
    }
    // Exactly 256 MiB for a file and exactly 2 GiB in all pass the limits, then fail to inflate.
    expect_refused(with_exe({declared_size("big.bin", 256 * mib)}), corrupt);
    std::vector<zip_entry_spec> two_gib;
    for (int i = 0; i < 7; ++i)
        two_gib.push_back(declared_size(std::to_string(i), 256 * mib));
    two_gib.push_back(declared_size("7", 256 * mib - 7)); // Tavrel.exe's 7 bytes make 2 GiB
    expect_refused(with_exe(two_gib), corrupt);
}

TEST_F(staging, stages_the_files_in_archive_order_below_new) {
    const std::string big(300000, 'z'); // several deflate blocks
    write_zip(archive, {directory_entry("bin/"), file_entry("bin/tool.dll", "tool"),
                        file_entry("data/a.txt", "new a", zip_deflated), exe(),
                        file_entry("empty.txt", ""), file_entry("big.bin", big),
                        file_entry("\xC3\xA9t\xC3\xA9/\xE2\x82\xAC.txt", "euro")});
    const auto before = snapshot_tree(app, staging_directory_prefix);
    update_transaction transaction(root / "app/../app");
    std::string error = "stale";
    ASSERT_TRUE(stage(transaction, error)) << error;
    EXPECT_EQ(error, "");
    EXPECT_TRUE(transaction.prepared);
    EXPECT_EQ(transaction.app_dir, fs::canonical(app));
    EXPECT_EQ(describe(transaction.entries),
              (std::vector<std::string>{"bin/tool.dll", "data/a.txt", "Tavrel.exe", "empty.txt",
                                        "big.bin", "\xC3\xA9t\xC3\xA9/\xE2\x82\xAC.txt"}));
    // ".tavrel-update-" and two decimal numbers without leading zeros, in the application dir.
    EXPECT_TRUE(std::regex_match(path_to_utf8(file_name(transaction.staging_dir)),
                                 std::regex(R"(\.tavrel-update-(0|[1-9]\d*)-(0|[1-9]\d*))")));
    EXPECT_EQ(parent_path(transaction.staging_dir), transaction.app_dir);
    EXPECT_EQ(staged_executable_path(transaction), transaction.staging_dir / "new/Tavrel.exe");
    const tree_snapshot expected = {
        {"bin", directory_node()},
        {"bin/tool.dll", file_node("tool")},
        {"data", directory_node()},
        {"data/a.txt", file_node("new a")},
        {"Tavrel.exe", file_node("new exe")},
        {"empty.txt", file_node("")},
        {"big.bin", file_node(big)},
        {"\xC3\xA9t\xC3\xA9", directory_node()},
        {"\xC3\xA9t\xC3\xA9/\xE2\x82\xAC.txt", file_node("euro")},
    };
    EXPECT_EQ(snapshot_tree(transaction.staging_dir / "new"), expected);
    EXPECT_EQ(snapshot_tree(transaction.staging_dir).size(), expected.size() + 1);
    EXPECT_EQ(snapshot_tree(app, staging_directory_prefix), before);

    // A second call, or one for a transaction whose staging directory is set, changes nothing.
    const auto staged = snapshot_tree(app);
    EXPECT_FALSE(stage_update(transaction, {}, error));
    EXPECT_EQ(error, already);
    EXPECT_EQ(snapshot_tree(app), staged);
    update_transaction other(app);
    other.staging_dir = app / ".tavrel-update-1-2";
    EXPECT_FALSE(stage(other, error));
    EXPECT_EQ(error, already);
}

TEST_F(staging, accepts_every_form_a_good_package_may_take) {
    std::vector<zip_entry_spec> zip64 = with_exe({file_entry("data/x.bin", "64", zip_deflated)});
    for (auto& e : zip64)
        e.zip64 = true;
    std::vector<zip_entry_spec> many;
    for (int i = 0; i < 19999; ++i)
        many.push_back(directory_entry("d" + std::to_string(i) + "/"));
    std::string name_4095;
    while (name_4095.size() < 4095 - 201)
        name_4095 += std::string(200, 'n') + "/";
    name_4095 += std::string(4095 - name_4095.size() - 1, 'n') + "/";
    const std::string comment = std::string("PK\5\6", 4) + std::string(18, '\0') + " then more";
    const struct {
        const char* what;
        std::vector<zip_entry_spec> entries;
        zip_options options;
        std::vector<std::string> staged;
    } cases[] = {
        {"20,000 entries", with_exe(many), {}, {"Tavrel.exe"}},
        {"a name of 4,095 bytes", with_exe({directory_entry(name_4095)}), {}, {"Tavrel.exe"}},
        {"ZIP64 records", zip64, {true, {}}, {"data/x.bin", "Tavrel.exe"}},
        {"a comment holding end records",
         with_exe({file_entry("a.txt", "a")}),
         {false, comment},
         {"a.txt", "Tavrel.exe"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        write_zip(archive, c.entries, c.options);
        update_transaction transaction(app);
        std::string error;
        ASSERT_TRUE(stage(transaction, error)) << error;
        EXPECT_EQ(describe(transaction.entries), c.staged);
    }
}

#ifndef _WIN32 // portable code; under Wine, making and checking 20,000 files takes 90 s
TEST_F(staging, takes_20000_entries_with_removals_and_no_more) {
    std::vector<std::string> installed;
    for (int i = 0; i < 19999; ++i)
        installed.push_back("f" + std::to_string(i));
    for (const auto& name : installed)
        write_bytes(app / name, "");
    write_bytes(app / package_manifest_name, package_manifest_bytes(installed));
    // Two package files (Tavrel.exe and the manifest) plus 19,999 removals.
    expect_refused(with_exe({manifest_entry({"Tavrel.exe"})}),
                   "Too many package replacement and removal entries.");
    fs::remove(app / installed.back()); // 19,998 removals: 20,000 entries
    update_transaction transaction(app);
    std::string error;
    ASSERT_TRUE(stage(transaction, error)) << error;
    EXPECT_EQ(transaction.entries.size(), 20000u);
}
#endif

TEST(staging_directory, is_named_by_two_draws_and_drawn_again_while_taken) {
    temp_dir root;
    std::size_t drawn = 0;
    const auto draws = [&](std::vector<std::uint32_t> values) {
        drawn = 0;
        return [&drawn, values] { return values.at(drawn++ % values.size()); };
    };
    EXPECT_EQ(create_staging_directory(root.path(), draws({7, 4294967295u})),
              root / ".tavrel-update-4294967295-7");
    // A directory of the drawn name costs an attempt; 16 attempts in all.
    fs::create_directory(root / ".tavrel-update-2-1");
    EXPECT_EQ(create_staging_directory(root.path(), draws({1, 2, 0, 10})),
              root / ".tavrel-update-10-0");
    EXPECT_EQ(drawn, 4u);
    const auto before = snapshot_tree(root.path());
    EXPECT_EQ(error_of([&] {
                  create_staging_directory(root.path(), draws({1, 2}));
              }),
              "Could not create an update staging directory.");
    EXPECT_EQ(drawn, 32u);
    EXPECT_EQ(snapshot_tree(root.path()), before);
    // Anything else of that name is an error naming it: a file, or a link even to a directory.
    write_bytes(root / ".tavrel-update-4-3", "file");
    make_link(root.path(), root / ".tavrel-update-6-5");
    for (const auto& [first, second] : {std::pair{3u, 4u}, {5u, 6u}}) {
        const fs::path taken =
            root / (".tavrel-update-" + std::to_string(second) + "-" + std::to_string(first));
        if (!fs::exists(fs::symlink_status(taken)))
            continue;
        EXPECT_EQ(
            error_of([&] {
                create_staging_directory(root.path(), draws({first, second}));
            }),
            "create_directory: " + platform::error_description(platform::already_exists_error()) +
                ": \"" + path_display_text(taken) + "\"");
    }
}

} // namespace
} // namespace tavrel::test
