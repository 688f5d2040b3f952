// The package file manifest reader on arbitrary file contents: it may refuse with any
// message, and what it accepts is a list of safe, distinct paths.
#include "fuzz_support.h"
#include "staging/package_manifest.h"
#include "staging/package_path.h"

#include <set>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tavrel::fuzz;
    static const fs::path file = work_dir() / tavrel::package_manifest_name;
    tavrel::test::write_bytes(file, as_text(data, size));
    std::vector<std::string> paths{"left over from an earlier read"};
    try {
        tavrel::read_package_manifest(file, paths);
    } catch (const std::exception& e) {
        report(e.what());
        return 0;
    }
    report(std::to_string(paths.size()) + " paths");
    require(!paths.empty() && paths.size() <= 19999,
            "an accepted manifest has no path or more than 19,999");
    std::set<std::string> keys;
    for (const std::string& p : paths) {
        require(tavrel::is_safe_package_path(p), "an accepted manifest path is unsafe");
        require(p.find('\\') == std::string::npos, "a backslash was not turned into \"/\"");
        const std::string key = tavrel::to_ascii_lower(p);
        require(key != "uninstall.exe" && key != ".tavrel-package-files.txt" &&
                    key != ".tavrel-install-files.txt",
                "an accepted manifest lists a protected file");
        require(keys.insert(key).second, "an accepted manifest lists a path twice");
    }
    return 0;
}
