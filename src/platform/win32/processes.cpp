// Processes, waits and the startup event: thin uses of the kernel32 calls. An os_handle holds
// the HANDLE value itself.
#include "platform/fault_hooks.h"
#include "platform/platform.h"

#include <windows.h>

namespace platform {

namespace {

HANDLE to_handle(os_handle h) {
    return reinterpret_cast<HANDLE>(h);
}
os_handle from_handle(HANDLE h) {
    return reinterpret_cast<os_handle>(h);
}

static_assert(sizeof(STARTUPINFOW) == 104, "STARTUPINFOW of 64-bit Windows");
static_assert(sizeof(wchar_t) == sizeof(char16_t));

} // namespace

std::uint32_t current_process_id() {
    return GetCurrentProcessId();
}

os_handle open_process_for_wait(std::uint32_t pid) {
    return from_handle(OpenProcess(SYNCHRONIZE, FALSE, pid));
}

bool create_process(const path& application, const native_text& command_line,
                    const path& working_directory, process_info& out) {
    out = {};
    std::wstring writable = command_line; // CreateProcessW may write into the command line
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    const wchar_t* directory = working_directory.empty() ? nullptr : working_directory.c_str();
    if (!CreateProcessW(application.c_str(), writable.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        directory, &startup, &info))
        return false;
    out.process = from_handle(info.hProcess);
    out.thread = from_handle(info.hThread);
    out.process_id = info.dwProcessId;
    return true;
}

std::uint32_t wait_for_object(os_handle h, std::uint32_t milliseconds) {
    return WaitForSingleObject(to_handle(h), milliseconds);
}

std::uint32_t wait_for_any(const os_handle* handles, std::size_t count,
                           std::uint32_t milliseconds) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS)
        return wait_failed;
    HANDLE list[MAXIMUM_WAIT_OBJECTS];
    for (std::size_t i = 0; i < count; ++i)
        list[i] = to_handle(handles[i]);
    return WaitForMultipleObjects(static_cast<DWORD>(count), list, FALSE, milliseconds);
}

bool terminate_process(os_handle process, std::uint32_t exit_code) {
    return TerminateProcess(to_handle(process), exit_code) != FALSE;
}

void close_handle(os_handle h) {
    if (h != no_handle && h != invalid_handle)
        CloseHandle(to_handle(h));
}

os_handle create_named_event(const native_text& name, int& last_error) {
    last_error = hooks::injected_error("create_event");
    if (last_error != 0)
        return no_handle;
    SetLastError(ERROR_SUCCESS);
    const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
    last_error = static_cast<int>(GetLastError());
    return from_handle(event); // also an existing event's handle: the caller closes it
}

os_handle acquire_named_lock(const native_text& name) {
    // Owned at creation; an existing mutex means another updater holds the name (a mutex
    // whose holder died is destroyed with its last handle). One that another user created has
    // that user's default DACL, so opening it fails with ERROR_ACCESS_DENIED: held as well, and
    // never worth a retry with OpenMutexW, whose success would only say the same.
    // https://learn.microsoft.com/windows/win32/api/synchapi/nf-synchapi-createmutexw
    SetLastError(ERROR_SUCCESS);
    const HANDLE mutex = CreateMutexW(nullptr, TRUE, name.c_str());
    if (!mutex)
        return no_handle; // ERROR_ACCESS_DENIED among others: not ours, so not free
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        return no_handle;
    }
    return from_handle(mutex);
}

bool signal_named_event(const native_text& name) {
    const HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str());
    if (!event)
        return false;
    const bool signalled = SetEvent(event) != FALSE;
    CloseHandle(event);
    return signalled;
}

void show_error_message(const std::u16string& text) {
    MessageBoxW(nullptr, reinterpret_cast<const wchar_t*>(text.c_str()), L"Tavrel Update",
                MB_ICONERROR);
}

} // namespace platform
