// The progress window of one run, from the application's exit to its start. The platform shows
// it once the meter says it is due (a second without reaching the start); it is closed before
// the application starts and, being scoped, before any message box.
#pragma once

#include "common/progress.h"
#include "platform/platform.h"

namespace tavrel {

class progress_window {
  public:
    explicit progress_window(const progress_meter& meter);
    ~progress_window();
    progress_window(const progress_window&) = delete;
    progress_window& operator=(const progress_window&) = delete;

    // Closes the window now, if it was shown; later calls do nothing.
    void close();

  private:
    platform::os_handle handle_;
};

} // namespace tavrel
