// Power cuts: the installation lives on a file-system image on a loop device mounted with
// commit=300, so that within a run nothing reaches the image unless something forces it. The
// updater is stopped after every change it makes, at random instants and after its run, and the
// image copied as a power cut would leave it: either with only what the updater's own flushes
// forced, or after a commit of the file system's metadata at that instant that does not write
// the updater's unflushed file contents (as the file system's own periodic commit would). Each
// copy is recovered with `--recover` and must hold the old tree or the new one, byte for byte,
// the new one once the acceptance marker was flushed, and start Tavrel.exe. ext4 orders its
// metadata strictly; btrfs less so. Needs root and loop devices, as CI has.
#include "support/delta_package.h"
#include "support/installation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <linux/btrfs.h>
#include <optional>
#include <random>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

namespace tavrel::test {
namespace {

using namespace std::chrono_literals;

// Every kind of change: replaced, kept, added and removed files, and kinds swapped between
// file and folder; small, so that a stop after each of its changes stays affordable.
tree_spec version(bool updated) {
    return with_kinds_swapped(generated_version(updated, 16, 4, 8, 1000), updated);
}

void shell(const std::string& command) {
    const run_result r = run("/bin/sh", {"-c", command + " 2>&1"});
    if (r.exit_code != 0)
        throw std::runtime_error("power-loss tests need root, loop devices, mkfs.ext4 and "
                                 "mkfs.btrfs; `" +
                                 command + "` failed: " + r.out);
}

std::string quoted(const fs::path& p) {
    return "'" + p.string() + "'";
}

struct file_system {
    std::string name;
    std::string make; // makes the file system on the image named by $IMAGE
};

void PrintTo(const file_system& system, std::ostream* out) {
    *out << system.name;
}

const file_system ext4{"ext4", "truncate -s 48M \"$IMAGE\" && mkfs.ext4 -q -F \"$IMAGE\""};
const file_system btrfs{"btrfs", "truncate -s 128M \"$IMAGE\" && mkfs.btrfs -q -f \"$IMAGE\""};

// A file the test writes only to make ext4 commit; it is no part of the installation.
constexpr char sentinel_name[] = ".power-cut-sentinel";

// Commits the metadata that the file system holds now, without writing the contents of files
// that nobody flushed. ext4: an fsync of an unrelated file commits the whole running journal
// transaction, and delayed allocation keeps unflushed contents out of it. btrfs: an fsync logs
// one file only, so the transaction is committed by the ioctls that do not flush delayed data
// (unlike BTRFS_IOC_SYNC and syncfs).
void commit_metadata(const file_system& system, const fs::path& mount_point) {
    if (system.name == "btrfs") {
        const int fd = ::open(mount_point.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        std::uint64_t transaction = 0;
        const bool ok = fd >= 0 && ::ioctl(fd, BTRFS_IOC_START_SYNC, &transaction) == 0 &&
                        ::ioctl(fd, BTRFS_IOC_WAIT_SYNC, &transaction) == 0;
        if (fd >= 0)
            ::close(fd);
        if (!ok)
            throw std::runtime_error("cannot commit the btrfs transaction");
        return;
    }
    const fs::path sentinel = mount_point / sentinel_name;
    const int fd = ::open(sentinel.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const bool ok = fd >= 0 && ::write(fd, "x", 1) == 1 && ::fsync(fd) == 0;
    if (fd >= 0)
        ::close(fd);
    if (!ok)
        throw std::runtime_error("cannot commit the ext4 journal");
}

// An image file mounted at `mount_point` while the object lives.
class mounted_image {
  public:
    mounted_image(const fs::path& image, fs::path mount_point)
        : mount_point_(std::move(mount_point)) {
        fs::create_directories(mount_point_);
        shell("mount -o loop,commit=300 " + quoted(image) + " " + quoted(mount_point_));
    }
    // Ends the applications that the updater started from the image first (only while it is
    // mounted there: -M).
    ~mounted_image() {
        for (int attempt = 0; attempt < 50; ++attempt) {
            run("/usr/bin/fuser", {"-s", "-k", "-M", "-m", mount_point_.string()});
            if (run("/bin/umount", {mount_point_.string()}).exit_code == 0)
                return;
            std::this_thread::sleep_for(20ms);
        }
        ADD_FAILURE() << "cannot unmount " << mount_point_;
    }
    mounted_image(const mounted_image&) = delete;
    mounted_image& operator=(const mounted_image&) = delete;

  private:
    fs::path mount_point_;
};

struct snapshot {
    fs::path image;
    std::string when;
    bool marker_flushed = false; // the updater had flushed its acceptance marker
};

enum class stops { at_instants, after_flushes, after_changes };

class power_loss : public ::testing::TestWithParam<file_system> {
  protected:
    const file_system& system = GetParam();
    update_scenario scenario{version(false), version(true)};
    fs::path images = scenario.inst.root / "images";
    fs::path template_image = images / "old.img";
    fs::path work_image = images / "work.img";
    int copies = 0;
    int recovered_old = 0;
    int recovered_new = 0;

    void SetUp() override {
        fs::create_directories(images);
        shell("IMAGE=" + quoted(template_image) + "; " + system.make);
        const mounted_image mounted(template_image, scenario.inst.app_dir);
        scenario.reset(); // the old version, on the image for good once it is unmounted
    }

    // The image as a power cut would leave it now: only what reached the device.
    snapshot take(const std::string& when, bool marker_flushed) {
        snapshot s{images / ("copy-" + std::to_string(++copies) + ".img"), when, marker_flushed};
        shell("cp --sparse=always " + quoted(work_image) + " " + quoted(s.image));
        return s;
    }

    // One update on a fresh copy of the old image, stopped for a copy at each moment of its own
    // running time in `stop_at`, or by itself after each of its flushes or changes (the test
    // binary). With `commit`, the file system commits its metadata before each copy.
    // With `live_application`, the application exits once the update is prepared, so that
    // the instants fall before its exit too.
    std::vector<snapshot> run_update(const std::string& updater, stops how, bool commit,
                                     std::vector<std::chrono::milliseconds> stop_at = {},
                                     std::chrono::milliseconds* duration = nullptr,
                                     bool live_application = false) {
        shell("cp --sparse=always " + quoted(template_image) + " " + quoted(work_image));
        std::vector<snapshot> taken;
        const mounted_image mounted(work_image, scenario.inst.app_dir);
        scenario.prepare_download();
        const ended_process ended;
        std::optional<child_process> live;
        if (live_application)
            live.emplace(program("tavrel-demo-app"),
                         std::vector<std::string>{"parent", scenario.inst.download_dir.string(),
                                                  "--wait-prepared"});
        const int app_pid = live ? live->pid() : ended.pid();
        // The updater logs each stop of its own before it comes: a stop is new when the log has
        // grown or the test sent it, never judged by a state seen to change (it may stop again
        // before the test looks).
        const fs::path stop_log = work_image.parent_path() / "stops.log";
        fs::remove(stop_log);
        std::vector<std::string> logged;
        const auto read_log = [&] {
            std::ifstream in(stop_log);
            logged.clear();
            for (std::string line; std::getline(in, line);)
                logged.push_back(line);
        };
        environment_list extra{{"TAVREL_DEMO_LIFETIME_MS", "3000"},
                               {"TAVREL_STOP_LOG", stop_log.string()}};
        if (how == stops::after_flushes)
            extra.push_back({"TAVREL_STOP_AFTER_FLUSH", "1"});
        if (how == stops::after_changes)
            extra.push_back({"TAVREL_STOP_AFTER_CHANGE", "1"});
        // The updated application outlives the copies, so that its confirmation still comes.
        child_process process(program(updater), scenario.update_arguments(app_pid),
                              with_environment(scenario.inst.environment() + extra));
        auto running = 0ms;
        auto last = std::chrono::steady_clock::now();
        std::size_t next_stop = 0;
        std::size_t own_stops_handled = 0;
        bool stop_sent = false;
        bool marker_flushed = false;
        for (;;) {
            const char state = process_state(process.pid());
            if (state == 0 || state == 'Z')
                break;
            const auto now = std::chrono::steady_clock::now();
            if (state == 'T') {
                read_log();
                if (stop_sent || logged.size() > own_stops_handled) {
                    std::string when = updater + " stopped after " +
                                       std::to_string(running.count()) + " ms of running";
                    if (logged.size() > own_stops_handled) {
                        const std::string& line = logged.back();
                        when += ", after \"" + line + "\"";
                        marker_flushed = marker_flushed || (line.starts_with("flush ") &&
                                                            line.ends_with("/.accepted"));
                        own_stops_handled = logged.size();
                    }
                    if (commit)
                        commit_metadata(system, scenario.inst.app_dir);
                    taken.push_back(
                        take(when + (commit ? ", metadata committed" : ""), marker_flushed));
                    stop_sent = false;
                    ::kill(process.pid(), SIGCONT);
                }
                std::this_thread::sleep_for(1ms); // a stop already copied, until it goes on
                last = std::chrono::steady_clock::now();
                continue;
            }
            running += std::chrono::duration_cast<std::chrono::milliseconds>(now - last);
            last = now;
            if (next_stop < stop_at.size() && running >= stop_at[next_stop]) {
                ++next_stop;
                stop_sent = true;
                ::kill(process.pid(), SIGSTOP); // the copy comes once it is seen stopped
                continue;
            }
            std::this_thread::sleep_for(2ms);
        }
        const run_result r = process.wait();
        EXPECT_EQ(r.exit_code, 0) << r.err;
        if (duration)
            *duration = running;
        if (commit)
            commit_metadata(system, scenario.inst.app_dir);
        taken.push_back(take(updater + " after its successful run", true));
        return taken;
    }

    // Each copy recovered and compared; once a copy of a run holds the new version, so must
    // every later one, and every copy taken after the marker was flushed.
    void recover_all(const std::vector<snapshot>& taken) {
        bool seen_new = false;
        for (const snapshot& s : taken) {
            SCOPED_TRACE(s.when);
            {
                const mounted_image mounted(s.image, scenario.inst.app_dir);
                fs::remove(scenario.inst.app_dir / sentinel_name);
                fs::remove(scenario.inst.log);
                const run_result r = scenario.recover();
                EXPECT_EQ(r.exit_code, 0) << r.err;
                const tree_snapshot files = scenario.installed();
                const bool is_new = files == scenario.new_files;
                const bool is_old = files == scenario.old_files;
                EXPECT_TRUE(is_new || is_old) << "a mix of versions";
                EXPECT_FALSE(seen_new && is_old) << "a later instant went back to the old version";
                EXPECT_FALSE(s.marker_flushed && !is_new)
                    << "the acceptance marker was flushed, yet the new version is lost";
                EXPECT_FALSE(scenario.staging_left());
                seen_new = seen_new || is_new;
                (is_new ? recovered_new : recovered_old) += 1;
                const auto starts = scenario.inst.starts(1);
                ASSERT_EQ(starts.size(), 1u);
                EXPECT_EQ(starts[0], "start --disable-splash|" + scenario.inst.app_dir.string());
            }
            fs::remove(s.image);
        }
    }
};

TEST_P(power_loss, after_every_change_and_at_random_instants_the_disk_holds_a_whole_version) {
    // After every change, with the metadata committed then: what a commit of the file system's
    // own at that instant would leave.
    recover_all(run_update("tavrel-updater-test", stops::after_changes, true));
    // After every flush, with nothing else committed: what the flushes alone force.
    std::chrono::milliseconds duration{0};
    recover_all(run_update("tavrel-updater-test", stops::after_flushes, false, {}, &duration));
    // Random instants of three runs of the product, seven a run (fewer where it ends sooner: how
    // many is the machine's speed, so no count of them is asserted), with an application that
    // exits once the update is prepared: instants before its exit and after it.
    std::mt19937 random(20261207);
    for (int runs = 0; runs < 3; ++runs) {
        std::vector<std::chrono::milliseconds> stop_at;
        for (int i = 0; i < 7; ++i)
            stop_at.emplace_back(random() % (duration.count() + 1));
        std::sort(stop_at.begin(), stop_at.end());
        recover_all(run_update("tavrel-updater", stops::at_instants, true, stop_at, nullptr, true));
    }
    std::cout << system.name << ": " << copies << " power cuts, " << recovered_old
              << " recovered the old version, " << recovered_new << " the new one\n";
    EXPECT_GT(recovered_old, 0); // the copies before the marker
}

// A delta update, stopped after every change with the metadata committed: its patched files
// are staged from the installed ones, its kept files never move.
TEST_P(power_loss, after_every_change_of_a_delta_update_the_disk_holds_a_whole_version) {
    use_delta(scenario); // the download only: the installed old version stays as it is
    recover_all(run_update("tavrel-updater-test", stops::after_changes, true));
    std::cout << system.name << ", delta: " << copies << " power cuts, " << recovered_old
              << " recovered the old version, " << recovered_new << " the new one\n";
    EXPECT_GT(recovered_old, 0);
    EXPECT_GT(recovered_new, 0);
}

INSTANTIATE_TEST_SUITE_P(file_systems, power_loss, ::testing::Values(ext4, btrfs),
                         [](const auto& info) { return info.param.name; });

} // namespace
} // namespace tavrel::test
