// A throw-away installation for end-to-end runs: an application directory with the demo
// application as Tavrel.exe, a download directory, and the log of application starts.
#pragma once

#include "support/temp_tree.h"

#include <filesystem>
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

    // Lines the demo application logged: "start <arguments>|<working directory>". Waits up to
    // ten seconds for `at_least` lines, since a started application logs a moment later.
    std::vector<std::string> starts(std::size_t at_least = 0) const;
    // Environment for a run: the start log and the demo application's behaviour.
    std::vector<std::pair<std::string, std::string>>
    environment(const std::string& behaviour = "confirm") const;
};

// Copies the demo application to `destination` with file version "a.b.c.d".
void install_demo_app(const fs::path& destination, const std::string& version = "2.0.3.0");

} // namespace tavrel::test
