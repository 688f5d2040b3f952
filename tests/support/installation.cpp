#include "support/installation.h"

#include "support/programs.h"

#include <chrono>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace tavrel::test {

void install_demo_app(const fs::path& destination, const std::string& version) {
    fs::create_directories(destination.parent_path());
    const run_result r = run(program("tavrel-set-version"),
                             {program("tavrel-demo-app").string(), destination.string(), version});
    if (r.exit_code != 0)
        throw std::runtime_error("tavrel-set-version failed: " + r.err);
}

installation::installation() {
    root = scratch.path();
    app_dir = root / "app";
    download_dir = root / "tavrel-download-1";
    archive = download_dir / "update.zip";
    log = root / "starts.log";
    fs::create_directories(download_dir);
    install_demo_app(app_dir / "Tavrel.exe");
}

std::vector<std::string> installation::starts(std::size_t at_least) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        std::vector<std::string> lines;
        std::ifstream in(log);
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        if (lines.size() >= at_least || std::chrono::steady_clock::now() > deadline)
            return lines;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::vector<std::pair<std::string, std::string>>
installation::environment(const std::string& behaviour) const {
    return {{"TAVREL_DEMO_LOG", log.string()},
            {"TAVREL_DEMO_BEHAVIOUR", behaviour},
            {"TAVREL_DEMO_LIFETIME_MS", "300"}};
}

} // namespace tavrel::test
