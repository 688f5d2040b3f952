// The C interface over the application side: arguments checked and converted from UTF-8, every
// failure turned into a result code before it can cross into C.
#define TAVREL_UPDATER_BUILDING
#include "integration/tavrel_updater.h"

#include "app/app_side.h"
#include "app/launch.h"
#include "common/text.h"

#include <chrono>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

struct tavrel_updater {
    platform::process_info info;
};

namespace {

using tavrel::path;

constexpr std::string_view download_prefix = "tavrel-download-";

bool is_text(const char* text) {
    return text && *text && tavrel::is_valid_utf8(text);
}

path path_of(const char* utf8) {
    return tavrel::path_from_utf8(utf8);
}

bool is_download_directory(const path& directory) {
    return tavrel::path_to_utf8(directory.filename()).starts_with(download_prefix);
}

// Copies `text` into `out` of `size` bytes, cut before a character that does not fit.
void copy_text(const std::string& text, char* out, std::size_t size) {
    std::size_t length = std::min(text.size(), size - 1);
    while (length < text.size() && length > 0 && (text[length] & 0xC0) == 0x80)
        --length; // `length` would split a character: cut before it
    std::memcpy(out, text.data(), length);
    out[length] = '\0';
}

// The result of a wait that did not see its marker.
tavrel_result missed(const tavrel_updater* updater) {
    if (updater && platform::wait_for_object(updater->info.process, 0) == platform::wait_object_0)
        return TAVREL_UPDATER_ENDED;
    return TAVREL_TIMED_OUT;
}

// `action(directory)` for a download directory given as UTF-8 text, once it is one by its name;
// nothing it raises crosses into C.
template <typename Action>
tavrel_result in_download_directory(const char* download_dir, Action action) {
    if (!is_text(download_dir))
        return TAVREL_INVALID_ARGUMENT;
    try {
        const path directory = path_of(download_dir);
        if (!is_download_directory(directory))
            return TAVREL_BAD_DOWNLOAD_DIRECTORY;
        return action(directory);
    } catch (...) {
        return TAVREL_FAILED;
    }
}

template <typename Wait>
tavrel_result wait_for(const tavrel_updater* updater, const char* download_dir,
                       std::uint32_t milliseconds, Wait wait) {
    return in_download_directory(download_dir, [&](const path& directory) {
        return wait(directory, updater ? updater->info.process : platform::no_handle,
                    std::chrono::milliseconds(milliseconds))
                   ? TAVREL_OK
                   : missed(updater);
    });
}

tavrel_result started(bool ok, const platform::process_info& info, tavrel_updater** updater) {
    if (!ok)
        return TAVREL_NOT_STARTED;
    *updater = new (std::nothrow) tavrel_updater{info};
    if (*updater)
        return TAVREL_OK;
    platform::close_handle(info.process);
    if (info.thread != platform::no_handle)
        platform::close_handle(info.thread);
    return TAVREL_FAILED;
}

bool is_file(const path& file) {
    platform::file_status status;
    return platform::query_status(file, true, status) == 0 &&
           status.kind == platform::file_kind::regular;
}

} // namespace

extern "C" {

const char* tavrel_result_text(tavrel_result result) {
    switch (result) {
    case TAVREL_OK:
        return "done";
    case TAVREL_INVALID_ARGUMENT:
        return "an argument is null, empty, not UTF-8, or a buffer is too small";
    case TAVREL_NOT_STARTED:
        return "the updater could not be started";
    case TAVREL_BAD_DOWNLOAD_DIRECTORY:
        return "the download directory's name does not begin with \"tavrel-download-\", or the "
               "archive is not update.zip in it";
    case TAVREL_TIMED_OUT:
        return "the wait timed out";
    case TAVREL_UPDATER_ENDED:
        return "the updater ended before it wrote the marker";
    case TAVREL_NOT_FOUND:
        return "not found";
    case TAVREL_FAILED:
        return "the system refused";
    }
    return "unknown result";
}

tavrel_result tavrel_start_update(const char* updater_path, const char* app_dir,
                                  const char* archive_path, const char* signature_base64,
                                  uint64_t size, const char* version, tavrel_updater** updater) {
    if (!updater)
        return TAVREL_INVALID_ARGUMENT;
    *updater = nullptr;
    if (!is_text(updater_path) || !is_text(app_dir) || !is_text(archive_path) ||
        !is_text(signature_base64) || !is_text(version))
        return TAVREL_INVALID_ARGUMENT;
    try {
        tavrel::app_side::update_request request;
        request.updater = path_of(updater_path);
        request.app_dir = path_of(app_dir);
        request.archive = path_of(archive_path);
        request.signature_base64 = signature_base64;
        request.size = size;
        request.version = version;
        if (request.archive.filename() != path("update.zip") ||
            !is_download_directory(request.archive.parent_path()))
            return TAVREL_BAD_DOWNLOAD_DIRECTORY;
        if (!is_file(request.updater))
            return TAVREL_NOT_STARTED;
        platform::process_info info;
        return started(tavrel::app_side::start_update(request, info), info, updater);
    } catch (...) {
        return TAVREL_FAILED;
    }
}

tavrel_result tavrel_start_recovery(const char* updater_path, const char* app_dir,
                                    const char* download_dir, tavrel_updater** updater) {
    if (!updater)
        return TAVREL_INVALID_ARGUMENT;
    *updater = nullptr;
    if (!is_text(updater_path) || !is_text(app_dir) || !is_text(download_dir))
        return TAVREL_INVALID_ARGUMENT;
    try {
        const path executable = path_of(updater_path);
        const path directory = path_of(download_dir);
        if (!is_download_directory(directory))
            return TAVREL_BAD_DOWNLOAD_DIRECTORY;
        if (!is_file(executable))
            return TAVREL_NOT_STARTED;
        platform::process_info info;
        return started(
            tavrel::app_side::start_recovery(executable, path_of(app_dir), directory, info), info,
            updater);
    } catch (...) {
        return TAVREL_FAILED;
    }
}

uint32_t tavrel_updater_process_id(const tavrel_updater* updater) {
    return updater ? updater->info.process_id : 0;
}

void tavrel_release_updater(tavrel_updater* updater) {
    if (!updater)
        return;
    platform::close_handle(updater->info.process);
    if (updater->info.thread != platform::no_handle)
        platform::close_handle(updater->info.thread);
    delete updater;
}

tavrel_result tavrel_wait_for_ready(const tavrel_updater* updater, const char* download_dir,
                                    uint32_t milliseconds) {
    return wait_for(updater, download_dir, milliseconds, tavrel::app_side::wait_for_ready);
}

tavrel_result tavrel_wait_for_prepared(const tavrel_updater* updater, const char* download_dir,
                                       uint32_t milliseconds) {
    return wait_for(updater, download_dir, milliseconds, tavrel::app_side::wait_for_prepared);
}

tavrel_result tavrel_place_cancel(const char* download_dir) {
    return in_download_directory(download_dir, [](const path& directory) {
        return tavrel::app_side::place_cancel(directory) ? TAVREL_OK : TAVREL_FAILED;
    });
}

tavrel_result tavrel_startup_event_name(int argc, const char* const* argv, char* name,
                                        size_t name_size) {
    if (argc < 0 || (argc > 0 && !argv) || !name || name_size == 0)
        return TAVREL_INVALID_ARGUMENT;
    name[0] = '\0';
    const std::string_view prefix = tavrel::update_event_switch;
    for (int i = 0; i < argc; ++i) {
        if (!argv[i])
            return TAVREL_INVALID_ARGUMENT;
        const std::string_view argument = argv[i];
        if (argument.size() <= prefix.size() || !argument.starts_with(prefix))
            continue;
        const std::string_view value = argument.substr(prefix.size());
        if (value.size() >= name_size)
            return TAVREL_INVALID_ARGUMENT;
        std::memcpy(name, value.data(), value.size());
        name[value.size()] = '\0';
        return TAVREL_OK;
    }
    return TAVREL_NOT_FOUND;
}

tavrel_result tavrel_confirm_startup(const char* event_name) {
    if (!is_text(event_name))
        return TAVREL_INVALID_ARGUMENT;
    try {
        return tavrel::app_side::confirm_startup(path_of(event_name).native()) ? TAVREL_OK
                                                                               : TAVREL_FAILED;
    } catch (...) {
        return TAVREL_FAILED;
    }
}

tavrel_result tavrel_read_failure_record(const char* download_dir, tavrel_failure_record* record) {
    if (!is_text(download_dir) || !record)
        return TAVREL_INVALID_ARGUMENT;
    try {
        const auto found = tavrel::app_side::read_failure_record(path_of(download_dir));
        if (!found)
            return TAVREL_NOT_FOUND;
        record->code = found->code;
        copy_text(found->message, record->message, sizeof record->message);
        copy_text(found->installed, record->installed, sizeof record->installed);
        copy_text(found->rolled_back, record->rolled_back, sizeof record->rolled_back);
        return TAVREL_OK;
    } catch (...) {
        return TAVREL_FAILED;
    }
}

} // extern "C"
