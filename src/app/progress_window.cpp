#include "app/progress_window.h"

namespace tavrel {

progress_window::progress_window(const progress_meter& meter)
    : handle_(platform::open_progress_window(
          {[&meter] { return meter.window_due(); }, [&meter] { return meter.permille(); }})) {}

progress_window::~progress_window() {
    close();
}

void progress_window::close() {
    platform::close_progress_window(handle_);
    handle_ = platform::no_handle;
}

} // namespace tavrel
