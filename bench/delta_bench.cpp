// Delta packages on real releases, against the peers measured in the same run. For each pair of
// consecutive releases of the corpus (scripts/fetch-delta-corpus), with the demo application
// added as Tavrel.exe (2.0.3 in the old tree, 2.1.0 in the new) so that the trees are packages:
//   full    the full package (tavrel-release's writer)
//   delta   our delta package, and the time to make it
//   bsdiff, zstd, xdelta3   the changed files patched with `bsdiff`, `zstd -19 --long=31
//           --patch-from` and `xdelta3 -9`, plus the added files `gzip -9`ed
//   update  the whole update (stage, commit, clean-up) from the delta against the full package
//
//   delta_bench [NAME_PART]    only the pairs whose package name contains NAME_PART
#include "install/commit.h"
#include "install/transaction.h"
#include "staging/stage_update.h"
#include "tools/package_writer.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

std::string read_all(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string quoted(const fs::path& p) {
    return "'" + p.string() + "'";
}

// The size of what `command` writes to `output`, 0 when it failed.
std::uintmax_t made_by(const std::string& command, const fs::path& output) {
    fs::remove(output);
    if (std::system((command + " 2>/dev/null").c_str()) != 0)
        return 0;
    std::error_code ec;
    const auto size = fs::file_size(output, ec);
    return ec ? 0 : size;
}

struct peers {
    std::uintmax_t bsdiff = 0, zstd = 0, xdelta3 = 0;
};

// Each changed file patched by each peer, each added file gzipped.
peers measure_peers(const fs::path& old_tree, const fs::path& new_tree, const fs::path& work) {
    peers sum;
    for (const auto& entry : fs::recursive_directory_iterator(new_tree)) {
        if (!entry.is_regular_file())
            continue;
        const fs::path relative = entry.path().lexically_relative(new_tree);
        const fs::path old_file = old_tree / relative;
        const fs::path patch = work / "peer.patch";
        if (!fs::is_regular_file(old_file)) {
            const auto size =
                made_by("gzip -9 -c " + quoted(entry.path()) + " > " + quoted(patch), patch);
            sum.bsdiff += size;
            sum.zstd += size;
            sum.xdelta3 += size;
            continue;
        }
        if (read_all(old_file) == read_all(entry.path()))
            continue;
        sum.bsdiff += made_by(
            "bsdiff " + quoted(old_file) + " " + quoted(entry.path()) + " " + quoted(patch), patch);
        sum.zstd += made_by("zstd -q -19 --long=31 --patch-from=" + quoted(old_file) + " " +
                                quoted(entry.path()) + " -o " + quoted(patch),
                            patch);
        sum.xdelta3 += made_by("xdelta3 -e -9 -f -s " + quoted(old_file) + " " +
                                   quoted(entry.path()) + " " + quoted(patch),
                               patch);
    }
    return sum;
}

// A whole update of a copy of `installed` with `archive`, as the updater makes it.
double update_seconds(const fs::path& installed, const fs::path& archive, const fs::path& app) {
    fs::remove_all(app);
    fs::copy(installed, app, fs::copy_options::recursive);
    const std::string bytes = read_all(archive);
    const auto start = clock_type::now();
    tavrel::update_transaction transaction(app);
    std::string error;
    if (!tavrel::stage_update(transaction,
                              {reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()},
                              error) ||
        !tavrel::commit_update(
            transaction, [](const tavrel::path&) { return true; }, error)) {
        std::fprintf(stderr, "delta_bench: the update failed: %s\n", error.c_str());
        std::exit(1);
    }
    tavrel::remove_transaction_directory(transaction.staging_dir, true);
    return seconds_since(start);
}

} // namespace

int main(int argc, char** argv) {
    const char* home = std::getenv("HOME");
    const char* given = std::getenv("TAVREL_DELTA_CORPUS");
    const fs::path corpus =
        given ? fs::path(given)
              : fs::path(home ? home : "/root") / ".cache/tavrel-updater/delta-corpus";
    std::ifstream pairs(corpus / "pairs.tsv");
    if (!pairs) {
        std::fprintf(stderr, "delta_bench: no corpus in %s: run scripts/fetch-delta-corpus\n",
                     corpus.c_str());
        return 1;
    }
    const std::string filter = argc > 1 ? argv[1] : "";
    const fs::path work =
        fs::temp_directory_path() / ("tavrel-delta-bench-" + std::to_string(::getpid()));
    const fs::path demo = fs::path(TAVREL_BINARY_DIR) / "src/app/tavrel-demo-app";
    const fs::path set_version = fs::path(TAVREL_BINARY_DIR) / "tools/tavrel-set-version";
    std::printf("%-40s %10s %10s %8s %10s %10s %10s %7s %8s %8s\n", "pair", "full", "delta",
                "make s", "bsdiff", "zstd", "xdelta3", "/bsdiff", "update s", "full s");
    for (std::string line; std::getline(pairs, line);) {
        std::istringstream fields(line);
        std::string name, from, to;
        if (!(fields >> name >> from >> to) || name.find(filter) == std::string::npos)
            continue;
        fs::remove_all(work);
        fs::create_directories(work);
        const fs::path old_tree = work / "old", new_tree = work / "new";
        fs::copy(corpus / name / from, old_tree, fs::copy_options::recursive);
        fs::copy(corpus / name / to, new_tree, fs::copy_options::recursive);
        if (std::system((quoted(set_version) + " " + quoted(demo) + " " +
                         quoted(old_tree / "Tavrel.exe") + " 2.0.3.0 >/dev/null && " +
                         quoted(set_version) + " " + quoted(demo) + " " +
                         quoted(new_tree / "Tavrel.exe") + " 2.1.0.0 >/dev/null")
                            .c_str()) != 0)
            return 1;
        tavrel::tools::write_package(new_tree, work / "full.zip");
        tavrel::tools::write_package(old_tree, work / "old.zip");
        const auto start = clock_type::now();
        tavrel::tools::write_delta_package(new_tree, old_tree, work / "delta.zip");
        const double make = seconds_since(start);
        const peers p = measure_peers(old_tree, new_tree, work);
        // The installation as the updater leaves it: the old release's package unpacked.
        const fs::path installed = work / "installed";
        fs::create_directories(installed);
        if (std::system(("cd " + quoted(installed) + " && unzip -q ../old.zip").c_str()) != 0)
            return 1;
        const double delta_update = update_seconds(installed, work / "delta.zip", work / "app");
        const double full_update = update_seconds(installed, work / "full.zip", work / "app");
        const auto full = fs::file_size(work / "full.zip");
        const auto delta = fs::file_size(work / "delta.zip");
        std::printf("%-40s %10ju %10ju %8.1f %10ju %10ju %10ju %7.2f %8.2f %8.2f\n",
                    (name + " " + from + ">" + to).c_str(), full, delta, make, p.bsdiff, p.zstd,
                    p.xdelta3, p.bsdiff ? static_cast<double>(delta) / p.bsdiff : 0.0, delta_update,
                    full_update);
        std::fflush(stdout);
    }
    fs::remove_all(work);
    return 0;
}
