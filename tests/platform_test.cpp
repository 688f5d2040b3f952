// The platform layer's contract on both back ends (win32 under Wine): files, error classes, links,
// retries, the installation lock, extended-length paths, code pages, version resources.
// Processes: see updater_test.
#include "app/installation_lock.h"
#include "common/text.h"
#include "platform/fault_hooks.h"
#include "platform/long_path.h"
#include "platform/platform.h"
#include "support/case_table.h"
#include "support/temp_tree.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <tuple>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

namespace fs = std::filesystem;
namespace test = tavrel::test;
using platform::path;

bool write_text(const path& p, const std::string& content) {
    return platform::write_file(p, content.data(), content.size()) == 0;
}

bool present(const path& p) {
    std::uint32_t attributes = 0;
    return platform::get_file_attributes(p, attributes);
}

TEST(platform, file_operations_keep_their_contract) {
    test::temp_dir work;
    const path a = work / "a.txt", b = work / "b.txt", dir = work / "dir", none = work / "none";
    ASSERT_TRUE(write_text(a, "alpha") && write_text(a, "al") && write_text(b, "bravo"));
    std::uint64_t size = 0;
    EXPECT_TRUE(platform::query_file_size(a, size) == 0 && size == 2); // truncated
    EXPECT_NE(platform::query_file_size(work.path(), size), 0);

    // Status, with the not-found class for what is missing on the way too.
    platform::file_status st;
    EXPECT_TRUE(platform::query_status(a, false, st) == 0 &&
                st.kind == platform::file_kind::regular);
    EXPECT_TRUE(platform::query_status(work.path(), true, st) == 0 &&
                (st.attributes & platform::attribute_directory) != 0);
    for (const path& missing : {none, none / "deeper", a / "below-a-file"}) {
        EXPECT_TRUE(platform::is_not_found(platform::query_status(missing, true, st))) << missing;
        EXPECT_EQ(st.kind, platform::file_kind::not_found);
    }
    EXPECT_TRUE(present(a) && !present(none));

    // Renames replace; flushes need the file; directories, listings and removals.
    EXPECT_EQ(platform::rename_replace(a, b), 0);
    EXPECT_TRUE(test::read_bytes(b) == "al" && !present(a));
    EXPECT_EQ(platform::flush_file(b), platform::flush_result::ok);
    EXPECT_EQ(platform::flush_file(none), platform::flush_result::open_failed);
    EXPECT_EQ(platform::flush_tree(work.path()), 0);
    EXPECT_TRUE(platform::is_not_found(platform::flush_tree(none)));
    EXPECT_EQ(platform::create_directory(dir), 0);
    for (const path& taken : {dir, b})
        EXPECT_TRUE(platform::is_already_exists(platform::create_directory(taken))) << taken;
    ASSERT_TRUE(write_text(dir / "one", "1") && write_text(dir / "two", "2") &&
                platform::create_directory(dir / "sub") == 0);
    std::vector<path> children;
    bool advancing = true;
    EXPECT_EQ(platform::list_directory(dir, children, advancing), 0);
    EXPECT_TRUE(children.size() == 3 && !advancing); // neither "." nor ".."
    EXPECT_TRUE(platform::is_not_found(platform::list_directory(none, children, advancing)));
    EXPECT_NE(platform::list_directory(b, children, advancing), 0);
    EXPECT_TRUE(platform::is_directory_not_empty(platform::remove_entry(dir)));
    fs::permissions(dir / "one", fs::perms::owner_read); // read-only
    EXPECT_TRUE(platform::remove_entry(dir / "one") == 0 && !present(dir / "one"));
    EXPECT_TRUE(platform::is_not_found(platform::remove_entry(dir / "one")));
    fs::permissions(dir / "two", fs::perms::owner_read);
    EXPECT_EQ(platform::clear_read_only(dir / "two"), 0);
    std::uint32_t attributes = 0;
    EXPECT_TRUE(platform::get_file_attributes(dir / "two", attributes) &&
                (attributes & platform::attribute_read_only) == 0);
    fs::permissions(dir / "two", fs::perms::owner_read);
    write_text(dir / "sub" / "deep", "3");
    // Every directory of a tree is flushed, read-only files among them or not.
    EXPECT_EQ(platform::flush_tree(dir), 0);
    EXPECT_TRUE(platform::remove_tree(dir) == 0 && !present(dir));
    EXPECT_EQ(platform::remove_tree(dir), 0); // missing: no error

    std::uint32_t r1 = 0, r2 = 0;
    EXPECT_TRUE(platform::random_u32(r1) && platform::random_u32(r2) && r1 != r2);
    const std::string text = platform::error_description(2);
    EXPECT_TRUE(!text.empty() && text.back() != ' ' && text.back() != '\n');
    EXPECT_FALSE(platform::error_description(0x2FFFFFFF).empty());
}

// Where links can be made (not under Wine): reported, and never followed when removing.
TEST(platform, links_are_reported_and_removed_without_their_targets) {
    test::temp_dir work;
    platform::create_directory(work / "target");
    write_text(work / "target" / "inside", "x");
    std::error_code ec;
    fs::create_directory_symlink(work / "target", work / "link", ec);
    if (ec || !fs::is_symlink(work / "link"))
        GTEST_SKIP() << "symbolic links cannot be made here";
    platform::file_status st;
    EXPECT_TRUE(platform::query_status(work / "link", false, st) == 0 &&
                st.kind == platform::file_kind::symlink &&
                st.reparse_tag == platform::reparse_tag_symlink);
    EXPECT_TRUE(platform::query_status(work / "link", true, st) == 0 &&
                st.kind == platform::file_kind::directory);
    path canonical;
    EXPECT_EQ(platform::canonical_path(work / "link" / "inside", canonical), 0);
    EXPECT_EQ(canonical, work / "target" / "inside");
    EXPECT_TRUE(platform::remove_tree(work / "link") == 0 && present(work / "target" / "inside"));
}

// The K-th call failing N times transiently ("write:K:N") is waited out (50 ms, doubled each time)
// within the bound; beyond it the error comes back as it came.
TEST(platform, transient_failures_are_waited_out_within_the_bound) {
    test::temp_dir work;
    test::set_environment("TAVREL_TEST_RETRY_OPERATION_MS", "400");
    const std::tuple<const char*, bool, int> cases[] = {
        {"write:1:2", true, 150}, {"write:1:1000", false, 400}, {"write:2:1000", true, 0}};
    for (const auto& [fault, succeeds, least_ms] : cases) {
        test::set_environment("TAVREL_FAIL_TRANSIENTLY", fault);
        platform::hooks::reset_counters();
        const auto start = std::chrono::steady_clock::now();
        const int code = platform::write_file(work / "held", "x", 1);
        EXPECT_TRUE(succeeds ? code == 0 : platform::is_transient(code)) << fault << ": " << code;
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(least_ms))
            << fault;
    }
    test::set_environment("TAVREL_FAIL_TRANSIENTLY", "");
    test::set_environment("TAVREL_TEST_RETRY_OPERATION_MS", "");
}

#ifdef _WIN32
// A mutex of that name which this user may not open: how one that another user's updater
// created looks to this one, its DACL coming from that user's token. An empty DACL grants
// nobody access.
tavrel::scoped_handle held_by_another_user(const platform::native_text& name) {
    SECURITY_DESCRIPTOR descriptor;
    ACL empty;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    InitializeAcl(&empty, sizeof empty, ACL_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, &empty, FALSE);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
    tavrel::scoped_handle mutex(
        reinterpret_cast<platform::os_handle>(CreateMutexW(&attributes, TRUE, name.c_str())));
    // Without this the row would not reach the access-denied case.
    const HANDLE again = CreateMutexW(nullptr, FALSE, name.c_str());
    const DWORD error = GetLastError();
    EXPECT_TRUE(again == nullptr && error == ERROR_ACCESS_DENIED) << "error " << error;
    if (again)
        CloseHandle(again);
    return mutex;
}
#endif

// One updater per installation on the whole machine: the lock's name is in Windows' global
// namespace, and the lock is refused while anyone holds it, another user included. Wine has one
// session, so no other session's updater can hold it here: the row with the same name in the
// session namespace shows which namespace the back end creates the lock in.
TEST(platform, the_installation_lock_is_machine_wide) {
    test::temp_dir work;
    const platform::native_text name = tavrel::installation_lock_name(work / "app");
    const std::string text = tavrel::native_to_utf8(name);
    const std::string prefix = "Global\\TavrelUpdateLock-";
    EXPECT_TRUE(text.size() == prefix.size() + 32 && text.starts_with(prefix) &&
                text.find_first_not_of("0123456789abcdef", prefix.size()) == std::string::npos)
        << text;
    EXPECT_NE(tavrel::installation_lock_name(work / "other"), name);
    const platform::native_text in_session =
        tavrel::to_native("Local\\TavrelUpdateLock-") + name.substr(name.size() - 32);
    const auto lock = [](const platform::native_text& n) {
        return tavrel::scoped_handle(platform::acquire_named_lock(n));
    };
    const std::tuple<const char*, std::function<tavrel::scoped_handle()>, bool> rows[] = {
        {"nobody", [] { return tavrel::scoped_handle(); }, true},
        {"this process", [&] { return lock(name); }, false},
        {"this process, in the session namespace", [&] { return lock(in_session); }, true},
#ifdef _WIN32
        {"another user", [&] { return held_by_another_user(name); }, false},
#endif
    };
    for (const auto& [holder, hold, acquired] : rows) {
        const tavrel::scoped_handle held = hold();
        ASSERT_EQ(held.valid(), std::string(holder) != "nobody") << holder;
        EXPECT_EQ(lock(name).valid(), acquired) << "held by " << holder;
    }
}

TEST(extended_length_path, cleans_and_prefixes_absolute_paths_only) {
    for (const test::case_row& c : test::read_cases("extended_paths")) {
        EXPECT_EQ(platform::extended_length_path(std::wstring(c[0].begin(), c[0].end())),
                  std::wstring(c[1].begin(), c[1].end()))
            << c[0];
    }
    std::wstring deep = L"C:\\"; // far beyond 260 characters, every component kept
    for (int i = 0; i < 40; ++i)
        deep += L"component-" + std::to_wstring(i) + L"\\";
    EXPECT_EQ(platform::extended_length_path(deep + L"x"), L"\\\\?\\" + deep + L"x");
}

#ifdef _WIN32
TEST(win32, canonical_paths_code_pages_and_version_resources) {
    test::temp_dir work;
    std::wstring shouted = work.path().native();
    CharUpperBuffW(shouted.data(), static_cast<DWORD>(shouted.size()));
    path canonical;
    EXPECT_EQ(platform::canonical_path(shouted + L"\\", canonical), 0); // stored case, no "\"
    EXPECT_EQ(canonical, work.path());
    EXPECT_TRUE(platform::is_not_found(platform::canonical_path(work / "none" / "x", canonical)));

    std::string narrow;
    EXPECT_TRUE(platform::path_to_fs_narrow(L"C:\\plain\\ascii.txt", narrow) == 0 &&
                narrow == "C:\\plain\\ascii.txt");
    EXPECT_NE(platform::path_to_fs_narrow(std::wstring(1, wchar_t(0xD800)), narrow), 0);
    if (GetACP() == 1252 && GetOEMCP() == 437 && AreFileApisANSI()) {
        // U+00E9 is 0xE9 in 1252 and 0x82 in 437; U+0101 has only a best-fit look-alike.
        EXPECT_TRUE(platform::path_to_fs_narrow(L"\u00E9", narrow) == 0 && narrow == "\xE9");
        EXPECT_EQ(platform::path_to_fs_narrow(L"\u0101", narrow), 1113);
        EXPECT_EQ(platform::path_to_fs_narrow(L"x\u4E2D", narrow), 1113);
        SetFileApisToOEM();
        EXPECT_TRUE(platform::path_to_fs_narrow(L"\u00E9", narrow) == 0 && narrow == "\x82");
        SetFileApisToANSI();
    }

    // This program's own version resource (1.2.3.4); files without one are unreadable.
    std::wstring self(32768, L'\0');
    self.resize(GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size())));
    std::vector<std::uint8_t> block;
    ASSERT_EQ(platform::read_fixed_file_info(self, block), platform::version_info_result::ok);
    EXPECT_EQ(std::vector<std::uint8_t>(block.begin() + 8, block.begin() + 16),
              (std::vector<std::uint8_t>{2, 0, 1, 0, 4, 0, 3, 0}));
    write_text(work / "plain.exe", "not an executable");
    EXPECT_EQ(platform::read_fixed_file_info(work / "plain.exe", block),
              platform::version_info_result::unreadable);
}
#endif

} // namespace
