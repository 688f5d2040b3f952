// The extended-length form that the win32 back end gives the file APIs, one row per case.
#include "platform/long_path.h"

#include <gtest/gtest.h>

namespace {

TEST(extended_length_path, cleans_and_prefixes_absolute_paths) {
    const struct {
        std::wstring path;
        std::wstring extended;
    } cases[] = {
        {L"C:\\Tavrel\\Tavrel.exe", L"\\\\?\\C:\\Tavrel\\Tavrel.exe"},
        {L"c:/Tavrel/lib/x.dll", L"\\\\?\\c:\\Tavrel\\lib\\x.dll"},
        {L"C:\\Tavrel\\.tavrel-update-1-2\\new/lib/x.dll",
         L"\\\\?\\C:\\Tavrel\\.tavrel-update-1-2\\new\\lib\\x.dll"},
        {L"C:\\a\\\\b//c\\", L"\\\\?\\C:\\a\\b\\c"},
        {L"C:\\a\\.\\b\\..\\c", L"\\\\?\\C:\\a\\c"},
        {L"C:\\..\\..\\a", L"\\\\?\\C:\\a"},
        {L"C:\\", L"\\\\?\\C:\\"},
        {L"C:\\a\\..", L"\\\\?\\C:\\"},
        {L"C:\\Program Files\\Tavrel\\ dir .x\\", L"\\\\?\\C:\\Program Files\\Tavrel\\ dir .x"},
        {L"\\\\server\\share\\Tavrel\\x.dll", L"\\\\?\\UNC\\server\\share\\Tavrel\\x.dll"},
        {L"//server/share/a/../../b", L"\\\\?\\UNC\\server\\share\\b"},
        {L"\\\\server\\share", L"\\\\?\\UNC\\server\\share\\"},
        {L"\\\\server\\share\\..\\x", L"\\\\?\\UNC\\server\\share\\x"},
        // Unchanged: already extended, devices, incomplete UNC, relative and drive-relative.
        {L"\\\\?\\C:\\a\\..\\b", L"\\\\?\\C:\\a\\..\\b"},
        {L"\\\\?\\UNC\\server\\share", L"\\\\?\\UNC\\server\\share"},
        {L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume3\\x",
         L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume3\\x"},
        {L"\\\\.\\pipe\\x", L"\\\\.\\pipe\\x"},
        {L"\\\\server", L"\\\\server"},
        {L"\\\\server\\", L"\\\\server\\"},
        {L"Tavrel\\x.dll", L"Tavrel\\x.dll"},
        {L"C:x.dll", L"C:x.dll"},
        {L"\\x.dll", L"\\x.dll"},
        {L"", L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.path.begin(), c.path.end()));
        EXPECT_EQ(platform::extended_length_path(c.path), c.extended);
    }
    // A path far beyond 260 characters keeps every component.
    std::wstring deep = L"C:\\";
    for (int i = 0; i < 40; ++i)
        deep += L"component-" + std::to_wstring(i) + L"\\";
    EXPECT_EQ(platform::extended_length_path(deep + L"x"), L"\\\\?\\" + deep + L"x");
}

} // namespace
