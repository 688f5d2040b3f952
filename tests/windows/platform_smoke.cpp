// Smoke checks of the win32 platform layer, run under Wine (or Windows) by tests/windows/run.
// Each check prints one line; the last line is "N passed, N failed". Checks of features that
// Wine does not provide (symbolic links, junctions) are reported as skipped, not failed.
//
//   tavrel-platform-smoke [work-directory]
//   tavrel-platform-smoke --child <event-name> signal|exit|cwd
//   tavrel-platform-smoke --message <text>        (shows the error message box)
//   tavrel-platform-smoke --version <file>        (prints the file version a.b.c.d)
#include "common/paths.h"
#include "common/scoped_handle.h"
#include "common/text.h"
#include "platform/platform.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

using platform::path;

struct tally {
    int passed = 0;
    int failed = 0;
    int skipped = 0;

    void check(const char* name, bool ok, const std::string& detail = {}) {
        ++(ok ? passed : failed);
        std::printf("%s %s%s%s\n", ok ? "PASS" : "FAIL", name, detail.empty() ? "" : ": ",
                    detail.c_str());
    }
    void skip(const char* name, const std::string& why) {
        ++skipped;
        std::printf("SKIP %s: %s\n", name, why.c_str());
    }
};

std::string text(const path& p) {
    return tavrel::path_display_text(p);
}

std::string read_all(const path& p) {
    std::string out;
    if (std::FILE* f = _wfopen(p.c_str(), L"rb")) {
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
            out.append(buffer, n);
        std::fclose(f);
    }
    return out;
}

bool write_text(const path& p, const std::string& content) {
    return platform::write_file(p, content.data(), content.size()) == 0;
}

std::wstring upper(std::wstring s) {
    for (auto& c : s)
        if (c >= L'a' && c <= L'z')
            c = static_cast<wchar_t>(c - L'a' + L'A');
    return s;
}

std::wstring own_executable() {
    std::wstring buffer(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    buffer.resize(n);
    return buffer;
}

int child_main(const std::wstring& event_name, const std::wstring& mode) {
    if (mode == L"signal") {
        if (!platform::signal_named_event(event_name))
            return 3;
        Sleep(60000); // the parent terminates us
        return 0;
    }
    if (mode == L"cwd") {
        path cwd;
        if (platform::current_directory(cwd) != 0)
            return 4;
        const std::string utf8 = tavrel::path_to_utf8(cwd);
        return write_text(L"child-cwd.txt", utf8) ? 0 : 5;
    }
    return 0; // "exit"
}

bool start_self(const std::wstring& arguments, const path& working_directory,
                platform::process_info& child) {
    const std::wstring exe = own_executable();
    return platform::create_process(exe, L"\"" + exe + L"\" " + arguments, working_directory,
                                    child);
}

void close_process(const platform::process_info& child) {
    platform::close_handle(child.thread);
    platform::close_handle(child.process);
}

void check_errors(tally& t) {
    const std::string d2 = platform::error_description(2);
    t.check("error_description(2) has text without trailing white space",
            !d2.empty() && d2.back() != ' ' && d2.back() != '\n' && d2.back() != '\r', d2);
    const std::string d1113 = platform::error_description(1113);
    t.check("error_description(1113) has text", !d1113.empty(), d1113);
    t.check("error_description of an unknown code is not empty",
            !platform::error_description(0x2FFFFFFF).empty(),
            platform::error_description(0x2FFFFFFF));
}

void check_paths(tally& t, const path& work) {
    path canonical;
    const std::wstring w = work.native();
    // Upper case and a trailing backslash must come back in the stored case, without it.
    const path shouted = upper(w) + L"\\";
    int code = platform::canonical_path(shouted, canonical);
    t.check("canonical_path of the work directory in upper case with a trailing backslash",
            code == 0 && canonical == work,
            "code " + std::to_string(code) + " -> " + text(canonical));
    const std::wstring c = canonical.native();
    t.check("canonical_path begins with the drive letter, without \\\\?\\",
            c.size() > 3 && c[1] == L':' && c[2] == L'\\', text(canonical));

    code = platform::canonical_path(work / L"missing" / L"x", canonical);
    t.check("canonical_path of a missing path is a not-found error", platform::is_not_found(code),
            "code " + std::to_string(code));
    try {
        tavrel::canonical_path(work / L"missing");
        t.check("tavrel::canonical_path raises for a missing path", false);
    } catch (const tavrel::file_system_error& e) {
        const std::string expected = "canonical: " + platform::error_description(e.code()) +
                                     ": \"" + text(work / L"missing") + "\"";
        t.check("file_system_error text is operation: description: \"path\"", e.what() == expected,
                e.what());
    }

    path cwd;
    code = platform::current_directory(cwd);
    t.check("current_directory", code == 0 && !cwd.empty(), text(cwd));

    std::string narrow;
    code = platform::path_to_fs_narrow(L"C:\\plain\\ascii.txt", narrow);
    t.check("path_to_fs_narrow of ASCII", code == 0 && narrow == "C:\\plain\\ascii.txt", narrow);
    const UINT acp = AreFileApisANSI() ? GetACP() : GetOEMCP();
    code = platform::path_to_fs_narrow(L"x\u4E2D\u6587", narrow);
    if (acp == 65001 || acp == 54936 || acp == 936 || acp == 950 || acp == 932)
        t.skip("path_to_fs_narrow of CJK", "the code page " + std::to_string(acp) + " has it");
    else
        t.check("path_to_fs_narrow of a name outside the code page is error 1113", code == 1113,
                "code page " + std::to_string(acp) + ", code " + std::to_string(code));
    if (GetACP() == 1252 && GetOEMCP() == 437 && AreFileApisANSI()) {
        // U+00E9 is 0xE9 in 1252 and 0x82 in 437; U+0101 only has a best-fit look-alike.
        code = platform::path_to_fs_narrow(L"\u00E9", narrow);
        t.check("path_to_fs_narrow uses the ANSI code page", code == 0 && narrow == "\xE9");
        code = platform::path_to_fs_narrow(L"\u0101", narrow);
        t.check("path_to_fs_narrow takes no best-fit character: 1113", code == 1113,
                "code " + std::to_string(code));
        SetFileApisToOEM();
        code = platform::path_to_fs_narrow(L"\u00E9", narrow);
        SetFileApisToANSI();
        t.check("path_to_fs_narrow uses the OEM code page when the file APIs do",
                code == 0 && narrow == "\x82");
    } else {
        t.skip("path_to_fs_narrow code pages", "ANSI code page " + std::to_string(GetACP()));
    }
    code = platform::path_to_fs_narrow(std::wstring(1, wchar_t(0xD800)), narrow);
    t.check("path_to_fs_narrow of an unpaired surrogate fails", code != 0,
            "code " + std::to_string(code));
}

void check_files(tally& t, const path& work) {
    const path a = work / L"a.txt";
    const path b = work / L"b.txt";
    t.check("write_file", write_text(a, "alpha") && read_all(a) == "alpha");
    t.check("write_file truncates", write_text(a, "al") && read_all(a) == "al");
    std::uint64_t size = 0;
    int code = platform::query_file_size(a, size);
    t.check("query_file_size", code == 0 && size == 2, std::to_string(size));
    code = platform::query_file_size(work, size);
    t.check("query_file_size of a directory fails", code != 0, "code " + std::to_string(code));

    platform::file_status st;
    code = platform::query_status(a, false, st);
    t.check("query_status of a file", code == 0 && st.kind == platform::file_kind::regular &&
                                          (st.attributes & platform::attribute_directory) == 0);
    code = platform::query_status(work, true, st);
    t.check("query_status of a directory",
            code == 0 && st.kind == platform::file_kind::directory &&
                (st.attributes & platform::attribute_directory) != 0);
    code = platform::query_status(work / L"none", false, st);
    t.check("query_status of a missing file: not found",
            platform::is_not_found(code) && st.kind == platform::file_kind::not_found,
            "code " + std::to_string(code));
    code = platform::query_status(work / L"none" / L"deeper", true, st);
    t.check("query_status below a missing directory: not found", platform::is_not_found(code),
            "code " + std::to_string(code));
    code = platform::query_status(a / L"below-a-file", true, st);
    t.check("query_status below a file: not found", platform::is_not_found(code),
            "code " + std::to_string(code));
    std::uint32_t attributes = 0;
    t.check("get_file_attributes", platform::get_file_attributes(a, attributes) &&
                                       !platform::get_file_attributes(work / L"none", attributes));

    t.check("write b", write_text(b, "bravo"));
    code = platform::rename_replace(a, b);
    t.check("rename_replace over an existing file",
            code == 0 && read_all(b) == "al" && !platform::get_file_attributes(a, attributes),
            "code " + std::to_string(code));

    t.check("flush_file of a file", platform::flush_file(b) == platform::flush_result::ok);
    t.check("flush_file of a missing file",
            platform::flush_file(work / L"none") == platform::flush_result::open_failed);

    const path dir = work / L"dir";
    code = platform::create_directory(dir);
    t.check("create_directory", code == 0);
    code = platform::create_directory(dir);
    t.check("create_directory again: already exists", platform::is_already_exists(code),
            "code " + std::to_string(code));
    code = platform::create_directory(b);
    t.check("create_directory over a file: already exists", platform::is_already_exists(code),
            "code " + std::to_string(code));
    write_text(dir / L"one", "1");
    write_text(dir / L"two", "2");
    platform::create_directory(dir / L"sub");
    std::vector<path> children;
    bool advancing = true;
    code = platform::list_directory(dir, children, advancing);
    std::string names;
    for (const auto& child : children)
        names += text(child) + " ";
    t.check("list_directory names the three children and not . or ..",
            code == 0 && children.size() == 3 && !advancing, names);
    code = platform::list_directory(work / L"none", children, advancing);
    t.check("list_directory of a missing directory", platform::is_not_found(code) && !advancing,
            "code " + std::to_string(code));
    code = platform::list_directory(b, children, advancing);
    t.check("list_directory of a file fails", code != 0 && !advancing,
            "code " + std::to_string(code));

    code = platform::remove_entry(dir);
    t.check("remove_entry of a non-empty directory: 145", platform::is_directory_not_empty(code),
            "code " + std::to_string(code));
    SetFileAttributesW((dir / L"one").c_str(), FILE_ATTRIBUTE_READONLY);
    code = platform::remove_entry(dir / L"one");
    t.check("remove_entry of a read-only file",
            code == 0 && !platform::get_file_attributes(dir / L"one", attributes),
            "code " + std::to_string(code));
    code = platform::remove_entry(dir / L"one");
    t.check("remove_entry of a missing file: not found", platform::is_not_found(code),
            "code " + std::to_string(code));

    SetFileAttributesW((dir / L"two").c_str(), FILE_ATTRIBUTE_READONLY);
    code = platform::clear_read_only(dir / L"two");
    t.check("clear_read_only",
            code == 0 && platform::get_file_attributes(dir / L"two", attributes) &&
                (attributes & platform::attribute_read_only) == 0,
            "code " + std::to_string(code));
    SetFileAttributesW((dir / L"two").c_str(), FILE_ATTRIBUTE_READONLY);
    write_text(dir / L"sub" / L"deep", "3");
    code = platform::remove_tree(dir);
    t.check("remove_tree with a read-only file inside",
            code == 0 && !platform::get_file_attributes(dir, attributes),
            "code " + std::to_string(code));
    t.check("remove_tree of a missing path is no error", platform::remove_tree(dir) == 0);

    std::uint32_t r1 = 0, r2 = 0;
    t.check("random_u32", platform::random_u32(r1) && platform::random_u32(r2) && r1 != r2);
}

void check_links(tally& t, const path& work) {
    const path target = work / L"link-target";
    platform::create_directory(target);
    write_text(target / L"inside", "x");
    const path link = work / L"dir-link";
    if (!CreateSymbolicLinkW(link.c_str(), target.c_str(),
                             SYMBOLIC_LINK_FLAG_DIRECTORY | 0x2 /* unprivileged */)) {
        t.skip("directory symbolic link",
               "CreateSymbolicLinkW failed with " + std::to_string(GetLastError()));
        return;
    }
    std::uint32_t attributes = 0;
    if (!platform::get_file_attributes(link, attributes)) {
        t.skip("directory symbolic link", "CreateSymbolicLinkW succeeded but made nothing");
        return;
    }
    platform::file_status st;
    int code = platform::query_status(link, false, st);
    t.check("query_status of a link without following",
            code == 0 && st.kind == platform::file_kind::symlink &&
                st.reparse_tag == platform::reparse_tag_symlink,
            "code " + std::to_string(code) + " tag " + std::to_string(st.reparse_tag));
    code = platform::query_status(link, true, st);
    t.check("query_status of a link following it",
            code == 0 && st.kind == platform::file_kind::directory);
    path canonical;
    code = platform::canonical_path(link / L"inside", canonical);
    t.check("canonical_path resolves the link", code == 0 && canonical == target / L"inside",
            text(canonical));
    code = platform::remove_tree(link);
    t.check("remove_tree of a link leaves the target",
            code == 0 && platform::get_file_attributes(target / L"inside", attributes),
            "code " + std::to_string(code));
}

// A junction made by hand: FSCTL_SET_REPARSE_POINT with a mount-point reparse buffer.
bool make_junction(const path& junction, const path& target) {
    if (platform::create_directory(junction) != 0)
        return false;
    const std::wstring substitute = L"\\??\\" + target.native();
    const std::wstring print = target.native();
    std::vector<std::uint8_t> buffer(8 + 8 + (substitute.size() + print.size() + 2) * 2, 0);
    const auto put16 = [&](std::size_t at, std::size_t value) {
        buffer[at] = static_cast<std::uint8_t>(value & 0xFF);
        buffer[at + 1] = static_cast<std::uint8_t>(value >> 8);
    };
    const std::uint32_t tag = platform::reparse_tag_mount_point;
    std::memcpy(&buffer[0], &tag, 4);
    put16(4, buffer.size() - 8);            // ReparseDataLength
    put16(8, 0);                            // SubstituteNameOffset
    put16(10, substitute.size() * 2);       // SubstituteNameLength
    put16(12, (substitute.size() + 1) * 2); // PrintNameOffset
    put16(14, print.size() * 2);            // PrintNameLength
    std::memcpy(&buffer[16], substitute.data(), substitute.size() * 2);
    std::memcpy(&buffer[16 + (substitute.size() + 1) * 2], print.data(), print.size() * 2);
    const HANDLE h =
        CreateFileW(junction.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD returned = 0;
    const BOOL ok =
        DeviceIoControl(h, 0x000900A4 /* FSCTL_SET_REPARSE_POINT */, buffer.data(),
                        static_cast<DWORD>(buffer.size()), nullptr, 0, &returned, nullptr);
    const DWORD code = GetLastError();
    CloseHandle(h);
    SetLastError(code);
    return ok != FALSE;
}

void check_junction(tally& t, const path& work) {
    const path target = work / L"junction-target";
    platform::create_directory(target);
    write_text(target / L"inside", "x");
    const path junction = work / L"junction";
    if (!make_junction(junction, target)) {
        t.skip("junction", "FSCTL_SET_REPARSE_POINT failed with " + std::to_string(GetLastError()));
        platform::remove_tree(junction);
        return;
    }
    platform::file_status st;
    int code = platform::query_status(junction, false, st);
    t.check("query_status of a junction without following",
            code == 0 && st.kind == platform::file_kind::junction &&
                st.reparse_tag == platform::reparse_tag_mount_point,
            "code " + std::to_string(code) + " tag " + std::to_string(st.reparse_tag));
    code = platform::query_status(junction, true, st);
    t.check("query_status of a junction following it",
            code == 0 && st.kind == platform::file_kind::directory);
    path canonical;
    code = platform::canonical_path(junction / L"inside", canonical);
    t.check("canonical_path across a junction names the target",
            code == 0 && canonical == target / L"inside", text(canonical));
    code = platform::remove_tree(junction);
    std::uint32_t attributes = 0;
    t.check("remove_tree of a junction leaves the target",
            code == 0 && !platform::get_file_attributes(junction, attributes) &&
                platform::get_file_attributes(target / L"inside", attributes),
            "code " + std::to_string(code));
}

void check_processes(tally& t, const path& work) {
    const std::wstring name =
        L"Local\\TavrelSmoke-" + std::to_wstring(platform::current_process_id());
    int last_error = -1;
    tavrel::scoped_handle event(platform::create_named_event(name, last_error));
    t.check("create_named_event", event.valid() && last_error == 0,
            "last error " + std::to_string(last_error));
    int again_error = -1;
    tavrel::scoped_handle again(platform::create_named_event(name, again_error));
    t.check("create_named_event again: 183 and a handle", again.valid() && again_error == 183,
            "last error " + std::to_string(again_error));
    t.check("an unsignalled event times out",
            platform::wait_for_object(event.get(), 0) == platform::wait_timeout);

    platform::process_info child;
    bool started = start_self(L"--child " + name + L" signal", work, child);
    t.check("create_process of itself", started && child.process != platform::no_handle &&
                                            child.thread != platform::no_handle &&
                                            child.process_id != 0);
    if (started) {
        const platform::os_handle both[] = {event.get(), child.process};
        const std::uint32_t which = platform::wait_for_any(both, 2, 20000);
        t.check("wait_for_any: the child signals the event first", which == 0,
                "result " + std::to_string(which));
        t.check("the child is still running",
                platform::wait_for_object(child.process, 0) == platform::wait_timeout);
        t.check("terminate_process", platform::terminate_process(child.process, 1));
        t.check("the terminated child ends",
                platform::wait_for_object(child.process, 10000) == platform::wait_object_0);
        DWORD exit_code = 0;
        GetExitCodeProcess(reinterpret_cast<HANDLE>(child.process), &exit_code);
        t.check("its exit code is 1", exit_code == 1, std::to_string(exit_code));
        close_process(child);
    }

    started = start_self(L"--child none exit", work, child);
    if (started) {
        tavrel::scoped_handle other(platform::create_named_event(name + L"-2", last_error));
        const platform::os_handle both[] = {other.get(), child.process};
        const std::uint32_t which = platform::wait_for_any(both, 2, 20000);
        t.check("wait_for_any: a child that exits is index 1", which == 1,
                "result " + std::to_string(which));
        close_process(child);
    }

    const path cwd_dir = work / L"cwd";
    platform::create_directory(cwd_dir);
    started = start_self(L"--child none cwd", cwd_dir, child);
    if (started) {
        platform::wait_for_object(child.process, 20000);
        close_process(child);
    }
    t.check("create_process sets the working directory",
            started && read_all(cwd_dir / L"child-cwd.txt") == tavrel::path_to_utf8(cwd_dir),
            read_all(cwd_dir / L"child-cwd.txt"));

    wchar_t system_dir[MAX_PATH];
    GetSystemDirectoryW(system_dir, MAX_PATH);
    const path cmd = path(system_dir) / L"cmd.exe";
    started = platform::create_process(cmd, L"\"" + cmd.native() + L"\" /c exit 3", work, child);
    if (started) {
        const std::uint32_t waited = platform::wait_for_object(child.process, 20000);
        DWORD exit_code = 0;
        GetExitCodeProcess(reinterpret_cast<HANDLE>(child.process), &exit_code);
        t.check("cmd /c exit 3 ends with 3", waited == 0 && exit_code == 3,
                std::to_string(exit_code));
        close_process(child);
    } else {
        t.check("create_process of cmd.exe", false, std::to_string(GetLastError()));
    }

    t.check("create_process of a missing program fails",
            !platform::create_process(work / L"none.exe", L"\"none.exe\"", work, child));
    t.check("signal_named_event of a missing event fails",
            !platform::signal_named_event(name + L"-missing"));
    const platform::os_handle self =
        platform::open_process_for_wait(platform::current_process_id());
    t.check("open_process_for_wait of itself",
            self != platform::no_handle &&
                platform::wait_for_object(self, 0) == platform::wait_timeout);
    platform::close_handle(self);
}

void check_version(tally& t, const path& work) {
    std::vector<std::uint8_t> block;
    auto result = platform::read_fixed_file_info(own_executable(), block);
    std::uint32_t signature = 0, ms = 0, ls = 0;
    if (block.size() == 52) {
        std::memcpy(&signature, &block[0], 4);
        std::memcpy(&ms, &block[8], 4);
        std::memcpy(&ls, &block[12], 4);
    }
    char detail[80];
    std::snprintf(detail, sizeof detail, "signature %08X version %u.%u.%u.%u", signature, ms >> 16,
                  ms & 0xFFFF, ls >> 16, ls & 0xFFFF);
    t.check("read_fixed_file_info of this program (1.2.3.4)",
            result == platform::version_info_result::ok && signature == 0xFEEF04BD &&
                ms == 0x00010002 && ls == 0x00030004,
            detail);
    write_text(work / L"plain.exe", "not an executable");
    result = platform::read_fixed_file_info(work / L"plain.exe", block);
    t.check("read_fixed_file_info of a file without resources: unreadable",
            result == platform::version_info_result::unreadable && block.empty());
    result = platform::read_fixed_file_info(work / L"none.exe", block);
    t.check("read_fixed_file_info of a missing file: unreadable",
            result == platform::version_info_result::unreadable);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 4 && std::wstring(argv[1]) == L"--child")
        return child_main(argv[2], argv[3]);
    if (argc == 3 && std::wstring(argv[1]) == L"--version") {
        std::vector<std::uint8_t> block;
        const auto result = platform::read_fixed_file_info(argv[2], block);
        if (result != platform::version_info_result::ok) {
            std::printf("%s\n", result == platform::version_info_result::invalid ? "invalid"
                                                                                 : "unreadable");
            return 1;
        }
        std::uint32_t ms = 0, ls = 0;
        std::memcpy(&ms, &block[8], 4);
        std::memcpy(&ls, &block[12], 4);
        std::printf("%u.%u.%u.%u\n", ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF);
        return 0;
    }
    if (argc == 3 && std::wstring(argv[1]) == L"--message") {
        platform::show_error_message(std::u16string(argv[2], argv[2] + std::wcslen(argv[2])));
        return 0;
    }

    tally t;
    path base;
    if (argc >= 2) {
        base = argv[1];
    } else {
        wchar_t temp[MAX_PATH + 1];
        GetTempPathW(MAX_PATH + 1, temp);
        base = temp;
    }
    path work;
    try {
        work = tavrel::canonical_path(base) /
               (L"tavrel-smoke-" + std::to_wstring(platform::current_process_id()));
    } catch (const std::exception& e) {
        std::printf("FAIL work directory: %s\n0 passed, 1 failed\n", e.what());
        return 1;
    }
    platform::remove_tree(work);
    if (platform::create_directory(work) != 0) {
        std::printf("FAIL cannot create %s\n0 passed, 1 failed\n", text(work).c_str());
        return 1;
    }

    check_errors(t);
    check_paths(t, work);
    check_files(t, work);
    check_links(t, work);
    check_junction(t, work);
    check_processes(t, work);
    check_version(t, work);

    platform::remove_tree(work);
    std::printf("%d passed, %d failed, %d skipped\n", t.passed, t.failed, t.skipped);
    std::fflush(stdout);
    return t.failed == 0 ? 0 : 1;
}
