// One update from an old version to a new one, run again and again through the real
// programs: the old version is put back before each run and the signed archive into the
// download directory; runs of the updater in either mode, and what the installation holds.
#pragma once

#include "support/packages.h"
#include "support/programs.h"

#include <string>
#include <vector>

namespace tavrel::test {

class update_scenario {
  public:
    update_scenario(const tree_spec& old_version, const tree_spec& new_version,
                    std::string version = "2.1.0");

    installation inst;
    signed_package package;
    std::string version;
    tree_snapshot old_files; // regular files of the installation before and after the update
    tree_snapshot new_files;

    // The old version installed (the application directory itself is kept, so that it may be a
    // mount point), then prepare_download().
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

  private:
    fs::path old_template_;
    fs::path archive_;
};

environment_list operator+(environment_list left, const environment_list& right);

} // namespace tavrel::test
