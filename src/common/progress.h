// How far an update has come, for the progress window. The main thread's stages report what
// they have done; the window's own thread reads the figures, so every field is an atomic.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace tavrel {

// The stages of an update, in their order, and the one stage of a recovery.
enum class progress_stage : int { none, download_check, staging, commit, recovery };

class progress_meter {
  public:
    using clock = std::chrono::steady_clock;

    // The window is due once `delay` has passed after `start` (the application's exit) and
    // the run has not reached the application's start.
    explicit progress_meter(clock::time_point start = clock::now(),
                            std::chrono::milliseconds delay = std::chrono::seconds(1));

    // A stage begins with `total` units of work (bytes, files) of which none are done.
    void begin(progress_stage stage, std::uint64_t total);
    void advance(std::uint64_t units);
    // The application is about to start: from here on no window is due.
    void finish();

    // 0 to 1000: the stages before the current one, plus the done part of the current one, by
    // their weights. A reading never falls below an earlier one, even while a stage changes.
    std::uint32_t permille() const;
    bool window_due(clock::time_point now = clock::now()) const;

  private:
    clock::time_point start_;
    std::chrono::milliseconds delay_;
    std::atomic<int> stage_{static_cast<int>(progress_stage::none)};
    std::atomic<std::uint64_t> done_{0};
    std::atomic<std::uint64_t> total_{0};
    std::atomic<bool> finished_{false};
    mutable std::atomic<std::uint32_t> highest_{0};
};

} // namespace tavrel
