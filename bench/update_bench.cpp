// A whole update of 2,000 files / about 200 MiB, timed stage by stage from the application's
// exit to the new application confirmed (download check, recovery scan + staging + version,
// commit with the relaunch), against the floor of the same work done by standard tools:
// "sha512sum" of the archive + "unzip -q" + "mv" of the extracted tree into place.
//
//   update_bench [--runs N] [--work DIR]
#include "app/launch.h"
#include "auth/update_signature_internal.h"
#include "auth/version.h"
#include "generated_files.h"
#include "install/commit.h"
#include "install/recovery.h"
#include "staging/stage_update.h"

#include <sodium.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

constexpr int file_count = 2000;

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

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

struct stage_times {
    double signature = 0;
    double staging = 0;
    double commit = 0;
    double total() const { return signature + staging + commit; }
};

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

    ::setenv("TAVREL_DEMO_LIFETIME_MS", "200", 1);
    std::vector<stage_times> ours;
    std::vector<double> floor;
    for (int run = 0; run < runs; ++run) {
        const fs::path app = work / ("app-" + std::to_string(run));
        fs::copy(old_tree, app, fs::copy_options::recursive);
        shell("sync");

        stage_times t;
        auto start = clock_type::now();
        std::string error;
        check(tavrel::check_update_signature_with_key(archive, signature_text, archive_size,
                                                      key_text, error),
              error);
        t.signature = seconds_since(start);

        start = clock_type::now();
        {
            tavrel::update_transaction transaction(app);
            check(tavrel::recover_transaction(transaction, error), error);
            check(tavrel::stage_update(transaction, archive, error), error);
            tavrel::check_version_rule(
                tavrel::read_file_version(tavrel::staged_executable_path(transaction)), {2, 1, 0});
            t.staging = seconds_since(start);

            start = clock_type::now();
            const auto name = tavrel::make_startup_event_name();
            const tavrel::scoped_handle event = tavrel::create_startup_event(name);
            const tavrel::relaunch_callable handler =
                tavrel::relaunch_handler{name, event, {60000, 10000}};
            check(tavrel::commit_update(transaction, handler, error), error);
            t.commit = seconds_since(start);
        } // the transaction's end removes the staging directory, after the application started
        ours.push_back(t);
        fs::remove_all(app);

        const fs::path floor_app = work / ("floor-" + std::to_string(run));
        const fs::path extracted = work / ("extracted-" + std::to_string(run));
        fs::create_directories(floor_app);
        shell("sync");
        start = clock_type::now();
        shell("sha512sum " + quoted(archive) + " >/dev/null && unzip -q " + quoted(archive) +
              " -d " + quoted(extracted) + " && mv " + quoted(extracted) + "/* " +
              quoted(extracted) + "/.tavrel-package-files.txt " + quoted(floor_app) + "/");
        floor.push_back(seconds_since(start));
        fs::remove_all(floor_app);
        fs::remove_all(extracted);
    }

    std::vector<double> signature_s, staging_s, commit_s, total_s;
    for (const auto& t : ours) {
        signature_s.push_back(t.signature);
        staging_s.push_back(t.staging);
        commit_s.push_back(t.commit);
        total_s.push_back(t.total());
    }
    std::printf("median of %d runs:\n", runs);
    std::printf("  download check (read + Ed25519)      %7.3f s\n", median(signature_s));
    std::printf("  recovery scan + staging + version    %7.3f s\n", median(staging_s));
    std::printf("  commit (journal, moves, relaunch)    %7.3f s\n", median(commit_s));
    std::printf("  updater, application exit to start   %7.3f s\n", median(total_s));
    std::printf("  floor: sha512sum + unzip -q + mv     %7.3f s\n", median(floor));
    std::printf("  ratio updater / floor                %7.2f\n", median(total_s) / median(floor));
    fs::remove_all(work);
    return 0;
}
