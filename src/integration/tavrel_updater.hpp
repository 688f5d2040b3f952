// The Tavrel updater's application side for C++: the C interface of <tavrel_updater.h> with
// owned handles, std::string and std::optional. Header only; link tavrel::app_side.
#ifndef TAVREL_UPDATER_HPP
#define TAVREL_UPDATER_HPP

#include "tavrel_updater.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tavrel_app_side {

// A started updater; the handles close with it, the updater runs on.
class updater {
  public:
    updater() = default;
    explicit updater(tavrel_updater* handle) : handle_(handle) {}
    updater(updater&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    updater& operator=(updater&& other) noexcept {
        std::swap(handle_, other.handle_);
        return *this;
    }
    updater(const updater&) = delete;
    updater& operator=(const updater&) = delete;
    ~updater() { tavrel_release_updater(handle_); }

    const tavrel_updater* get() const { return handle_; }
    std::uint32_t process_id() const { return tavrel_updater_process_id(handle_); }

  private:
    tavrel_updater* handle_ = nullptr;
};

struct update_request {
    std::string updater_path, app_dir, archive_path, signature_base64;
    std::uint64_t size = 0;
    std::string version;
};

inline tavrel_result start_update(const update_request& request, updater& started) {
    tavrel_updater* handle = nullptr;
    const tavrel_result result = tavrel_start_update(
        request.updater_path.c_str(), request.app_dir.c_str(), request.archive_path.c_str(),
        request.signature_base64.c_str(), request.size, request.version.c_str(), &handle);
    started = updater(handle);
    return result;
}

inline tavrel_result start_recovery(const std::string& updater_path, const std::string& app_dir,
                                    const std::string& download_dir, updater& started) {
    tavrel_updater* handle = nullptr;
    const tavrel_result result =
        tavrel_start_recovery(updater_path.c_str(), app_dir.c_str(), download_dir.c_str(), &handle);
    started = updater(handle);
    return result;
}

inline tavrel_result wait_for_ready(const updater& started, const std::string& download_dir,
                                    std::uint32_t milliseconds) {
    return tavrel_wait_for_ready(started.get(), download_dir.c_str(), milliseconds);
}

inline tavrel_result wait_for_prepared(const updater& started, const std::string& download_dir,
                                       std::uint32_t milliseconds) {
    return tavrel_wait_for_prepared(started.get(), download_dir.c_str(), milliseconds);
}

inline tavrel_result place_cancel(const std::string& download_dir) {
    return tavrel_place_cancel(download_dir.c_str());
}

// The event name to confirm, when the updater asked for a confirmation of this start.
inline std::optional<std::string> startup_event_name(const std::vector<std::string>& arguments) {
    std::vector<const char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(argument.c_str());
    char name[256];
    if (tavrel_startup_event_name(static_cast<int>(argv.size()), argv.data(), name, sizeof name) !=
        TAVREL_OK)
        return std::nullopt;
    return std::string(name);
}

inline tavrel_result confirm_startup(const std::string& event_name) {
    return tavrel_confirm_startup(event_name.c_str());
}

inline std::optional<tavrel_failure_record> read_failure_record(const std::string& download_dir) {
    tavrel_failure_record record{};
    if (tavrel_read_failure_record(download_dir.c_str(), &record) != TAVREL_OK)
        return std::nullopt;
    return record;
}

} // namespace tavrel_app_side

#endif // TAVREL_UPDATER_HPP
