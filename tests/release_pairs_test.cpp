// Random pairs of releases (seeded): each old release installed, the new one released with
// tavrel-release, judged by `tavrel-release check --installed` and installed by the real updater.
// Whatever a publisher changes between two releases (files added, removed, moved between
// folders, renamed in letter case, ASCII or not, files turned into folders and back, empty files,
// deep paths), the update ends with exactly the new release, or with exactly the old one when the
// new application does not confirm its start, and the check foretells the updater's verdict.
//
//   TAVREL_RELEASE_PAIRS=N       pairs to run (default 200)
//   TAVREL_RELEASE_PAIRS_SEED=S  the first seed (default 1); pair i uses seed S + i
//   TAVREL_RELEASE_PAIRS_WRITE=DIR  write the pairs as trees instead (DIR/i/old, DIR/i/new and
//                                DIR/i/case: the behaviour of the new application, the version
//                                and a file that the user added), for the runs under Wine
#include "common/case_fold.h"
#include "staging/package_manifest.h"
#include "staging/package_path.h"
#include "support/installation.h"
#include "support/signing.h"
#include "support/zip_builder.h"

#include <gtest/gtest.h>
#include <zip.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <random>
#include <regex>
#include <set>

namespace tavrel::test {
namespace {

struct release_pair {
    tree_spec old_tree;
    tree_spec new_tree;
    std::string behaviour = "confirm"; // of the new application: confirm, or exit (no start)
    std::string version = "2.1.0";     // of the new release; 2.0.2 is a downgrade
    std::string user_file;             // added to the installation by its user, or ""
    std::set<std::string> changes;     // what the new release changes, for the figures
    // What the publisher's own packer might do otherwise: 0 nothing; 1 the package file
    // manifest stored in capitals; 2 empty directory entries; 3 a directory entry that carries
    // data, which every updater must refuse.
    int oddity = 0;
};

// The updater's verdict on a pair, known without its code: a directory entry with data is
// refused while the archive is read; a file of the user's in a folder that the new release
// turns into a file blocks it (nothing may remove what no manifest names); a downgrade is
// refused after staging; everything else installs.
std::string expected_verdict(const release_pair& p) {
    if (p.oddity == 3)
        return "The update contains an invalid or symbolic-link entry.";
    for (std::size_t slash = p.user_file.find('/'); slash != std::string::npos;
         slash = p.user_file.find('/', slash + 1))
        if (p.new_tree.contains(p.user_file.substr(0, slash)))
            return "An update destination conflicts with an existing file or directory.";
    if (p.version == "2.0.2")
        return "The signed update version does not match the feed or would downgrade Tavrel.";
    return "accepted";
}

// Names with letters whose case a release may change, ASCII and not.
constexpr std::array<const char*, 12> file_names = {
    "readme.txt", "app.dll", "Core.dll", "notes",         "ärger.dll", "élan.txt",
    "σigma.dat",  "ÿes.bin", "data.bin", "Übersicht.txt", "plugins",   "empty.cfg"};
constexpr std::array<const char*, 8> folder_names = {"lib",  "docs", "Übersetzungen", "plugins",
                                                     "data", "ä",    "Deep",          "σ"};
// Lower and upper case of the first letters above.
constexpr std::array<std::pair<const char*, const char*>, 7> case_pairs = {
    {{"ä", "Ä"}, {"é", "É"}, {"σ", "Σ"}, {"ÿ", "Ÿ"}, {"ü", "Ü"}, {"ö", "Ö"}, {"ß", "ẞ"}}};

std::string flip_case(const std::string& name) {
    for (const auto& [lower, upper] : case_pairs) {
        if (name.starts_with(lower))
            return upper + name.substr(std::string_view(lower).size());
        if (name.starts_with(upper))
            return lower + name.substr(std::string_view(upper).size());
    }
    std::string flipped = name;
    if (!flipped.empty() && std::isalpha(static_cast<unsigned char>(flipped[0])))
        flipped[0] = static_cast<char>(std::isupper(static_cast<unsigned char>(flipped[0]))
                                           ? std::tolower(flipped[0])
                                           : std::toupper(flipped[0]));
    return flipped;
}

// A tree that tavrel-pack takes: names that stay apart on Windows, none a file and a folder.
bool is_valid_tree(const tree_spec& tree) {
    std::set<std::string> keys;
    for (const auto& [name, content] : tree)
        if (!is_safe_package_path(name) || !keys.insert(fold_case(name)).second)
            return false;
    for (const auto& key : keys)
        for (std::size_t slash = key.find('/'); slash != std::string::npos;
             slash = key.find('/', slash + 1))
            if (keys.contains(key.substr(0, slash)))
                return false;
    return tree.contains("Tavrel.exe");
}

class generator {
  public:
    explicit generator(unsigned seed) : random_(seed) {}

    release_pair pair() {
        release_pair p;
        do
            p.old_tree = random_tree();
        while (!is_valid_tree(p.old_tree));
        do {
            p.changes.clear();
            p.new_tree = changed(p.old_tree, p.changes);
        } while (!is_valid_tree(p.new_tree));
        p.old_tree["Tavrel.exe"] = "demo-app 2.0.3.0";
        const int roll = number(20);
        p.behaviour = roll < 4 ? "exit" : "confirm";
        p.version = roll == 4 ? "2.0.2" : "2.1.0";
        p.new_tree["Tavrel.exe"] = "demo-app " + p.version + ".0";
        if (roll >= 5 && roll < 8)
            p.user_file = user_file_in_a_folder(p);
        p.oddity = roll >= 8 && roll < 11 ? roll - 7 : 0;
        return p;
    }

  private:
    int number(int below) { return std::uniform_int_distribution<int>(0, below - 1)(random_); }
    template <typename List> std::string pick(const List& list) {
        return list[static_cast<std::size_t>(number(static_cast<int>(list.size())))];
    }
    std::string folder(int deepest) {
        std::string path;
        for (int depth = number(deepest + 1); depth > 0; --depth)
            path += pick(folder_names) + std::string("/");
        return path;
    }
    std::string content() {
        if (number(6) == 0)
            return ""; // an empty file
        return "content " + std::to_string(number(1000000));
    }
    tree_spec random_tree() {
        tree_spec tree{{"Tavrel.exe", ""}};
        for (int i = 1 + number(10); i > 0; --i)
            tree[folder(3) + pick(file_names)] = content();
        return tree;
    }
    tree_spec changed(const tree_spec& old_tree, std::set<std::string>& changes) {
        tree_spec tree;
        for (const auto& [name, text] : old_tree) {
            if (name == "Tavrel.exe") {
                tree[name] = text;
                continue;
            }
            const std::size_t slash = name.rfind('/');
            const std::string dir = slash == std::string::npos ? "" : name.substr(0, slash + 1);
            const std::string base = name.substr(dir.size());
            switch (number(8)) {
            case 0:
                changes.insert("file removed");
                break;
            case 1:
                tree[folder(2) + base] = text;
                changes.insert("file moved");
                break;
            case 2:
                tree[dir + flip_case(base)] = text;
                changes.insert(static_cast<unsigned char>(base[0]) < 0x80
                                   ? "file renamed in ASCII case"
                                   : "file renamed in non-ASCII case");
                break;
            case 3:
                tree[name + "/" + pick(file_names)] = content();
                changes.insert("file turned into a folder");
                break;
            case 4:
                tree[name] = content();
                changes.insert("file changed");
                break;
            default: // kept
                tree[name] = text;
            }
        }
        // A folder renamed in letter case, or turned into a file.
        if (const auto folders = folders_of(tree); !folders.empty()) {
            const std::string chosen = pick(folders);
            const std::size_t slash = chosen.rfind('/', chosen.size() - 2);
            const std::string parent =
                slash == std::string::npos ? "" : chosen.substr(0, slash + 1);
            const std::string renamed =
                parent +
                flip_case(chosen.substr(parent.size(), chosen.size() - parent.size() - 1)) + "/";
            const bool to_file = number(3) == 0;
            tree_spec moved;
            for (const auto& [name, text] : tree)
                if (!name.starts_with(chosen))
                    moved[name] = text;
                else if (!to_file)
                    moved[renamed + name.substr(chosen.size())] = text;
            if (to_file)
                moved[chosen.substr(0, chosen.size() - 1)] = content();
            tree = moved;
            changes.insert(to_file ? "folder turned into a file" : "folder renamed in case");
        }
        for (int i = number(3); i > 0; --i) {
            const std::string name = folder(5) + pick(file_names);
            changes.insert(old_tree.contains(name) ? "file changed" : "file added");
            tree[name] = content();
        }
        for (const auto& [name, text] : tree) {
            if (text.empty() && name != "Tavrel.exe")
                changes.insert("empty file");
            if (std::count(name.begin(), name.end(), '/') >= 4)
                changes.insert("deep path");
        }
        return tree;
    }
    static std::vector<std::string> folders_of(const tree_spec& tree) {
        std::set<std::string> folders;
        for (const auto& [name, text] : tree)
            for (std::size_t slash = name.find('/'); slash != std::string::npos;
                 slash = name.find('/', slash + 1))
                folders.insert(name.substr(0, slash + 1));
        return {folders.begin(), folders.end()};
    }
    // A file of the user's in a folder of the old release: harmless unless the new release
    // puts a file where that folder is.
    std::string user_file_in_a_folder(const release_pair& p) {
        std::vector<std::string> folders = folders_of(p.old_tree);
        std::vector<std::string> made_files;
        for (const std::string& folder : folders)
            if (p.new_tree.contains(folder.substr(0, folder.size() - 1)))
                made_files.push_back(folder);
        if (!made_files.empty())
            folders = made_files;
        return folders.empty() ? "" : pick(folders) + "user-notes.txt";
    }

    std::mt19937 random_;
};

unsigned environment_number(const char* name, unsigned fallback) {
    const char* value = std::getenv(name);
    return value && *value ? static_cast<unsigned>(std::strtoul(value, nullptr, 10)) : fallback;
}

// The demo application at each version that the pairs use, stamped once.
class demo_apps {
  public:
    explicit demo_apps(const fs::path& dir) : dir_(dir) {
        for (const char* version : {"2.0.2.0", "2.0.3.0", "2.1.0.0"})
            install_demo_app(dir_ / version, version);
    }
    void write(const fs::path& root, const tree_spec& tree) const {
        for (const auto& [name, text] : tree) {
            fs::create_directories((root / name).parent_path());
            if (text.starts_with("demo-app "))
                fs::copy_file(dir_ / text.substr(9), root / name);
            else
                write_bytes(root / name, text);
        }
    }

  private:
    fs::path dir_;
};

void write_pair(const demo_apps& apps, const fs::path& dir, const release_pair& p) {
    apps.write(dir / "old", p.old_tree);
    apps.write(dir / "new", p.new_tree);
    write_bytes(dir / "case", p.behaviour + "\n" + p.version + "\n" + p.user_file + "\n" +
                                  std::to_string(p.oddity) + "\n");
}

// Changes the released update.zip as another packer might have written it, then signs it again
// and puts its size and signature into update.json.
void make_odd(const fs::path& out, int oddity) {
    const fs::path archive = out / "update.zip";
    int code = 0;
    zip_t* z = zip_open(archive.c_str(), 0, &code);
    ASSERT_NE(z, nullptr);
    if (oddity == 1) {
        const zip_int64_t manifest = zip_name_locate(z, package_manifest_name, 0);
        ASSERT_GE(manifest, 0);
        ASSERT_EQ(zip_file_rename(z, static_cast<zip_uint64_t>(manifest),
                                  ".TAVREL-PACKAGE-FILES.TXT", ZIP_FL_ENC_UTF_8),
                  0);
    } else if (oddity == 2) {
        ASSERT_GE(zip_dir_add(z, "docs", ZIP_FL_ENC_UTF_8), 0);
        ASSERT_GE(zip_dir_add(z, "Tavrel.exe.d", ZIP_FL_ENC_UTF_8), 0);
    } else if (oddity == 3) {
        static constexpr char data[] = "a file marked as a directory";
        zip_source_t* source = zip_source_buffer(z, data, sizeof data - 1, 0);
        ASSERT_GE(zip_file_add(z, "docs/readme.txt/", source, ZIP_FL_ENC_UTF_8), 0);
    }
    ASSERT_EQ(zip_close(z), 0);
    std::string feed = read_bytes(out / "update.json");
    feed = std::regex_replace(feed, std::regex(R"("size": [0-9]+)"),
                              "\"size\": " + std::to_string(fs::file_size(archive)));
    feed = std::regex_replace(feed, std::regex(R"("signature": "[^"]*")"),
                              "\"signature\": \"" + test_signature_base64(archive) + "\"");
    write_bytes(out / "update.json", feed);
}

std::string unpacked_by_unzip(const fs::path& archive, const fs::path& target) {
    fs::remove_all(target);
    fs::create_directories(target);
    return run("/usr/bin/unzip", {"-q", archive.string(), "-d", target.string()}).err;
}

TEST(release_pairs, every_pair_installs_exactly_and_the_check_foretells_the_verdict) {
    const unsigned count = environment_number("TAVREL_RELEASE_PAIRS", 200);
    const unsigned first_seed = environment_number("TAVREL_RELEASE_PAIRS_SEED", 1);
    installation inst;
    const demo_apps apps(inst.root / "demo");
    if (const char* out = std::getenv("TAVREL_RELEASE_PAIRS_WRITE")) {
        for (unsigned i = 0; i < count; ++i)
            write_pair(apps, fs::path(out) / std::to_string(i), generator(first_seed + i).pair());
        return;
    }
    const fs::path key = fs::path(TAVREL_SOURCE_DIR) / "tests/keys/test_update.key";
    const std::string public_key = test_public_key_base64();
    std::map<std::string, int> verdicts;
    std::map<std::string, int> changes;
    for (unsigned i = 0; i < count; ++i) {
        const unsigned seed = first_seed + i;
        SCOPED_TRACE("seed " + std::to_string(seed));
        const release_pair p = generator(seed).pair();
        const fs::path pair_dir = inst.root / "pair";
        fs::remove_all(pair_dir);
        write_pair(apps, pair_dir, p);

        // The old release as the updater installs it: its files and its package file manifest.
        fs::remove_all(inst.app_dir);
        apps.write(inst.app_dir, p.old_tree);
        std::vector<std::string> listed;
        for (const auto& [name, text] : p.old_tree)
            listed.push_back(name);
        write_bytes(inst.app_dir / package_manifest_name, package_manifest_bytes(listed));
        if (!p.user_file.empty())
            write_bytes(inst.app_dir / p.user_file, "the user's");
        const file_tree before = files_below(inst.app_dir);

        const fs::path out = pair_dir / "out";
        const run_result released =
            run(program("tavrel-release"), {(pair_dir / "new").string(), out.string(), "--key",
                                            key.string(), "--version", p.version});
        ASSERT_EQ(released.exit_code, 0) << released.err;
        if (p.oddity != 0)
            make_odd(out, p.oddity);
        const run_result check =
            run(program("tavrel-release"), {"check", out.string(), "--public-key", public_key,
                                            "--installed", inst.app_dir.string()});
        ASSERT_LE(check.exit_code, 1) << check.err;
        ASSERT_EQ(files_below(inst.app_dir), before) << "the check changed the installation";
        ASSERT_EQ(unpacked_by_unzip(out / "update.zip", pair_dir / "expected"), "");
        const file_tree released_files = files_below(pair_dir / "expected");

        fs::remove_all(inst.download_dir);
        fs::create_directories(inst.download_dir);
        fs::copy_file(out / "update.zip", inst.archive);
        const std::string signature = test_signature_base64(inst.archive);
        const ended_process app;
        const run_result r =
            run(program("tavrel-updater-test"),
                {std::to_string(app.pid()), inst.app_dir.string(), inst.archive.string(), signature,
                 std::to_string(fs::file_size(inst.archive)), p.version},
                with_environment(inst.environment(p.behaviour) +
                                 environment_list{{"TAVREL_TEST_CONFIRMATION_MS", "1500"}}));
        const file_tree after = files_below(inst.app_dir, ".tavrel-update-");
        const std::string verdict = check.out.substr(0, check.out.size() - 1);
        ++verdicts[verdict + (verdict == "accepted" ? ", " + p.behaviour : "")];
        EXPECT_EQ(verdict, expected_verdict(p));
        for (const std::string& change : p.changes)
            ++changes[change];
        if (p.oddity != 0)
            ++changes[std::array{"", "manifest in capitals", "empty directory entries",
                                 "directory entry with data"}[p.oddity]];
        if (verdict != "accepted") {
            EXPECT_EQ(r.exit_code, 1);
            EXPECT_EQ(r.err, verdict + "\n") << "the check did not foretell the refusal";
            EXPECT_EQ(after, before);
        } else if (p.behaviour == "confirm") {
            EXPECT_EQ(r.exit_code, 0) << r.err;
            const file_tree users =
                p.user_file.empty() ? file_tree{} : file_tree{{p.user_file, "the user's"}};
            EXPECT_EQ(after, released_files + users) << "not exactly the new release";
        } else {
            EXPECT_EQ(r.exit_code, 1) << r.err;
            EXPECT_EQ(after, before) << "not exactly the old release after the rollback";
        }
        EXPECT_EQ(files_below(inst.app_dir).size(), after.size()) << "a staging directory stayed";
        if (HasFailure())
            break; // the seed above reproduces it
    }
    for (const auto& figures : {verdicts, changes})
        for (const auto& [what, pairs] : figures)
            std::cout << pairs << " pairs: " << what << "\n";
}

} // namespace
} // namespace tavrel::test
