// The relaunch handler against the real demo application: confirmation, no confirmation,
// a hanging application, and one that confirms and ends at once.
#include "app/launch.h"
#include "common/text.h"
#include "support/installation.h"
#include "support/programs.h"

#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>

namespace tavrel::test {
namespace {

struct case_result {
    bool confirmed;
    std::chrono::milliseconds elapsed;
};

case_result relaunch_with(const installation& inst, const std::string& behaviour,
                          std::uint32_t confirmation_ms = 60000) {
    ::setenv("TAVREL_DEMO_BEHAVIOUR", behaviour.c_str(), 1);
    ::setenv("TAVREL_DEMO_LOG", inst.log.c_str(), 1);
    ::setenv("TAVREL_DEMO_LIFETIME_MS", "2000", 1);
    ::setenv("TAVREL_DEMO_HANG_MS", "30000", 1);
    const platform::native_text name = make_startup_event_name();
    const scoped_handle event = create_startup_event(name);
    EXPECT_TRUE(event.valid());
    const relaunch_handler handler{name, event, {confirmation_ms, 10000}};
    const auto start = std::chrono::steady_clock::now();
    const bool confirmed = handler(inst.app_dir / "Tavrel.exe");
    return {confirmed, std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - start)};
}

int started_pid_count(const installation& inst) {
    return static_cast<int>(inst.starts().size());
}

TEST(relaunch_handler, an_application_that_confirms_at_once_is_accepted_quickly) {
    installation inst;
    const case_result r = relaunch_with(inst, "confirm");
    EXPECT_TRUE(r.confirmed);
    EXPECT_LT(r.elapsed.count(), 1000);
    ASSERT_EQ(started_pid_count(inst), 1);
    EXPECT_EQ(inst.starts()[0].rfind("start --disable-splash --tavrel-update-event=Local\\"
                                     "TavrelUpdate-",
                                     0),
              0u)
        << inst.starts()[0];
    EXPECT_NE(inst.starts()[0].find("|" + inst.app_dir.string()), std::string::npos);
}

TEST(relaunch_handler, refuses_what_does_not_confirm_a_running_start) {
    const struct {
        std::string behaviour;
        std::uint32_t confirmation_ms;
        long long min_ms;
        long long max_ms;
    } cases[] = {
        {"exit", 60000, 0, 2000},         // ends without a signal: false at once
        {"confirm-exit", 60000, 0, 2000}, // signalled but gone when we look
        {"hang", 700, 700, 5000},         // never signals: terminated after the limit
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.behaviour);
        installation inst;
        const case_result r = relaunch_with(inst, c.behaviour, c.confirmation_ms);
        EXPECT_FALSE(r.confirmed);
        EXPECT_GE(r.elapsed.count(), c.min_ms);
        EXPECT_LT(r.elapsed.count(), c.max_ms);
        EXPECT_EQ(started_pid_count(inst), 1);
    }
}

TEST(relaunch_handler, a_missing_executable_is_not_confirmed) {
    installation inst;
    const platform::native_text name = make_startup_event_name();
    const scoped_handle event = create_startup_event(name);
    const relaunch_handler handler{name, event, {60000, 10000}};
    EXPECT_FALSE(handler(inst.app_dir / "Missing.exe"));
}

TEST(startup_event, a_second_event_of_the_same_name_is_refused) {
    const platform::native_text name = make_startup_event_name();
    const scoped_handle first = create_startup_event(name);
    ASSERT_TRUE(first.valid());
    EXPECT_FALSE(create_startup_event(name).valid());
    EXPECT_TRUE(create_startup_event(make_startup_event_name()).valid())
        << "another name, since the clock moved on";
}

TEST(startup_event, the_name_carries_the_process_id_and_the_clock) {
    const std::string name = native_to_utf8(make_startup_event_name());
    const std::string prefix =
        "Local\\TavrelUpdate-" + std::to_string(platform::current_process_id()) + "-";
    ASSERT_EQ(name.rfind(prefix, 0), 0u) << name;
    const std::string clock = name.substr(prefix.size());
    ASSERT_FALSE(clock.empty());
    EXPECT_EQ(clock.find_first_not_of("0123456789"), std::string::npos) << clock;
}

TEST(launch_process, passes_the_arguments_and_the_working_directory) {
    installation inst;
    ::setenv("TAVREL_DEMO_LOG", inst.log.c_str(), 1);
    ::setenv("TAVREL_DEMO_BEHAVIOUR", "exit", 1);
    platform::process_info info;
    ASSERT_TRUE(launch_process(inst.app_dir / "Tavrel.exe", to_native("--disable-splash"), info));
    EXPECT_EQ(platform::wait_for_object(info.process, 10000), platform::wait_object_0);
    platform::close_handle(info.process);
    ASSERT_EQ(inst.starts(1).size(), 1u);
    EXPECT_EQ(inst.starts()[0], "start --disable-splash|" + inst.app_dir.string());
}

} // namespace
} // namespace tavrel::test
