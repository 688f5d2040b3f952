// A whole update of 2,000 files / about 200 MiB, against the floor of the same durable work
// done by standard tools: "sha512sum" of the archive, "unzip -q", "sync", each installed file
// moved to a backup and the new one into place (rename(2) by this program, the cheapest any
// tool could do), "sync", "rm -rf" of the backups.
//
// Through the real programs (the product updater, started by the demo application from the
// application side's library): the gap from the old application's exit to the new one's start,
// for an application that exits once "prepared" is there and for one that exits at "ready", and
// the whole run from "ready" to the updater's end. In-process, stage by stage: the download
// check, the staging, the commit up to the start, and the time of the updater's own flushes
// (measured by interposing syncfs and fsync).
//
// The updater must accept the test key's signatures: configure the build with
// -DTAVREL_UPDATE_PUBLIC_KEY=$(cat tests/keys/test_update.pub).
//
//   update_bench [--runs N] [--work DIR]
#include "app/launch.h"
#include "auth/update_signature_internal.h"
#include "auth/version.h"
#include "generated_files.h"
#include "install/commit.h"
#include "install/recovery.h"
#include "install/transaction.h"
#include "staging/stage_update.h"

#include <sodium.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;
double flush_seconds = 0; // time spent in syncfs and fsync, by whoever calls them

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

} // namespace

// The updater's flushes go through these: the program's own definitions come before libc's.
extern "C" int syncfs(int fd) {
    const auto start = clock_type::now();
    const int rc = static_cast<int>(::syscall(SYS_syncfs, fd));
    flush_seconds += seconds_since(start);
    return rc;
}
extern "C" int fsync(int fd) {
    const auto start = clock_type::now();
    const int rc = static_cast<int>(::syscall(SYS_fsync, fd));
    flush_seconds += seconds_since(start);
    return rc;
}

namespace {

namespace fs = std::filesystem;

constexpr int file_count = 2000;

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void check(bool ok, const std::string& what) {
    if (!ok) {
        std::fprintf(stderr, "update_bench: %s\n", what.c_str());
        std::exit(1);
    }
}

void shell(const std::string& command) {
    check(std::system(command.c_str()) == 0, "failed: " + command);
}

std::string quoted(const fs::path& p) {
    return "'" + p.string() + "'";
}

std::string file_name(int i) {
    return "dir" + std::to_string(i % 37) + "/sub" + std::to_string(i % 5) + "/file" +
           std::to_string(i) + ".dat";
}

// The installed (seed 1) or the new (seed 2) version of the tree, with the demo application.
void write_version(const fs::path& root, std::uint64_t seed, const std::string& app_version) {
    bench::generator gen{seed};
    for (int i = 1; i < file_count; ++i) {
        const fs::path file = root / file_name(i);
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << gen.content(gen.file_size());
    }
    shell(quoted(fs::path(TAVREL_BINARY_DIR) / "tools/tavrel-set-version") + " " +
          quoted(fs::path(TAVREL_BINARY_DIR) / "src/app/tavrel-demo-app") + " " +
          quoted(root / "Tavrel.exe") + " " + app_version);
}

std::string base64(const unsigned char* bytes, std::size_t size) {
    std::string out(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(out.data(), out.size(), bytes, size, sodium_base64_VARIANT_ORIGINAL);
    out.resize(out.size() - 1);
    return out;
}

struct updater_times {
    double signature = 0;
    double staging = 0;  // recovery scan, staging (with its flush) and the version
    double started = 0;  // application exit to the new application's start
    double finished = 0; // application exit to the end of the transaction
    double flushes = 0;
};

struct floor_times {
    double before_removal = 0;
    double finished = 0;
};

std::vector<fs::path> files_below(const fs::path& root) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file())
            files.push_back(entry.path().lexically_relative(root));
    return files;
}

floor_times run_floor(const fs::path& archive, const fs::path& app, const fs::path& work) {
    const fs::path extracted = work / "extracted";
    const fs::path backup = work / "backup";
    floor_times t;
    const auto start = clock_type::now();
    shell("sha512sum " + quoted(archive) + " >/dev/null && unzip -q " + quoted(archive) + " -d " +
          quoted(extracted) + " && sync");
    for (const fs::path& file : files_below(extracted)) {
        const fs::path target = app / file;
        if (fs::exists(target)) {
            fs::create_directories((backup / file).parent_path());
            fs::rename(target, backup / file);
        }
        fs::create_directories(target.parent_path());
        fs::rename(extracted / file, target);
    }
    shell("sync");
    t.before_removal = seconds_since(start);
    shell("rm -rf " + quoted(backup));
    t.finished = seconds_since(start);
    fs::remove_all(extracted);
    return t;
}

updater_times run_updater(const fs::path& archive, std::uint64_t archive_size,
                          const std::string& signature_text, const std::string& key_text,
                          const fs::path& app) {
    updater_times t;
    flush_seconds = 0;
    const auto start = clock_type::now();
    std::string error;
    tavrel::verified_archive verified;
    check(tavrel::check_update_signature(archive, signature_text, archive_size, key_text, verified,
                                         error),
          error);
    t.signature = seconds_since(start);
    {
        tavrel::update_transaction transaction(app);
        check(tavrel::recover_transaction(transaction, error), error);
        check(tavrel::stage_update(transaction, verified.bytes(), error), error);
        verified = {};
        tavrel::check_version_rule(
            tavrel::read_file_version(tavrel::staged_executable_path(transaction)), {2, 1, 0});
        t.staging = seconds_since(start) - t.signature;

        const auto name = tavrel::make_startup_event_name();
        const tavrel::scoped_handle event = tavrel::create_startup_event(name);
        const tavrel::relaunch_handler relaunch{name, event, {60000, 10000}};
        const tavrel::relaunch_callable handler = [&](const fs::path& executable) {
            t.started = seconds_since(start);
            return relaunch(executable);
        };
        check(tavrel::commit_update(transaction, handler, error), error);
    } // the transaction's end removes the staging directory, backups included
    t.finished = seconds_since(start);
    t.flushes = flush_seconds;
    return t;
}

struct program_times {
    double gap = 0;   // the old application's exit to the new application's start
    double whole = 0; // "ready" to the updater's end
};

long long now_microseconds() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// One update through the real programs: the demo application starts the product updater, exits
// once "prepared" is there (or at "ready"), and the updated application logs its start.
program_times run_programs(const fs::path& app, const fs::path& archive,
                           const std::string& signature_text, std::uint64_t archive_size,
                           bool exit_at_ready, const fs::path& work) {
    const fs::path download = work / "tavrel-download-programs";
    fs::remove_all(download);
    fs::create_directories(download);
    fs::copy_file(archive, download / "update.zip");
    const fs::path times = work / "times.log";
    fs::remove(times);
    ::setenv("TAVREL_DEMO_TIMES", times.c_str(), 1);
    const fs::path binaries = TAVREL_BINARY_DIR;
    const std::string command = quoted(binaries / "src/app/tavrel-demo-app") + " update " +
                                quoted(binaries / "src/app/tavrel-updater") + " " + quoted(app) +
                                " " + quoted(download / "update.zip") + " " + signature_text + " " +
                                std::to_string(archive_size) + " 2.1.0" +
                                (exit_at_ready ? " --exit-at-ready" : "");
    std::FILE* demo = ::popen(command.c_str(), "r");
    check(demo != nullptr, "cannot start " + command);
    int updater = 0;
    check(std::fscanf(demo, "%d", &updater) == 1, "the demo application printed no process id");
    check(::pclose(demo) == 0, "the demo application failed");
    // This process is a subreaper: the updater, orphaned by the demo application, is its child.
    int status = 0;
    check(::waitpid(updater, &status, 0) == updater, "cannot wait for the updater");
    const long long ended = now_microseconds();
    check(WIFEXITED(status) && WEXITSTATUS(status) == 0,
          "the updater failed; is it built with the test key? (see the top of this file)");
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    std::map<std::string, long long> at;
    std::ifstream log(times);
    for (std::string what; log >> what;)
        log >> at[what];
    check(at.contains("ready") && at.contains("exit") && at.contains("start"),
          "the demo application logged no ready, exit or start");
    return {(at["start"] - at["exit"]) / 1e6, (ended - at["ready"]) / 1e6};
}

} // namespace

int main(int argc, char** argv) {
    int runs = 3;
    fs::path work = fs::temp_directory_path() / "tavrel-update-bench";
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--runs")
            runs = std::max(1, std::atoi(argv[i + 1]));
        else if (option == "--work")
            work = argv[i + 1];
    }
    check(sodium_init() >= 0, "libsodium");
    check(::prctl(PR_SET_CHILD_SUBREAPER, 1) == 0, "cannot become a subreaper");
    fs::remove_all(work);
    const fs::path old_tree = work / "old-tree";
    const fs::path new_tree = work / "new-tree";
    const fs::path download = work / "tavrel-download-bench";
    const fs::path archive = download / "update.zip";
    fs::create_directories(download);
    std::printf("generating the two versions and packing the new one...\n");
    write_version(old_tree, 1, "2.0.3.0");
    write_version(new_tree, 2, "2.1.0.0");
    shell(quoted(fs::path(TAVREL_BINARY_DIR) / "tools/tavrel-pack") + " " + quoted(new_tree) + " " +
          quoted(archive) + " >/dev/null");
    const std::uint64_t archive_size = fs::file_size(archive);

    unsigned char public_key[crypto_sign_PUBLICKEYBYTES];
    unsigned char secret_key[crypto_sign_SECRETKEYBYTES];
    crypto_sign_keypair(public_key, secret_key);
    std::vector<unsigned char> bytes(archive_size);
    std::ifstream(archive, std::ios::binary)
        .read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    unsigned char signature[crypto_sign_BYTES];
    crypto_sign_detached(signature, nullptr, bytes.data(), bytes.size(), secret_key);
    bytes = {};
    const std::string signature_text = base64(signature, sizeof signature);
    const std::string key_text = base64(public_key, sizeof public_key);
    std::printf("archive: %.1f MiB, %d files\n", archive_size / 1048576.0, file_count);

    // The real programs check the signature with the key built into the updater.
    std::FILE* sign = ::popen(
        (quoted(fs::path(TAVREL_BINARY_DIR) / "tools/tavrel-sign") + " sign " +
         quoted(fs::path(TAVREL_SOURCE_DIR) / "tests/keys/test_update.key") + " " + quoted(archive))
            .c_str(),
        "r");
    char test_signature[128] = {};
    check(sign && std::fscanf(sign, "%100s", test_signature) == 1 && ::pclose(sign) == 0,
          "tavrel-sign failed");

    ::setenv("TAVREL_DEMO_LIFETIME_MS", "200", 1);
    std::vector<updater_times> ours;
    std::vector<floor_times> floors;
    std::vector<program_times> prepared, at_ready;
    for (int run = 0; run < runs; ++run) {
        for (const bool exit_at_ready : {false, true}) {
            const fs::path app = work / ("programs-" + std::to_string(run));
            fs::copy(old_tree, app, fs::copy_options::recursive);
            shell("sync");
            (exit_at_ready ? at_ready : prepared)
                .push_back(
                    run_programs(app, archive, test_signature, archive_size, exit_at_ready, work));
            fs::remove_all(app);
        }

        // Both start from the installed tree on disk and the archive in the page cache.
        const fs::path app = work / ("app-" + std::to_string(run));
        fs::copy(old_tree, app, fs::copy_options::recursive);
        shell("sync");
        ours.push_back(run_updater(archive, archive_size, signature_text, key_text, app));
        fs::remove_all(app);

        const fs::path floor_app = work / ("floor-" + std::to_string(run));
        fs::copy(old_tree, floor_app, fs::copy_options::recursive);
        shell("sync");
        floors.push_back(run_floor(archive, floor_app, work));
        fs::remove_all(floor_app);
    }

    const auto median_of = [&](auto field, const auto& list) {
        std::vector<double> values;
        for (const auto& t : list)
            values.push_back(field(t));
        return median(values);
    };
    const double signature_s = median_of([](const updater_times& t) { return t.signature; }, ours);
    const double staging_s = median_of([](const updater_times& t) { return t.staging; }, ours);
    const double started_s = median_of([](const updater_times& t) { return t.started; }, ours);
    const double finished_s = median_of([](const updater_times& t) { return t.finished; }, ours);
    const double flushes_s = median_of([](const updater_times& t) { return t.flushes; }, ours);
    const double floor_moved_s =
        median_of([](const floor_times& t) { return t.before_removal; }, floors);
    const double floor_end_s = median_of([](const floor_times& t) { return t.finished; }, floors);
    const auto gap = [](const program_times& t) { return t.gap; };
    const auto whole = [](const program_times& t) { return t.whole; };
    const double prepared_gap_s = median_of(gap, prepared);
    const double prepared_whole_s = median_of(whole, prepared);
    const double ready_gap_s = median_of(gap, at_ready);
    const double ready_whole_s = median_of(whole, at_ready);
    std::printf("median of %d runs:\n", runs);
    std::printf("  download check (read + Ed25519)            %7.3f s\n", signature_s);
    std::printf("  recovery scan + staging + version           %7.3f s\n", staging_s);
    std::printf("  updater: exit to the new application start %7.3f s\n", started_s);
    std::printf("  updater: exit to its end                    %7.3f s\n", finished_s);
    std::printf("  updater: of which flushes (syncfs, fsync)   %7.3f s\n", flushes_s);
    std::printf("  floor: sha512sum, unzip, sync, moves, sync  %7.3f s\n", floor_moved_s);
    std::printf("  floor: ... and rm -rf of the backups        %7.3f s\n", floor_end_s);
    std::printf("  updater: commit until the start (journal, moves, flushes) %7.3f s\n",
                started_s - signature_s - staging_s);
    std::printf("  programs, exit at \"prepared\": gap exit -> start %7.3f s\n", prepared_gap_s);
    std::printf("  programs, exit at \"prepared\": ready -> updater end %7.3f s\n",
                prepared_whole_s);
    std::printf("  programs, exit at \"ready\": gap exit -> start    %7.3f s\n", ready_gap_s);
    std::printf("  programs, exit at \"ready\": ready -> updater end %7.3f s\n", ready_whole_s);
    std::printf("  ratio in-process start / floor before the removal      %7.2f\n",
                started_s / floor_moved_s);
    std::printf("  ratio in-process end / floor end                       %7.2f\n",
                finished_s / floor_end_s);
    std::printf("  ratio gap (exit at \"prepared\") / floor before the removal %5.2f\n",
                prepared_gap_s / floor_moved_s);
    std::printf("  ratio gap (exit at \"ready\") / floor before the removal    %5.2f\n",
                ready_gap_s / floor_moved_s);
    std::printf("  ratio whole run (\"prepared\") / floor end                  %5.2f\n",
                prepared_whole_s / floor_end_s);
    std::printf("  ratio whole run (\"ready\") / floor end                     %5.2f\n",
                ready_whole_s / floor_end_s);
    fs::remove_all(work);
    return 0;
}
