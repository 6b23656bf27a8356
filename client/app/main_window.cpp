#include "app/main_window.h"

#include "account/login.h"
#include "app/app_state.h"
#include "app/data_dir.h"
#include "app/globals.h"
#include "net/startup_check.h"
#include "timesync/time_of_day.h"
#include "ui/child_controls.h"
#include "ui/time_field.h"
#include "ui/wake_hotkey.h"

namespace {

constexpr UINT_PTR kMainTimerId = 1;
constexpr UINT kMainTimerPeriodMs = 50;
constexpr int kWakeHotkeyId = 1;

void Repaint(HWND window) { InvalidateRect(window, nullptr, FALSE); }

void RefreshControlsAndRepaint(HWND window) {
    UpdateChildControls();
    Repaint(window);
}

LRESULT OnCreate(HWND window) {
    AppState& app = App();
    ProcessGlobals& globals = Globals();
    app.mainWindow = window;

    const WakeHotkey hotkey = LoadWakeHotkey();
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        app.hotkeyModifiers = hotkey.modifiers;
        app.hotkeyKey = hotkey.virtualKey;
    }
    if (!globals.selfTest && !RegisterWakeHotkey(window, hotkey.modifiers, hotkey.virtualKey)) {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        app.detailText = L"窗口唤起快捷键已被其他程序占用，请在个人中心重新设置";
    }

    globals.editBrush = CreateSolidBrush(RGB(24, 41, 63));
    app.uiFont = CreateFontW(-17, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                             CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH, L"Microsoft YaHei UI");

    CreateChildControls(window, app.uiFont, DefaultTimeText());

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
    SetTimer(window, kMainTimerId, kMainTimerPeriodMs, nullptr);

    if (globals.selfTest) {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        app.statusText = L"软件正在自检";
    } else {
        StartStartupCheck();
    }
    return 0;
}

LRESULT OnDestroy(HWND window) {
    AppState& app = App();
    ProcessGlobals& globals = Globals();
    KillTimer(window, kMainTimerId);
    UnregisterWakeHotkey(window);
    if (app.pickerWindow) {
        DestroyWindow(app.pickerWindow);
        app.pickerWindow = nullptr;
    }
    if (app.countdownWindow) {
        DestroyWindow(app.countdownWindow);
        app.countdownWindow = nullptr;
    }
    if (app.uiFont) {
        DeleteObject(app.uiFont);
        app.uiFont = nullptr;
    }
    if (globals.editBrush) {
        DeleteObject(globals.editBrush);
        globals.editBrush = nullptr;
    }
    PostQuitMessage(0);
    return 0;
}

void OnPaint(HWND window) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    RECT client;
    GetClientRect(window, &client);
    HBRUSH background = CreateSolidBrush(RGB(0x08, 0x0E, 0x18));
    FillRect(dc, &client, background);
    DeleteObject(background);

    std::wstring status, detail;
    {
        AppState& app = App();
        std::lock_guard<std::mutex> lock(app.stateMutex);
        status = app.statusText;
        detail = app.detailText;
    }
    HGDIOBJ oldFont = SelectObject(dc, App().uiFont ? static_cast<HGDIOBJ>(App().uiFont) : GetStockObject(DEFAULT_GUI_FONT));
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(0xF1, 0xF5, 0xFB));
    RECT line{34, 24, 1150, 52};
    DrawTextW(dc, status.c_str(), static_cast<int>(status.size()), &line, DT_LEFT | DT_SINGLELINE | DT_NOPREFIX);
    if (!detail.empty()) {
        SetTextColor(dc, RGB(0xFF, 0x7E, 0x8F));
        RECT detailLine{34, 56, 1150, 84};
        DrawTextW(dc, detail.c_str(), static_cast<int>(detail.size()), &detailLine,
                  DT_LEFT | DT_SINGLELINE | DT_NOPREFIX);
    }
    SelectObject(dc, oldFont);
    EndPaint(window, &paint);
}

void OnCommand(HWND window, WPARAM wParam, LPARAM lParam) {
    AppState& app = App();
    const UINT code = HIWORD(wParam);
    HWND control = reinterpret_cast<HWND>(lParam);
    if (!control) return;

    if (code == EN_CHANGE && (control == app.clickTimeEdit || control == app.testTimeEdit)) {
        if (Globals().programmaticEdit) return;
        {
            std::lock_guard<std::mutex> lock(app.stateMutex);
            if (control == app.clickTimeEdit) app.clickTimeEdited = true;
            else app.testTimeEdited = true;
        }
        MaskTimeField(control);
        return;
    }
    if (code == EN_CHANGE && control == app.amountEdit) {
        Repaint(window);
        return;
    }
    if (code == EN_SETFOCUS || code == EN_KILLFOCUS) {
        if (code == EN_KILLFOCUS && (control == app.clickTimeEdit || control == app.testTimeEdit))
            NormaliseTimeField(control);
        Repaint(window);
        return;
    }
    if (code == CBN_SELCHANGE && control == app.purposeCombo) {
        {
            std::lock_guard<std::mutex> lock(app.stateMutex);
            app.purposeSaved = false;
            app.statusText = L"用途已更改，请重新确认";
        }
        RefreshControlsAndRepaint(window);
    }
}

void OnHotkey(HWND window) {
    if (IsIconic(window)) ShowWindow(window, SW_RESTORE);
    else ShowWindow(window, SW_SHOW);
    SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW);
    SetForegroundWindow(window);
}

void OnTimer(HWND window) {
    AppState& app = App();
    int64_t countdownTarget;
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        countdownTarget = app.countdownTargetMs;
    }
    if (countdownTarget > 0) InvalidateRect(window, &kCountdownArea, FALSE);
}

void OnTimeAligned(HWND window) {
    AppState& app = App();
    bool clickEdited, testEdited;
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        clickEdited = app.clickTimeEdited;
        testEdited = app.testTimeEdited;
    }
    const std::wstring text = DefaultTimeText();
    {
        ProgrammaticEdit guard;
        if (!clickEdited && app.clickTimeEdit) SetWindowTextW(app.clickTimeEdit, text.c_str());
        if (!testEdited && app.testTimeEdit) SetWindowTextW(app.testTimeEdit, text.c_str());
    }
    Repaint(window);
}

void OnBlacklistHit(HWND window) {
    AppState& app = App();
    bool blocked;
    std::wstring name, reason;
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        blocked = app.target.blocked;
        name = app.target.executable_name;
        reason = app.target.block_reason;
    }
    Repaint(window);
    if (blocked)
        MessageBoxW(window, ComposeBlacklistNotice(name, reason).c_str(), L"检测到黑名单软件", MB_OK | MB_ICONERROR);
}

void OnPreparationDone(HWND window) {
    RefreshControlsAndRepaint(window);
    AppState& app = App();
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        if (app.session.logged_in && !app.purposeSaved) {
            app.modalPanel = ModalPanelKind::Purpose;
            app.pendingPurpose = app.savedPurpose;
        }
    }
    RefreshControlsAndRepaint(window);
}

void OnTaskStarted(HWND window) {
    if (Globals().selfTest) return;
    ShowWindow(window, SW_MINIMIZE);
}

}  // namespace

std::wstring ComposeBlacklistNotice(const std::wstring& executableName, const std::wstring& reason) {
    std::wstring text = L"“" + executableName + L"”已被管理员列入黑名单，不能用于同步操作。\n\n";
    if (!reason.empty()) text += L"拦截原因：" + reason + L"\n\n";
    text += L"请重新选择其他软件。如认为记录有误，请联系管理员核对黑名单。";
    return text;
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE: return OnCreate(window);
        case WM_DESTROY: return OnDestroy(window);
        case WM_CLOSE: DestroyWindow(window); return 0;
        case WM_PAINT: OnPaint(window); return 0;
        case WM_ERASEBKGND: return 1;
        case WM_HOTKEY:
            if (wParam != kWakeHotkeyId) break;
            OnHotkey(window);
            return 0;
        case WM_COMMAND: OnCommand(window, wParam, lParam); return 0;
        case WM_TIMER:
            if (wParam == kMainTimerId) OnTimer(window);
            return 0;
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORLISTBOX: {
            HDC dc = reinterpret_cast<HDC>(wParam);
            SetTextColor(dc, RGB(242, 247, 254));
            SetBkColor(dc, RGB(24, 41, 63));
            return reinterpret_cast<LRESULT>(Globals().editBrush);
        }
        case MSG_STATUS_CHANGED:
        case MSG_STATE_CHANGED: RefreshControlsAndRepaint(window); return 0;
        case MSG_TIME_ALIGNED: OnTimeAligned(window); return 0;
        case MSG_BLACKLIST_HIT: OnBlacklistHit(window); return 0;
        case MSG_PREPARATION_DONE: OnPreparationDone(window); return 0;
        case MSG_TASK_STARTED: OnTaskStarted(window); return 0;
        default: break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CALLBACK CountdownWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE: SetTimer(window, 1, 50, nullptr); return 0;
        case WM_DESTROY: KillTimer(window, 1); return 0;
        case WM_NCHITTEST: return HTTRANSPARENT;
        case WM_TIMER:
        case MSG_STATE_CHANGED:
        case WM_DISPLAYCHANGE:
            // The badge itself is drawn by the countdown overlay while it is visible.
            return 0;
        default: break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
