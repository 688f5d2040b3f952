// The progress window: its own thread with its own message loop, so that the work stays on the
// main thread. The thread polls the feed: it creates the window once the feed says it is due,
// moves the bar as the feed's figure grows, and destroys the window when it is told to stop.
#include "platform/platform.h"

#include <windows.h>

#include <commctrl.h>

#include <memory>

namespace platform {

namespace {

constexpr wchar_t window_class[] = L"TavrelUpdateProgress";
constexpr DWORD poll_ms = 50;
constexpr int width = 380;
constexpr int height = 120;

struct window_thread {
    progress_window_feed feed;
    HANDLE stop = nullptr;
    HANDLE thread = nullptr;
};

LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_CLOSE)
        return 0; // the update cannot be stopped halfway; the window goes when it is done
    return DefWindowProcW(window, message, w, l);
}

// The window: a caption, one line of text and a bar of 0 to 1000, in the middle of the screen.
HWND create_window(HWND& bar) {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW type{};
    type.cbSize = sizeof type;
    type.lpfnWndProc = window_procedure;
    type.hInstance = instance;
    type.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    type.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    type.lpszClassName = window_class;
    RegisterClassExW(&type);
    const int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    const int y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    const HWND window =
        CreateWindowExW(0, window_class, L"Tavrel Update", WS_OVERLAPPED | WS_CAPTION, x, y, width,
                        height, nullptr, nullptr, instance, nullptr);
    if (!window)
        return nullptr;
    const HFONT font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    const HWND text =
        CreateWindowExW(0, L"STATIC", L"Installing the update\u2026", WS_CHILD | WS_VISIBLE, 16, 14,
                        width - 48, 20, window, nullptr, instance, nullptr);
    SendMessageW(text, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    bar = CreateWindowExW(0, PROGRESS_CLASSW, nullptr, WS_CHILD | WS_VISIBLE, 16, 40, width - 48,
                          20, window, nullptr, instance, nullptr);
    SendMessageW(bar, PBM_SETRANGE32, 0, 1000);
    ShowWindow(window, SW_SHOWNORMAL);
    UpdateWindow(window);
    return window;
}

DWORD WINAPI run_window(void* parameter) {
    window_thread& state = *static_cast<window_thread*>(parameter);
    HWND window = nullptr;
    HWND bar = nullptr;
    bool tried = false; // once: without a desktop (a service, no display) there is no window
    std::uint32_t shown = 0;
    for (;;) {
        const DWORD woken = MsgWaitForMultipleObjects(1, &state.stop, FALSE, poll_ms, QS_ALLINPUT);
        if (woken == WAIT_OBJECT_0 || woken == WAIT_FAILED)
            break;
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        if (!tried && state.feed.due()) {
            tried = true;
            window = create_window(bar);
        }
        if (window && bar) {
            const std::uint32_t now = state.feed.permille();
            if (now != shown) {
                SendMessageW(bar, PBM_SETPOS, now, 0);
                shown = now;
            }
        }
    }
    if (window)
        DestroyWindow(window);
    return 0;
}

} // namespace

os_handle open_progress_window(progress_window_feed feed) {
    auto state = std::make_unique<window_thread>();
    state->feed = std::move(feed);
    state->stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!state->stop)
        return no_handle;
    state->thread = CreateThread(nullptr, 0, run_window, state.get(), 0, nullptr);
    if (!state->thread) {
        CloseHandle(state->stop);
        return no_handle;
    }
    return reinterpret_cast<os_handle>(state.release());
}

void close_progress_window(os_handle handle) {
    if (handle == no_handle)
        return;
    const std::unique_ptr<window_thread> state(reinterpret_cast<window_thread*>(handle));
    SetEvent(state->stop);
    WaitForSingleObject(state->thread, INFINITE);
    CloseHandle(state->thread);
    CloseHandle(state->stop);
}

} // namespace platform
