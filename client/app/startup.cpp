#include "app/startup.h"

#include <commctrl.h>

#include <cwchar>

#include "app/main_window.h"
#include "core/app_state.h"
#include "core/data_dir.h"
#include "core/globals.h"
#include "core/holders.h"
#include "selftest/measure.h"
#include "selftest/self_test.h"
#include "target/picker.h"
#include "ui/countdown_overlay.h"
#include "ui/main_window_events.h"
#include "ui/ui_resources.h"

#ifndef DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2
#define DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2 ((DPI_AWARENESS_CONTEXT)-4)
#endif

namespace {

constexpr int kAppIconId = 101;
constexpr DWORD kMainStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;  // fixed frame, no maximise box

// True when the class is registered (also when this process registered it before).
bool RegisterWindowClass(HINSTANCE instance, const wchar_t* name, UINT style, WNDPROC procedure, HICON icon,
                         const wchar_t* cursor) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.style = style;
    wc.lpfnWndProc = procedure;
    wc.hInstance = instance;
    wc.hIcon = icon;
    wc.hIconSm = icon;
    wc.hCursor = LoadCursorW(nullptr, cursor);
    wc.lpszClassName = name;
    return RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

}  // namespace

CommandLineChoice ParseCommandLine(const wchar_t* commandLine) {
    CommandLineChoice choice;
    if (!commandLine) return choice;
    choice.uninstallCleanup = std::wcsstr(commandLine, L"--uninstall-cleanup") != nullptr;
    choice.selfTest = std::wcsstr(commandLine, L"--self-test") != nullptr;
    choice.measure = std::wcsstr(commandLine, L"--measure") != nullptr;
    return choice;
}

bool RegisterWindowClasses(HINSTANCE instance) {
    HICON mainIcon = Globals().appIcon ? Globals().appIcon : LoadIconW(nullptr, IDI_APPLICATION);
    const bool mainRegistered =
        RegisterWindowClass(instance, L"BriskodeskMain", CS_HREDRAW | CS_VREDRAW, MainWindowProc, mainIcon, IDC_ARROW);
    // Without the overlay classes the picker or the countdown cannot open; their users check for the
    // window they create, so the program runs on without them.
    RegisterWindowClass(instance, L"BriskodeskOverlay", 0, PickerWindowProc, nullptr, IDC_HAND);
    RegisterWindowClass(instance, L"OrvaneCountdownOverlay", 0, CountdownWindowProc, nullptr, IDC_ARROW);
    return mainRegistered;
}

HWND CreateMainWindow(HINSTANCE instance) {
    // The outer size is computed for the frame the window really has, so that the client area is
    // exactly the 1180 × 760 the screens are laid out for (a resizable frame is wider and would
    // leave a slightly larger client area).
    RECT frame{0, 0, kLayoutSize.cx, kLayoutSize.cy};
    AdjustWindowRectEx(&frame, kMainStyle, FALSE, WS_EX_TOPMOST);
    HWND window = CreateWindowExW(WS_EX_TOPMOST, L"BriskodeskMain", L"澄序 Orvane", kMainStyle, CW_USEDEFAULT,
                                  CW_USEDEFAULT, frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr,
                                  instance, nullptr);
    // The scale of the monitor it opened on, smaller where the window would not fit its work area.
    if (window) FitMainWindowToItsMonitor(window);
    return window;
}

int RunApplication(HINSTANCE instance, const wchar_t* commandLine, int showCommand) {
    // Before any DLL is loaded by name (the delay-loaded system DLLs at their first call): from here on
    // only the system folder is searched, never the folder the program was started from.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);

    const CommandLineChoice choice = ParseCommandLine(commandLine);
    if (choice.uninstallCleanup) return RunUninstallCleanup();

    ProcessGlobals& globals = Globals();
    globals.instance = instance;
    globals.selfTest = choice.selfTest;

    SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);  // fails under wine; harmless
    // Screen pixels, not scaled ones: the measurement clicks where its window really is.
    if (choice.measure) return RunMeasure();

    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_STANDARD_CLASSES;
    InitCommonControlsEx(&controls);

    // Shut down when the run ends, whichever way it ends.
    GdiplusSession gdiplus;
    if (!gdiplus.started()) return kExitGdiplusFailed;

    globals.appIcon = LoadIconW(instance, MAKEINTRESOURCEW(kAppIconId));
    if (!RegisterWindowClasses(instance)) return kExitMainWindowFailed;

    HWND mainWindow = CreateMainWindow(instance);
    if (!mainWindow) return kExitMainWindowFailed;
    App().countdownWindow = CreateCountdownWindow(instance);

    ShowWindow(mainWindow, globals.selfTest ? SW_HIDE : showCommand);
    UpdateWindow(mainWindow);

    if (globals.selfTest) {
        const int result = RunSelfTest();
        DestroyWindow(mainWindow);
        return result;
    }

    MSG message{};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}
