// Plays the application for updates.sh under Wine, where a shell can neither learn a Windows
// process id nor wait on a Windows process:
//
//   tavrel-wine-driver [--OPTION VALUE]... PARENT DOWNLOAD_DIR PROGRAM [ARGUMENT...]
//
// It starts PARENT with "parent DOWNLOAD_DIR" (the demo application, which exits on "ready"), then
// PROGRAM in --cwd (default: its directory) with the ARGUMENTs, "{pid}" the parent's id. After
// PROGRAM (90 s at most) it ends the parent and waits until neither tavrel-updater.exe nor
// Tavrel.exe runs. Exit code: PROGRAM's, 124 when it had to be ended, 125 when nothing started.
//
// As a virus scanner it holds a file (no sharing for delete or rename) until --hold-ms after the
// parent ended (--hold-installed FILE) or after the journal appeared (--hold-staged APP\NAME: NAME
// below "new" of APP's staging directory, from when it is written).
//
// As another updater it holds the mutex NAME from before PROGRAM starts to its end: with the
// default security, as an updater of this user (--hold-lock NAME), or with a DACL that grants
// nobody access, as an updater of another user looks to this one (--hold-lock-denied NAME).
#include <windows.h>

#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr DWORD program_ms = 90000;
std::wstring staged;
DWORD hold_ms = 0;

// One argument as the C runtime's parser reads it back (the callers pass no quotes).
std::wstring quoted(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t") == std::wstring::npos)
        return argument;
    const std::size_t trailing = argument.size() - (argument.find_last_not_of(L'\\') + 1);
    return L"\"" + argument + std::wstring(trailing, L'\\') + L"\"";
}

std::wstring directory_of(const std::wstring& file) {
    return file.substr(0, file.find_last_of(L'\\'));
}

bool start(const std::wstring& program, const std::vector<std::wstring>& arguments,
           const std::wstring& directory, PROCESS_INFORMATION& info) {
    std::wstring command_line = quoted(program);
    for (const auto& argument : arguments)
        command_line += L" " + quoted(argument);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    if (CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                       directory.c_str(), &startup, &info))
        return true;
    std::fprintf(stderr, "tavrel-wine-driver: cannot start %ls: error %lu\n", program.c_str(),
                 GetLastError());
    return false;
}

bool running(const wchar_t* image) {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    bool found = false;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !found;
         more = Process32NextW(snapshot, &entry))
        found = _wcsicmp(entry.szExeFile, image) == 0;
    CloseHandle(snapshot);
    return found;
}

// The mutex NAME, created by this process; nullptr if it existed or could not be created.
HANDLE hold_lock(const std::wstring& name, bool denied) {
    SECURITY_DESCRIPTOR descriptor;
    ACL empty;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    InitializeAcl(&empty, sizeof empty, ACL_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, &empty, FALSE);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
    SetLastError(ERROR_SUCCESS);
    const HANDLE mutex = CreateMutexW(denied ? &attributes : nullptr, TRUE, name.c_str());
    if (mutex && GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        return nullptr;
    }
    return mutex;
}

bool exists(const std::wstring& file) {
    return GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES;
}

HANDLE hold(const std::wstring& file) {
    return CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

DWORD WINAPI hold_staged(void*) {
    const std::wstring app = directory_of(staged), name = staged.substr(app.size());
    const ULONGLONG deadline = GetTickCount64() + 120000;
    HANDLE held = INVALID_HANDLE_VALUE;
    std::wstring journal;
    for (; held == INVALID_HANDLE_VALUE && GetTickCount64() < deadline; Sleep(1)) {
        WIN32_FIND_DATAW found{};
        const HANDLE find = FindFirstFileW((app + L"\\.tavrel-update-*").c_str(), &found);
        if (find == INVALID_HANDLE_VALUE)
            continue;
        FindClose(find);
        journal = app + L"\\" + found.cFileName + L"\\.transaction";
        held = hold(app + L"\\" + found.cFileName + L"\\new" + name);
        if (held == INVALID_HANDLE_VALUE && exists(journal))
            break; // missed: the commit has moved it already
    }
    while (!journal.empty() && !exists(journal) && GetTickCount64() < deadline)
        Sleep(1);
    Sleep(hold_ms);
    if (held != INVALID_HANDLE_VALUE)
        CloseHandle(held);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    std::map<std::wstring, std::wstring> option;
    int at = 1;
    for (; at + 1 < argc && std::wcsncmp(argv[at], L"--", 2) == 0; at += 2)
        option[argv[at]] = argv[at + 1];
    const std::wstring known =
        L" --cwd --hold-installed --hold-staged --hold-ms --hold-lock --hold-lock-denied ";
    bool usage = argc - at < 3;
    for (const auto& [name, value] : option)
        usage = usage || known.find(L" " + name + L" ") == std::wstring::npos;
    hold_ms = std::wcstoul(option[L"--hold-ms"].c_str(), nullptr, 10);
    staged = option[L"--hold-staged"];
    const std::wstring& installed_file = option[L"--hold-installed"];
    const HANDLE installed = installed_file.empty() ? INVALID_HANDLE_VALUE : hold(installed_file);
    const bool denied = !option[L"--hold-lock-denied"].empty();
    const std::wstring& lock_name = option[denied ? L"--hold-lock-denied" : L"--hold-lock"];
    const HANDLE lock = lock_name.empty() ? nullptr : hold_lock(lock_name, denied);
    if (usage || (installed == INVALID_HANDLE_VALUE) != installed_file.empty() ||
        !lock != lock_name.empty()) {
        std::fprintf(stderr, "usage: tavrel-wine-driver [--cwd DIR] [--hold-installed FILE | "
                             "--hold-staged APP\\NAME] [--hold-ms MS] [--hold-lock NAME | "
                             "--hold-lock-denied NAME] PARENT DOWNLOAD_DIR PROGRAM "
                             "[ARGUMENT...] (FILE must exist, NAME must be free)\n");
        return 125;
    }
    const HANDLE holder =
        staged.empty() ? nullptr : CreateThread(nullptr, 0, hold_staged, nullptr, 0, nullptr);

    const std::wstring parent_program = argv[at], program = argv[at + 2];
    PROCESS_INFORMATION parent{}, child{};
    if (!start(parent_program, {L"parent", argv[at + 1]}, directory_of(parent_program), parent))
        return 125;
    std::vector<std::wstring> arguments(argv + at + 3, argv + argc);
    for (auto& argument : arguments)
        if (argument == L"{pid}")
            argument = std::to_wstring(parent.dwProcessId);
    const std::wstring& directory = option[L"--cwd"];
    DWORD code = 125;
    if (start(program, arguments, directory.empty() ? directory_of(program) : directory, child)) {
        if (installed != INVALID_HANDLE_VALUE) {
            WaitForSingleObject(parent.hProcess, program_ms);
            Sleep(hold_ms);
            CloseHandle(installed);
        }
        if (WaitForSingleObject(child.hProcess, program_ms) != WAIT_OBJECT_0) {
            TerminateProcess(child.hProcess, 124);
            WaitForSingleObject(child.hProcess, 10000);
        }
        GetExitCodeProcess(child.hProcess, &code);
    }
    if (WaitForSingleObject(parent.hProcess, 0) != WAIT_OBJECT_0) {
        TerminateProcess(parent.hProcess, 1);
        WaitForSingleObject(parent.hProcess, 10000);
    }
    if (holder)
        WaitForSingleObject(holder, program_ms);
    const ULONGLONG deadline = GetTickCount64() + 30000;
    while ((running(L"tavrel-updater.exe") || running(L"Tavrel.exe")) &&
           GetTickCount64() < deadline)
        Sleep(50);
    return static_cast<int>(code);
}
