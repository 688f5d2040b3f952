// Owner of one OS handle: closed at scope end unless it is null or the invalid-handle value.
#pragma once

#include "platform/platform.h"

namespace tavrel {

class scoped_handle {
  public:
    scoped_handle() = default;
    explicit scoped_handle(platform::os_handle handle) : handle_(handle) {}
    ~scoped_handle() { reset(); }
    scoped_handle(const scoped_handle&) = delete;
    scoped_handle& operator=(const scoped_handle&) = delete;
    scoped_handle(scoped_handle&& other) noexcept : handle_(other.release()) {}
    scoped_handle& operator=(scoped_handle&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }

    platform::os_handle get() const { return handle_; }
    bool valid() const {
        return handle_ != platform::no_handle && handle_ != platform::invalid_handle;
    }
    platform::os_handle release() {
        const auto h = handle_;
        handle_ = platform::no_handle;
        return h;
    }
    void reset(platform::os_handle handle = platform::no_handle) {
        if (valid())
            platform::close_handle(handle_);
        handle_ = handle;
    }

  private:
    platform::os_handle handle_ = platform::no_handle;
};

} // namespace tavrel
