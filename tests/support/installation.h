// A throw-away installation for end-to-end runs: an application directory with the demo
// application as Tavrel.exe, a download directory, and the log of application starts.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace tavrel::test {

namespace fs = std::filesystem;

// Every file below `root` (path relative to it -> content; directories as "<dir>"; links as
// "<link>target"), leaving out the names that begin with `skip_prefix` at the top.
std::map<std::string, std::string> snapshot(const fs::path& root,
                                            const std::string& skip_prefix = ".tavrel-update-");

std::string read_file(const fs::path& file);
void write_file(const fs::path& file, const std::string& content);

struct installation {
    installation();
    ~installation();
    installation(const installation&) = delete;
    installation& operator=(const installation&) = delete;

    fs::path root;         // a fresh temporary directory
    fs::path app_dir;      // root/app, holding Tavrel.exe (the demo application, 2.0.3)
    fs::path download_dir; // root/tavrel-download-1
    fs::path archive;      // download_dir/update.zip (not created)
    fs::path log;          // root/starts.log, where the demo application records its starts

    // Lines the demo application logged: "start <arguments>|<working directory>".
    std::vector<std::string> starts() const;
    // Environment for a run: the start log and the demo application's behaviour.
    std::vector<std::pair<std::string, std::string>>
    environment(const std::string& behaviour = "confirm") const;
};

// Copies the demo application to `destination` with file version "a.b.c.d".
void install_demo_app(const fs::path& destination, const std::string& version = "2.0.3.0");

} // namespace tavrel::test
