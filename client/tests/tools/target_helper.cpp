// target-helper X Y WIDTH HEIGHT [SECONDS]: an ordinary desktop program for the target tests. It shows
// one topmost window with its top-left corner at (X, Y) and a push button filling the window's right
// half, so a point over the button is a point over a child control. It exits after SECONDS (default
// 60) in case the test that started it does not end it.
#include <windows.h>

#include <cwchar>
#include <cstdlib>

namespace {

constexpr UINT_PTR kLifetimeTimer = 1;

LRESULT CALLBACK HelperProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_TIMER:
            if (wParam == kLifetimeTimer) DestroyWindow(window);
            return 0;
        case WM_DESTROY: PostQuitMessage(0); return 0;
        default: return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc < 5) return 2;
    const int x = _wtoi(argv[1]), y = _wtoi(argv[2]), width = _wtoi(argv[3]), height = _wtoi(argv[4]);
    const int seconds = argc > 5 ? _wtoi(argv[5]) : 60;
    LocalFree(argv);

    WNDCLASSW wc{};
    wc.lpfnWndProc = HelperProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = L"OrvaneTargetHelper";
    if (!RegisterClassW(&wc)) return 3;
    HWND window = CreateWindowExW(WS_EX_TOPMOST, L"OrvaneTargetHelper", L"target helper", WS_POPUP, x, y, width, height,
                                  nullptr, nullptr, instance, nullptr);
    if (!window) return 4;
    // The child first, so that the window is complete once it is visible.
    CreateWindowExW(0, L"BUTTON", L"child", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, width / 2, 0, width - width / 2,
                    height, window, nullptr, instance, nullptr);
    ShowWindow(window, SW_SHOW);
    SetTimer(window, kLifetimeTimer, static_cast<UINT>(seconds) * 1000, nullptr);

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}
