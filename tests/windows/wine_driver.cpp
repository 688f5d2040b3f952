// Runs one program the way the application runs the updater, for the end-to-end runs under
// Wine, where a shell cannot learn a Windows process id or wait on a Windows process:
//
//   tavrel-wine-driver [--cwd DIR] [--timeout MS] [--wait-for IMAGE] PARENT DOWNLOAD_DIR
//                      PROGRAM [ARGUMENT...]
//
// It starts PARENT with "parent DOWNLOAD_DIR" (the demo application, which waits for the ready
// marker and exits), then PROGRAM with the ARGUMENTs, "{pid}" standing for the parent's process
// id, in DIR (default: PROGRAM's directory). It waits up to MS milliseconds (default 120000) for
// PROGRAM and then ends the parent if it still runs (an updater that got past its handshake
// has seen the parent end; one that did not never will). With --wait-for (which may be
// given more than once) it then waits until no process of those image names (the application
// that PROGRAM started; an updater that PROGRAM started) runs.
// It prints "exit N" and ends with PROGRAM's exit code N; 124 when PROGRAM had to be
// terminated, 125 when something could not be started.
//
// Two options play another program that holds a file for a while, as a virus scanner or a
// backup tool does (open for reading and writing, but not for deleting or renaming):
//   --hold-installed FILE MS    FILE from before PROGRAM starts until MS ms after PARENT ended
//   --hold-staged APP NAME MS   NAME below the staging directory's "new" in APP, from when the
//                               updater has written it until MS ms after its journal appeared
#include <windows.h>

#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr DWORD application_wait_ms = 30000;
constexpr int timed_out = 124;
constexpr int not_started = 125;

// One argument as the C runtime's parser reads it back.
std::wstring quoted(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return argument;
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        out.push_back(c);
    }
    out.append(2 * backslashes, L'\\');
    out.push_back(L'"');
    return out;
}

std::wstring directory_of(const std::wstring& file) {
    const std::size_t slash = file.find_last_of(L"\\/");
    return slash == std::wstring::npos ? L"." : file.substr(0, slash);
}

bool start(const std::wstring& program, const std::vector<std::wstring>& arguments,
           const std::wstring& directory, PROCESS_INFORMATION& info) {
    std::wstring command_line = quoted(program);
    for (const auto& argument : arguments)
        command_line += L" " + quoted(argument);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    if (!CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        directory.c_str(), &startup, &info)) {
        std::fprintf(stderr, "tavrel-wine-driver: cannot start %ls: error %lu\n", program.c_str(),
                     GetLastError());
        return false;
    }
    CloseHandle(info.hThread);
    return true;
}

bool image_running(const std::wstring& image) {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return false;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    bool found = false;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !found;
         more = Process32NextW(snapshot, &entry))
        found = _wcsicmp(entry.szExeFile, image.c_str()) == 0;
    CloseHandle(snapshot);
    return found;
}

HANDLE open_held(const std::wstring& file) {
    return CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

// The first staging directory in `app`, or an empty text.
std::wstring staging_directory(const std::wstring& app) {
    WIN32_FIND_DATAW data{};
    const HANDLE find = FindFirstFileW((app + L"\\.tavrel-update-*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return {};
    FindClose(find);
    return app + L"\\" + data.cFileName;
}

struct staged_hold {
    std::wstring app, name;
    DWORD ms = 0;
};

DWORD WINAPI hold_staged_file(void* parameter) {
    const staged_hold& hold = *static_cast<const staged_hold*>(parameter);
    const ULONGLONG deadline = GetTickCount64() + 120000;
    HANDLE held = INVALID_HANDLE_VALUE;
    std::wstring staging;
    while (held == INVALID_HANDLE_VALUE && GetTickCount64() < deadline) {
        staging = staging_directory(hold.app);
        if (!staging.empty()) {
            held = open_held(staging + L"\\new\\" + hold.name);
            // Missed: the commit moved it already.
            if (held == INVALID_HANDLE_VALUE &&
                GetFileAttributesW((staging + L"\\.transaction").c_str()) !=
                    INVALID_FILE_ATTRIBUTES)
                break;
        }
        if (held == INVALID_HANDLE_VALUE)
            Sleep(1);
    }
    while (GetFileAttributesW((staging + L"\\.transaction").c_str()) == INVALID_FILE_ATTRIBUTES &&
           GetTickCount64() < deadline)
        Sleep(1);
    Sleep(hold.ms);
    if (held != INVALID_HANDLE_VALUE)
        CloseHandle(held);
    std::printf("held staged %ls\n", hold.name.c_str());
    return 0;
}

int usage() {
    std::fprintf(stderr, "usage: tavrel-wine-driver [--cwd DIR] [--timeout MS] [--wait-for IMAGE] "
                         "PARENT DOWNLOAD_DIR PROGRAM [ARGUMENT...]\n");
    return not_started;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring directory;
    std::vector<std::wstring> wait_for;
    DWORD timeout = 120000;
    std::wstring held_installed;
    DWORD held_installed_ms = 0;
    staged_hold held_staged;
    int at = 1;
    for (; at + 1 < argc && std::wcsncmp(argv[at], L"--", 2) == 0; at += 2) {
        const std::wstring option = argv[at];
        if (option == L"--cwd") {
            directory = argv[at + 1];
        } else if (option == L"--timeout") {
            timeout = std::wcstoul(argv[at + 1], nullptr, 10);
        } else if (option == L"--wait-for") {
            wait_for.push_back(argv[at + 1]);
        } else if (option == L"--hold-installed" && at + 2 < argc) {
            held_installed = argv[at + 1];
            held_installed_ms = std::wcstoul(argv[at + 2], nullptr, 10);
            ++at;
        } else if (option == L"--hold-staged" && at + 3 < argc) {
            held_staged = {argv[at + 1], argv[at + 2], std::wcstoul(argv[at + 3], nullptr, 10)};
            at += 2;
        } else {
            return usage();
        }
    }
    HANDLE installed = INVALID_HANDLE_VALUE;
    if (!held_installed.empty() &&
        (installed = open_held(held_installed)) == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "tavrel-wine-driver: cannot hold %ls\n", held_installed.c_str());
        return not_started;
    }
    HANDLE staged_holder = nullptr;
    if (!held_staged.name.empty())
        staged_holder = CreateThread(nullptr, 0, hold_staged_file, &held_staged, 0, nullptr);
    if (argc - at < 3)
        return usage();
    const std::wstring parent_program = argv[at], download_dir = argv[at + 1];
    const std::wstring program = argv[at + 2];
    if (directory.empty())
        directory = directory_of(program);

    PROCESS_INFORMATION parent{};
    if (!start(parent_program, {L"parent", download_dir}, directory_of(parent_program), parent))
        return not_started;
    std::vector<std::wstring> arguments;
    for (int i = at + 3; i < argc; ++i) {
        const std::wstring argument = argv[i];
        arguments.push_back(argument == L"{pid}" ? std::to_wstring(parent.dwProcessId) : argument);
    }

    PROCESS_INFORMATION child{};
    int code = not_started;
    if (start(program, arguments, directory, child)) {
        if (installed != INVALID_HANDLE_VALUE) {
            WaitForSingleObject(parent.hProcess, timeout);
            Sleep(held_installed_ms);
            CloseHandle(installed);
            std::printf("held installed %ls\n", held_installed.c_str());
        }
        if (WaitForSingleObject(child.hProcess, timeout) == WAIT_OBJECT_0) {
            DWORD exit_code = 0;
            GetExitCodeProcess(child.hProcess, &exit_code);
            code = static_cast<int>(exit_code);
        } else {
            TerminateProcess(child.hProcess, timed_out);
            WaitForSingleObject(child.hProcess, 10000);
            std::printf("timeout after %lu ms\n", timeout);
            code = timed_out;
        }
        CloseHandle(child.hProcess);
    }
    if (WaitForSingleObject(parent.hProcess, 0) != WAIT_OBJECT_0) {
        TerminateProcess(parent.hProcess, 1);
        WaitForSingleObject(parent.hProcess, 10000);
    }
    CloseHandle(parent.hProcess);

    if (staged_holder) {
        WaitForSingleObject(staged_holder, timeout);
        CloseHandle(staged_holder);
    }
    const ULONGLONG deadline = GetTickCount64() + application_wait_ms;
    for (const std::wstring& image : wait_for)
        while (image_running(image) && GetTickCount64() < deadline)
            Sleep(50);
    std::printf("exit %d\n", code);
    std::fflush(stdout);
    return code;
}
