// Installations for runs of the real programs (the demo application as Tavrel.exe, a download
// directory, the log of its starts), packed and signed trees, and one update run again and again.
#pragma once

#include "support/programs.h"
#include "support/temp_tree.h"

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace tavrel::test {

namespace fs = std::filesystem;

struct installation {
    installation();

    temp_dir scratch;
    fs::path root;         // the temporary directory
    fs::path app_dir;      // root/app, holding Tavrel.exe (the demo application, 2.0.3)
    fs::path download_dir; // root/tavrel-download-1
    fs::path archive;      // download_dir/update.zip (not created)
    fs::path log;          // root/starts.log, where the demo application records its starts

    // The demo application's lines "start <arguments>|<working directory>", `at_least` of them
    // if they come within ten seconds (a started application logs a moment later).
    std::vector<std::string> starts(std::size_t at_least = 0) const;
    // Environment for a run: the start log and the demo application's behaviour.
    environment_list environment(const std::string& behaviour = "confirm") const;
};

environment_list operator+(environment_list left, const environment_list& right);

// Copies the demo application to `destination` with file version "a.b.c.d".
void install_demo_app(const fs::path& destination, const std::string& version = "2.0.3.0");

// Relative path -> content; "demo-app A.B.C.D" is the demo application with that file version.
using tree_spec = std::map<std::string, std::string>;
void write_tree(const fs::path& root, const tree_spec& files);

struct signed_package {
    std::string signature;
    std::string size;
};
// Writes `files` below inst.root, packs them into `archive` with tavrel-pack and signs it.
signed_package pack_tree(const installation& inst, const tree_spec& files, const fs::path& archive);

// A generated version: Tavrel.exe (2.0.3.0 or 2.1.0.0), `replaced` files whose content the update
// changes, `same` files it keeps, and `moved` files of 2.0.3 that 2.1.0 drops for as many new
// ones in new directories; the i-th file of each kind holds at least `size` + 100 i bytes.
tree_spec generated_version(bool updated, int replaced, int same, int moved, std::size_t size = 0);

// `files` with what changes kind between releases: a file that becomes a folder of files, a
// folder (with a folder inside) that becomes a file, and a file renamed in letter case only.
tree_spec with_kinds_swapped(tree_spec files, bool updated);

// The regular files of a snapshot (directories left over by an undo do not count).
tree_snapshot files_of(const tree_snapshot& snapshot);

// One update from an old version to a new one, run again and again.
class update_scenario {
  public:
    update_scenario(const tree_spec& old_version, const tree_spec& new_version,
                    std::string version = "2.1.0");

    installation inst;
    signed_package package;
    std::string version;
    tree_snapshot old_files; // regular files of the installation before and after the update
    tree_snapshot new_files;

    // The old version installed (in the same directory: it may be a mount point), then a download.
    void reset();
    // A fresh download directory holding the signed archive; the start log emptied.
    void prepare_download();
    // The updater's arguments in update mode, for an application with process id `parent`.
    std::vector<std::string> update_arguments(int parent) const;
    // An update with an application that has already exited.
    run_result update(const std::string& updater = "tavrel-updater",
                      const environment_list& extra = {}) const;
    // `--recover`, started from the download directory (created if need be).
    run_result recover(const std::string& updater = "tavrel-updater",
                       const environment_list& extra = {}) const;
    // The regular files of the installation, staging directories left out.
    tree_snapshot installed() const;
    bool staging_left() const;

    // The old version as installed, and the signed archive of the new one.
    const fs::path& old_tree() const { return old_template_; }
    const fs::path& archive() const { return archive_; }
    // Another archive of the same update (a delta of it, say), signed; then a fresh download.
    void replace_package(const std::string& archive_bytes);

  private:
    fs::path old_template_;
    fs::path archive_;
};

} // namespace tavrel::test
