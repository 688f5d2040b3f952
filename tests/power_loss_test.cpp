// Power cuts: the installation lives on an ext4 image on a loop device mounted with commit=300, so
// that within a run only what the updater flushes reaches the image. The updater is stopped after
// every flush it makes, at random instants and after its run, and the image copied as a power cut
// would leave it; each copy is recovered with `--recover` and must hold the old tree or the new
// one, byte for byte, and start Tavrel.exe. Needs root and loop devices, as CI has.
#include "support/installation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <random>
#include <thread>
#include <unistd.h>

namespace tavrel::test {
namespace {

using namespace std::chrono_literals;

tree_spec version(bool updated) {
    return generated_version(updated, 60, 20, 30, 1000);
}

void shell(const std::string& command) {
    const run_result r = run("/bin/sh", {"-c", command + " 2>&1"});
    if (r.exit_code != 0)
        throw std::runtime_error(
            "power-loss tests need root and loop devices (mount -o loop, mkfs.ext4); `" + command +
            "` failed: " + r.out);
}

std::string quoted(const fs::path& p) {
    return "'" + p.string() + "'";
}

// The state letter of /proc/PID/stat ('R', 'S', 'D', 'T' stopped, 'Z'), or 0 when gone.
char process_state(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text))
        return 0;
    const auto close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() ? text[close + 2] : 0;
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
};

class power_loss : public ::testing::Test {
  protected:
    update_scenario scenario{version(false), version(true)};
    fs::path images = scenario.inst.root / "images";
    fs::path template_image = images / "old.img";
    fs::path work_image = images / "work.img";
    int copies = 0;
    int recovered_old = 0;
    int recovered_new = 0;

    void SetUp() override {
        fs::create_directories(images);
        shell("truncate -s 48M " + quoted(template_image) + " && mkfs.ext4 -q -F " +
              quoted(template_image));
        const mounted_image mounted(template_image, scenario.inst.app_dir);
        scenario.reset(); // the old version, on the image for good once it is unmounted
    }

    // The image as a power cut would leave it now: only what reached the device.
    snapshot take(const std::string& when) {
        snapshot s{images / ("copy-" + std::to_string(++copies) + ".img"), when};
        shell("cp --sparse=always " + quoted(work_image) + " " + quoted(s.image));
        return s;
    }

    // One update on a fresh copy of the old image, stopped for a copy at each moment of its own
    // running time in `stop_at`, and by itself after every flush with TAVREL_STOP_AFTER_FLUSH.
    std::vector<snapshot> run_update(const std::string& updater, const environment_list& extra,
                                     std::vector<std::chrono::milliseconds> stop_at,
                                     std::chrono::milliseconds* duration = nullptr) {
        shell("cp --sparse=always " + quoted(template_image) + " " + quoted(work_image));
        std::vector<snapshot> taken;
        const mounted_image mounted(work_image, scenario.inst.app_dir);
        scenario.prepare_download();
        const ended_process app;
        // The updater logs each stop of its own before it comes: a stop is new when the log has
        // grown or the test sent it, never judged by a state seen to change (it may stop again
        // before the test looks).
        const fs::path stop_log = work_image.parent_path() / "stops.log";
        fs::remove(stop_log);
        const auto own_stops = [&] {
            const std::string text = fs::exists(stop_log) ? read_bytes(stop_log) : "";
            return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
        };
        // The updated application outlives the copies, so that its confirmation still comes.
        child_process process(
            program(updater), scenario.update_arguments(app.pid()),
            with_environment(scenario.inst.environment() + extra +
                             environment_list{{"TAVREL_DEMO_LIFETIME_MS", "3000"},
                                              {"TAVREL_STOP_LOG", stop_log.string()}}));
        auto running = 0ms;
        auto last = std::chrono::steady_clock::now();
        std::size_t next_stop = 0;
        std::size_t own_stops_handled = 0;
        bool stop_sent = false;
        for (;;) {
            const char state = process_state(process.pid());
            if (state == 0 || state == 'Z')
                break;
            const auto now = std::chrono::steady_clock::now();
            if (state == 'T') {
                const std::size_t logged = own_stops();
                if (stop_sent || logged > own_stops_handled) {
                    taken.push_back(take(updater + " stopped after " +
                                         std::to_string(running.count()) + " ms of running (" +
                                         std::to_string(taken.size() + 1) + ")"));
                    if (stop_sent)
                        stop_sent = false;
                    else
                        own_stops_handled = logged;
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
        taken.push_back(take(updater + " after its successful run"));
        return taken;
    }

    // Each copy recovered and compared; once a copy of a run holds the new version, so must
    // every later one, and the copy after the run.
    void recover_all(const std::vector<snapshot>& taken) {
        bool seen_new = false;
        for (const snapshot& s : taken) {
            SCOPED_TRACE(s.when);
            {
                const mounted_image mounted(s.image, scenario.inst.app_dir);
                fs::remove(scenario.inst.log);
                const run_result r = scenario.recover();
                EXPECT_EQ(r.exit_code, 0) << r.err;
                const tree_snapshot files = scenario.installed();
                const bool is_new = files == scenario.new_files;
                const bool is_old = files == scenario.old_files;
                EXPECT_TRUE(is_new || is_old) << "a mix of versions";
                EXPECT_FALSE(seen_new && is_old) << "a later instant went back to the old version";
                seen_new = seen_new || is_new;
                (is_new ? recovered_new : recovered_old) += 1;
                const auto starts = scenario.inst.starts(1);
                ASSERT_EQ(starts.size(), 1u);
                EXPECT_EQ(starts[0], "start --disable-splash|" + scenario.inst.app_dir.string());
            }
            fs::remove(s.image);
        }
        EXPECT_TRUE(seen_new) << "the copy after the successful run holds the new version";
    }
};

TEST_F(power_loss, at_every_flush_and_at_random_instants_the_disk_holds_a_whole_version) {
    std::chrono::milliseconds duration{0};
    const std::vector<snapshot> at_flushes =
        run_update("tavrel-updater-test", {{"TAVREL_STOP_AFTER_FLUSH", "1"}}, {}, &duration);
    // Staged files, the journal and its directory, the moves, the marker, the end; and after.
    EXPECT_GE(at_flushes.size(), 7u);
    recover_all(at_flushes);

    // Random instants of six runs of the product, seven a run (fewer where it ends sooner: how
    // many is the machine's speed, so no count of them is asserted).
    std::mt19937 random(20261206);
    for (int runs = 0; runs < 6; ++runs) {
        std::vector<std::chrono::milliseconds> stops;
        for (int i = 0; i < 7; ++i)
            stops.emplace_back(random() % (duration.count() + 1));
        std::sort(stops.begin(), stops.end());
        recover_all(run_update("tavrel-updater", {}, stops));
    }
    std::cout << "power cuts: " << recovered_old << " recovered the old version, " << recovered_new
              << " the new one\n";
    EXPECT_GT(recovered_old, 0); // the copies after the first flushes, before the marker
}

} // namespace
} // namespace tavrel::test
