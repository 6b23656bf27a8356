// target-helper X Y WIDTH HEIGHT [SECONDS [RECORD_FILE]]: an ordinary desktop program for the target
// and click tests. It shows one topmost window with its top-left corner at (X, Y) and a push button
// filling the window's right half, so a point over the button is a point over a child control. It
// exits after SECONDS (default 60) in case the test that started it does not end it. With
// RECORD_FILE it appends a line for every left button press and release on its window
// ("down|up <µs since 1970> <x> <y>"), the time read from the system clock as the message arrives,
// and the moments the window is activated by a press ("mouseactivate|activated <µs> 0 0"),
// so that clicks from several programs (or machines sharing one clock) can be compared.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

namespace {

constexpr UINT_PTR kLifetimeTimer = 1;
std::wstring recordFile;

long long NowUs() {
    FILETIME ft;
    GetSystemTimePreciseAsFileTime(&ft);
    ULARGE_INTEGER value;
    value.LowPart = ft.dwLowDateTime;
    value.HighPart = ft.dwHighDateTime;
    return static_cast<long long>((value.QuadPart - 116444736000000000ULL) / 10);
}

// One line appended and the file closed again, so a reader sees every click at once.
void Record(const char* what, long long atUs, LPARAM position) {
    if (recordFile.empty()) return;
    char line[96];
    const int length = std::snprintf(line, sizeof line, "%s %lld %d %d\n", what, atUs,
                                     static_cast<int>(static_cast<short>(LOWORD(position))),
                                     static_cast<int>(static_cast<short>(HIWORD(position))));
    HANDLE file = CreateFileW(recordFile.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, line, static_cast<DWORD>(length), &written, nullptr);
    CloseHandle(file);
}

LRESULT CALLBACK HelperProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        // A press on a window that is not the active one first activates it: these lines show when
        // that began and when the window became active, before its press.
        case WM_MOUSEACTIVATE:
            Record("mouseactivate", NowUs(), 0);
            return DefWindowProcW(window, message, wParam, lParam);
        case WM_ACTIVATE:
            if (LOWORD(wParam) != WA_INACTIVE) Record("activated", NowUs(), 0);
            return DefWindowProcW(window, message, wParam, lParam);
        case WM_LBUTTONDOWN: Record("down", NowUs(), lParam); return 0;
        case WM_LBUTTONUP: Record("up", NowUs(), lParam); return 0;
        case WM_RBUTTONDOWN: Record("rdown", NowUs(), lParam); return 0;
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
    if (argc > 6) recordFile = argv[6];
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
