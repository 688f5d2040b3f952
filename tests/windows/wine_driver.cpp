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
    int at = 1;
    for (; at + 1 < argc && std::wcsncmp(argv[at], L"--", 2) == 0; at += 2) {
        const std::wstring option = argv[at];
        if (option == L"--cwd")
            directory = argv[at + 1];
        else if (option == L"--timeout")
            timeout = std::wcstoul(argv[at + 1], nullptr, 10);
        else if (option == L"--wait-for")
            wait_for.push_back(argv[at + 1]);
        else
            return usage();
    }
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

    const ULONGLONG deadline = GetTickCount64() + application_wait_ms;
    for (const std::wstring& image : wait_for)
        while (image_running(image) && GetTickCount64() < deadline)
            Sleep(50);
    std::printf("exit %d\n", code);
    std::fflush(stdout);
    return code;
}
