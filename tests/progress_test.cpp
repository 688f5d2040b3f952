// The progress model behind the window: where each stage lies on the bar, that the bar never
// goes back, and when the window is due.
#include "common/progress.h"

#include <gtest/gtest.h>

namespace tavrel {
namespace {

using namespace std::chrono_literals;

TEST(progress_meter, moves_through_the_stages_by_their_weights) {
    progress_meter meter;
    EXPECT_EQ(meter.permille(), 0u);
    const struct {
        progress_stage stage;
        std::uint64_t total;
        std::uint64_t done;
        std::uint32_t permille;
    } steps[] = {
        {progress_stage::download_check, 2000, 0, 0},
        {progress_stage::download_check, 2000, 1000, 100}, // read: half of the check
        {progress_stage::download_check, 2000, 2000, 200}, // hashed
        {progress_stage::staging, 700, 0, 200},
        {progress_stage::staging, 700, 350, 550},
        {progress_stage::staging, 700, 700, 900},
        {progress_stage::commit, 4, 1, 925},
        {progress_stage::commit, 4, 4, 1000},
    };
    progress_stage current = progress_stage::none;
    std::uint64_t done = 0;
    for (const auto& step : steps) {
        SCOPED_TRACE(step.permille);
        if (step.stage != current) {
            meter.begin(step.stage, step.total);
            current = step.stage;
            done = 0;
        }
        meter.advance(step.done - done);
        done = step.done;
        EXPECT_EQ(meter.permille(), step.permille);
    }
    // More done than announced stays at the end of the stage.
    meter.advance(10);
    EXPECT_EQ(meter.permille(), 1000u);
}

TEST(progress_meter, never_goes_back_and_gives_a_recovery_the_whole_bar) {
    progress_meter meter;
    meter.begin(progress_stage::staging, 10);
    meter.advance(5);
    EXPECT_EQ(meter.permille(), 550u);
    // An earlier stage begun again (a second archive, a recovery) does not pull the bar back.
    meter.begin(progress_stage::download_check, 10);
    EXPECT_EQ(meter.permille(), 550u);
    progress_meter recovery;
    recovery.begin(progress_stage::recovery, 4);
    recovery.advance(3);
    EXPECT_EQ(recovery.permille(), 750u);
    progress_meter empty;
    empty.begin(progress_stage::commit, 0);
    EXPECT_EQ(empty.permille(), 900u);
}

TEST(progress_meter, is_due_after_a_second_until_the_application_starts) {
    const auto start = progress_meter::clock::now();
    progress_meter meter(start, 1000ms);
    EXPECT_FALSE(meter.window_due(start));
    EXPECT_FALSE(meter.window_due(start + 999ms));
    EXPECT_TRUE(meter.window_due(start + 1000ms));
    EXPECT_TRUE(meter.window_due(start + 30s));
    meter.finish();
    EXPECT_FALSE(meter.window_due(start + 30s));
}

} // namespace
} // namespace tavrel
