#include "app/main_window.h"

#include <exception>

#include "account/login.h"
#include "core/app_state.h"
#include "core/data_dir.h"
#include "core/globals.h"
#include "net/startup_check.h"
#include "target/blacklist_notice.h"
#include "target/picker.h"
#include "ui/child_controls.h"
#include "ui/click_regions.h"
#include "ui/keyboard_navigation.h"
#include "ui/main_window_events.h"
#include "ui/wake_hotkey.h"

namespace {

LRESULT OnCreate(HWND window) {
    AppState& app = App();
    app.mainWindow = window;

    const WakeHotkey hotkey = LoadWakeHotkey();
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        app.hotkeyModifiers = hotkey.modifiers;
        app.hotkeyKey = hotkey.virtualKey;
    }
    if (!Globals().selfTest && !RegisterWakeHotkey(window, hotkey.modifiers, hotkey.virtualKey)) {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        app.detailText = L"窗口唤起快捷键已被其他程序占用，请在个人中心重新设置";
    }

    CreateMainWindowContents(window);

    bool privacyAccepted = false;
    try {
        privacyAccepted = IsPrivacyAccepted();
    } catch (const std::exception&) {
        // No data directory: the agreement simply counts as not yet given.
    }
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        app.privacyAccepted = privacyAccepted;
    }
    PrefillSavedLogin();

    UpdateChildControls();
    // The countdown and the account refresh run on this timer; a window without it would show a
    // frozen countdown, so creation fails instead.
    if (!SetTimer(window, kMainTimerId, kMainTimerPeriodMs, nullptr)) return -1;

    if (Globals().selfTest) {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        app.statusText = L"软件正在自检";
    } else {
        StartStartupCheck();
    }
    return 0;
}

LRESULT OnDestroy(HWND window) {
    AppState& app = App();
    KillTimer(window, kMainTimerId);
    UnregisterWakeHotkey(window);
    DestroyPicker();
    if (HWND overlay = app.countdownWindow.exchange(nullptr)) DestroyWindow(overlay);
    ReleaseMainWindowContents();
    PostQuitMessage(0);
    return 0;
}

}  // namespace

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE: return OnCreate(window);
        case WM_DESTROY: return OnDestroy(window);
        case WM_CLOSE:
            if (MayCloseMainWindow()) DestroyWindow(window);
            return 0;
        case WM_PAINT: OnMainPaint(window); return 0;
        case WM_ERASEBKGND: return 1;
        case WM_HOTKEY:
            if (wParam != kWakeHotkeyId) break;
            // The hotkey is also the way back from a forgotten pick: the pick is cancelled first.
            if (PickerWindow()) FinishPicking(false);
            BringMainWindowForward(window);
            return 0;
        case WM_COMMAND: OnMainCommand(wParam, lParam); return 0;
        case WM_LBUTTONDOWN: OnMainButtonDown(window, lParam); return 0;
        case WM_LBUTTONUP: OnMainButtonUp(window, lParam); return 0;
        case WM_CAPTURECHANGED: OnMainCaptureLost(window, reinterpret_cast<HWND>(lParam)); return 0;
        case WM_SETFOCUS: OnMainSetFocus(window); return 0;
        case WM_KEYDOWN:
            if (OnMainKeyDown(window, wParam)) return 0;
            break;
        case WM_TIMER:
            if (wParam == kMainTimerId) OnMainTimer(window);
            return 0;
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORLISTBOX: return OnEditColours(wParam);
        // A disabled edit asks for static colours: the same box, with its text dimmed.
        case WM_CTLCOLORSTATIC: return OnDisabledEditColours(wParam);
        case WM_DPICHANGED: OnDpiChanged(window, HIWORD(wParam), reinterpret_cast<const RECT*>(lParam)); return 0;
        case WM_GETMINMAXINFO: AllowScaledSize(window, reinterpret_cast<MINMAXINFO*>(lParam)); return 0;
        case MSG_STATUS_CHANGED:
        case MSG_STATE_CHANGED: OnWorkerReport(); return 0;
        case MSG_TIME_ALIGNED: OnTimeAligned(); return 0;
        case MSG_BLACKLIST_HIT: ShowBlacklistNotice(); return 0;
        case MSG_PREPARATION_DONE: OnPreparationDone(); return 0;
        case MSG_TASK_STARTED: OnTaskStarted(window); return 0;
        case MSG_TASK_ENDED: OnTaskEnded(window); return 0;
        case MSG_CLICK_COMING: OnClickComing(window); return 0;
        default: break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
