#include "common/progress.h"

#include <algorithm>

namespace tavrel {

namespace {

// Where each stage lies on the bar, in thousandths: the download check reads and hashes the
// archive, staging inflates and writes it (the longest part), the commit moves the files. A
// recovery has the bar to itself.
struct bar_span {
    std::uint32_t first;
    std::uint32_t width;
};

bar_span span_of(progress_stage stage) {
    switch (stage) {
    case progress_stage::download_check:
        return {0, 200};
    case progress_stage::staging:
        return {200, 700};
    case progress_stage::commit:
        return {900, 100};
    case progress_stage::recovery:
        return {0, 1000};
    case progress_stage::none:
        break;
    }
    return {0, 0};
}

} // namespace

progress_meter::progress_meter(clock::time_point start, std::chrono::milliseconds delay)
    : start_(start), delay_(delay) {}

void progress_meter::begin(progress_stage stage, std::uint64_t total) {
    total_.store(total);
    done_.store(0);
    stage_.store(static_cast<int>(stage));
}

void progress_meter::advance(std::uint64_t units) {
    done_.fetch_add(units);
}

void progress_meter::finish() {
    finished_.store(true);
}

std::uint32_t progress_meter::permille() const {
    const bar_span span = span_of(static_cast<progress_stage>(stage_.load()));
    const std::uint64_t total = total_.load();
    const std::uint64_t done = std::min(done_.load(), total);
    // Computed in double: bytes times 700 could pass 64 bits' worth of care.
    const auto within = total == 0 ? 0u
                                   : static_cast<std::uint32_t>(static_cast<double>(span.width) *
                                                                static_cast<double>(done) /
                                                                static_cast<double>(total));
    const std::uint32_t now = span.first + within;
    std::uint32_t highest = highest_.load();
    while (now > highest && !highest_.compare_exchange_weak(highest, now)) {
    }
    return std::max(now, highest);
}

bool progress_meter::window_due(clock::time_point now) const {
    return !finished_.load() && now - start_ >= delay_;
}

} // namespace tavrel
