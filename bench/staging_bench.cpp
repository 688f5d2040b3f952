// Stages a generated 200 MiB update archive of 2,000 deflated files and compares, in the same
// run, the time with "unzip -q" extracting the same archive, and the peak resident memory of
// staging with the archive size plus the largest file plus 32 MiB.
//
//   staging_bench [--runs N] [--work DIR] [--keep]
// --keep leaves DIR and its archive in place; a later run given the same DIR reuses it.
#include "auth/update_signature.h"
#include "generated_files.h"
#include "install/transaction.h"
#include "staging/stage_update.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>
#include <zip.h>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

constexpr int file_count = 2000;
constexpr double mib = 1024.0 * 1024.0;

struct archive_facts {
    std::uint64_t archive_size = 0;
    std::uint64_t total_size = 0;
    std::uint64_t largest = 0;
};

archive_facts make_archive(const fs::path& file) {
    bench::generator gen{0x9E3779B97F4A7C15ull};
    std::vector<std::string> contents;
    std::vector<std::string> names;
    archive_facts facts;
    for (int i = 0; i < file_count; ++i) {
        const std::size_t size = i == 0 ? 4 * 1024 * 1024 : gen.file_size();
        contents.push_back(gen.content(size));
        names.push_back(i == 0 ? "Tavrel.exe"
                               : "dir" + std::to_string(i % 37) + "/sub" + std::to_string(i % 5) +
                                     "/file" + std::to_string(i) + ".dat");
        facts.total_size += size;
        facts.largest = std::max<std::uint64_t>(facts.largest, size);
    }
    int error = 0;
    zip_t* archive = zip_open(file.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (!archive)
        throw std::runtime_error("zip_open failed");
    for (int i = 0; i < file_count; ++i) {
        zip_source_t* source =
            zip_source_buffer(archive, contents[i].data(), contents[i].size(), 0);
        const zip_int64_t index = zip_file_add(archive, names[i].c_str(), source, 0);
        if (index < 0 || zip_set_file_compression(archive, static_cast<zip_uint64_t>(index),
                                                  ZIP_CM_DEFLATE, 6) != 0)
            throw std::runtime_error("zip_file_add failed");
    }
    if (zip_close(archive) != 0)
        throw std::runtime_error("zip_close failed");
    facts.archive_size = fs::file_size(file);
    return facts;
}

// The facts of an archive kept from an earlier run.
archive_facts read_facts(const fs::path& file) {
    int error = 0;
    zip_t* archive = zip_open(file.c_str(), ZIP_RDONLY, &error);
    if (!archive)
        throw std::runtime_error("cannot open the kept archive");
    archive_facts facts;
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        zip_stat_t st;
        if (zip_stat_index(archive, static_cast<zip_uint64_t>(i), 0, &st) == 0) {
            facts.total_size += st.size;
            facts.largest = std::max<std::uint64_t>(facts.largest, st.size);
        }
    }
    zip_discard(archive);
    facts.archive_size = fs::file_size(file);
    return facts;
}

struct child_result {
    double seconds = 0;
    double cpu_seconds = 0; // user and system time of the child
    int status = -1;
    std::string output; // what the child wrote to its standard output
};

// Spawns the program and waits for it; the time runs from the spawn to the exit.
child_result run(const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    for (const auto& a : arguments)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    child_result result;
    int out[2];
    if (::pipe(out) != 0)
        return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const auto start = clock_type::now();
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (spawned == 0) {
        char buffer[4096];
        for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;)
            result.output.append(buffer, static_cast<std::size_t>(n));
        int status = 0;
        rusage usage{};
        if (::wait4(pid, &status, 0, &usage) == pid) {
            result.seconds = std::chrono::duration<double>(clock_type::now() - start).count();
            const auto to_seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
            result.cpu_seconds = to_seconds(usage.ru_utime) + to_seconds(usage.ru_stime);
            result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
    }
    ::close(out[0]);
    return result;
}

// The peak resident set of this process in KiB. A spawned child's rusage would also count
// its parent's memory, which it shares until its exec.
long peak_resident_kib() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmHWM:"))
            return std::atol(line.c_str() + 6);
    return -1;
}

// The child side: stage, report the peak memory and end at once, so that the transaction's
// clean-up is not timed.
int stage_child(const char* app_dir, const char* archive) {
    tavrel::update_transaction transaction{tavrel::path(app_dir)};
    std::string error;
    // The archive is read into memory as the download check reads it, then staged.
    tavrel::verified_archive bytes;
    bytes.size = static_cast<std::size_t>(fs::file_size(archive));
    bytes.data = platform::allocate_large_block(bytes.size);
    std::ifstream(archive, std::ios::binary)
        .read(reinterpret_cast<char*>(bytes.data.get()), static_cast<std::streamsize>(bytes.size));
    const bool staged = tavrel::stage_update(transaction, bytes.bytes(), error);
    if (!staged)
        std::fprintf(stderr, "staging failed: %s\n", error.c_str());
    std::printf("%ld\n", peak_resident_kib());
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(staged ? 0 : 1);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

bool same_trees(const fs::path& a, const fs::path& b) {
    std::size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(a)) {
        if (!entry.is_regular_file())
            continue;
        const fs::path other = b / fs::relative(entry.path(), a);
        std::ifstream x(entry.path(), std::ios::binary), y(other, std::ios::binary);
        if (!y || !std::equal(std::istreambuf_iterator<char>(x), {},
                              std::istreambuf_iterator<char>(y), {}))
            return false;
        ++files;
    }
    return files == static_cast<std::size_t>(file_count);
}

fs::path only_staging_directory(const fs::path& app) {
    for (const auto& entry : fs::directory_iterator(app))
        if (entry.path().filename().string().starts_with(tavrel::staging_directory_prefix))
            return entry.path();
    return {};
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--stage-child") == 0)
        return stage_child(argv[2], argv[3]);
    int runs = 5;
    bool keep = false;
    fs::path work =
        fs::temp_directory_path() / ("tavrel-staging-bench-" + std::to_string(getpid()));
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--keep") == 0)
            keep = true;
        else if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--work") == 0 && i + 1 < argc)
            work = argv[++i];
    }
    fs::create_directories(work);
    const fs::path archive = work / "update.zip";
    const fs::path outputs = work / "outputs";

    const bool reuse = fs::exists(archive);
    if (!reuse)
        std::printf("generating the archive in %s ...\n", work.c_str());
    const archive_facts facts = reuse ? read_facts(archive) : make_archive(archive);
    std::printf("archive: %.1f MiB, %d deflated files, %.1f MiB uncompressed, largest %.1f MiB\n",
                facts.archive_size / mib, file_count, facts.total_size / mib, facts.largest / mib);

    const std::string self = fs::read_symlink("/proc/self/exe").string();
    std::vector<double> staging_times;
    std::vector<double> unzip_times;
    std::vector<double> staging_cpu;
    std::vector<double> unzip_cpu;
    long peak_kib = 0;
    bool verified = false;
    for (int run_index = 0; run_index < runs; ++run_index) {
        // Fresh directories, removed only at the end: ext4 avoids reusing the inodes of files
        // deleted moments ago, and a search for others would be timed.
        const fs::path app = outputs / ("app" + std::to_string(run_index));
        const fs::path unzip_dir = outputs / ("unzipped" + std::to_string(run_index));
        fs::create_directories(app);
        fs::create_directories(unzip_dir);
        // Alternate the order, and let earlier writes settle outside the measurements.
        child_result staged;
        child_result unzipped;
        for (int turn = 0; turn < 2; ++turn) {
            ::sync();
            if ((turn == 0) == (run_index % 2 == 0))
                staged = run({self, "--stage-child", app.string(), archive.string()});
            else
                unzipped = run({"unzip", "-q", archive.string(), "-d", unzip_dir.string()});
        }
        if (staged.status != 0 || unzipped.status != 0) {
            std::fprintf(stderr, "%s failed\n", staged.status != 0 ? "staging" : "unzip -q");
            if (!keep)
                fs::remove_all(work);
            return 1;
        }
        staging_times.push_back(staged.seconds);
        unzip_times.push_back(unzipped.seconds);
        staging_cpu.push_back(staged.cpu_seconds);
        unzip_cpu.push_back(unzipped.cpu_seconds);
        peak_kib = std::max(peak_kib, std::atol(staged.output.c_str()));
        std::printf("run %d: staging %.3f s (cpu %.3f s), unzip -q %.3f s (cpu %.3f s)\n",
                    run_index + 1, staged.seconds, staged.cpu_seconds, unzipped.seconds,
                    unzipped.cpu_seconds);
        if (!verified) {
            verified = same_trees(unzip_dir, only_staging_directory(app) / "new");
            if (!verified) {
                std::fprintf(stderr, "staged files differ from unzip's\n");
                return 1;
            }
        }
    }
    if (keep) {
        fs::remove_all(outputs);
    } else {
        fs::remove_all(work);
    }

    const double staging = median(staging_times);
    const double unzip = median(unzip_times);
    const double peak = peak_kib * 1024.0;
    const double bound = static_cast<double>(facts.archive_size + facts.largest) + 32 * mib;
    std::printf(
        "staging %.3f s vs unzip -q %.3f s (medians of %d): ratio %.2f (target <= 1.00) %s\n",
        staging, unzip, runs, staging / unzip, staging <= unzip ? "ok" : "MISSED");
    // On a busy machine the wall times carry other processes' load; CPU times do not.
    std::printf("cpu time: staging %.3f s vs unzip -q %.3f s (medians): ratio %.2f\n",
                median(staging_cpu), median(unzip_cpu), median(staging_cpu) / median(unzip_cpu));
    std::printf("peak resident memory of staging %.1f MiB vs archive + largest file + 32 MiB = "
                "%.1f MiB: %s\n",
                peak / mib, bound / mib, peak <= bound ? "ok" : "MISSED");
    return 0;
}
