#include "ui/main_window_events.h"

#include <shellscalingapi.h>

#include <algorithm>
#include <cmath>

#include "account/credits.h"
#include "core/app_state.h"
#include "core/clock.h"
#include "core/form_fields.h"
#include "core/globals.h"
#include "core/holders.h"
#include "target/picker.h"
#include "timesync/time_of_day.h"
#include "ui/child_controls.h"
#include "ui/countdown_overlay.h"
#include "ui/field_rules.h"
#include "ui/keyboard_navigation.h"
#include "ui/modal_panels.h"
#include "ui/payment_address_dialog.h"
#include "ui/screen_paint.h"
#include "ui/signed_out_actions.h"
#include "ui/time_field.h"
#include "ui/ui_resources.h"
#include "ui/wake_hotkey.h"

namespace {

bool IsTimeField(HWND control) {
    return control && (control == FormFieldControl(FormField::ClickTime) ||
                       control == FormFieldControl(FormField::TestTime));
}

}  // namespace

namespace {

constexpr int kControlFontHeight = 17;  // layout pixels

HFONT CreateControlFont(float scale) {
    return CreateFontW(-ScaledLength(kControlFontHeight, scale), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                       DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH,
                       L"Microsoft YaHei UI");
}

}  // namespace

bool CreateMainWindowContents(HWND window) {
    UiResources& ui = Ui();
    // The system's DPI, which is that of the display the window opens on in the common case; a move to
    // a monitor of another DPI then comes as WM_DPICHANGED. (The window's own DPI is not used here:
    // under wine with a window manager it answers a value that belongs to no display setting.)
    (void)window;
    ui.scale = ScaleForDpi(GetDpiForSystem());
    ui.editBrush.reset(CreateSolidBrush(RGB(24, 41, 63)));
    ui.uiFont.reset(CreateControlFont(ui.scale));
    ui.drawResources = std::make_unique<DrawResources>();
    CreateChildControls(window, ui.uiFont.get(), DefaultTimeText(), ui.scale);
    return true;
}

namespace {

SIZE OuterSizeForScale(HWND window, float scale) {
    RECT frame{0, 0, ScaledLength(kLayoutSize.cx, scale), ScaledLength(kLayoutSize.cy, scale)};
    const DWORD style = static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE));
    const DWORD exStyle = static_cast<DWORD>(GetWindowLongW(window, GWL_EXSTYLE));
    // The frame as it is drawn at this DPI, so that the client area is exactly the scaled layout.
    if (!AdjustWindowRectExForDpi(&frame, style, FALSE, exStyle, GetDpiForWindow(window)))
        AdjustWindowRectEx(&frame, style, FALSE, exStyle);
    return {frame.right - frame.left, frame.bottom - frame.top};
}

}  // namespace

void FitMainWindowToScale(HWND window, const RECT* suggested) {
    const float scale = Ui().scale;
    const SIZE outer = OuterSizeForScale(window, scale);
    UINT flags = SWP_NOZORDER | SWP_NOACTIVATE;
    if (!suggested) flags |= SWP_NOMOVE;
    SetWindowPos(window, nullptr, suggested ? suggested->left : 0, suggested ? suggested->top : 0, outer.cx, outer.cy,
                 flags);
    // The frame the system really draws may differ from the computed one (its DPI can lag behind):
    // what the client area lacks or has too much is corrected once.
    RECT client{}, placed{};
    GetClientRect(window, &client);
    const LONG dx = ScaledLength(kLayoutSize.cx, scale) - client.right;
    const LONG dy = ScaledLength(kLayoutSize.cy, scale) - client.bottom;
    if ((dx != 0 || dy != 0) && GetWindowRect(window, &placed))
        SetWindowPos(window, nullptr, 0, 0, placed.right - placed.left + dx, placed.bottom - placed.top + dy,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}


void AllowScaledSize(HWND window, MINMAXINFO* limits) {
    if (!limits) return;
    const SIZE outer = OuterSizeForScale(window, Ui().scale);
    // With room for a frame drawn larger than computed (see FitMainWindowToScale).
    constexpr LONG kFrameSlack = 64;
    limits->ptMaxTrackSize.x = std::max(limits->ptMaxTrackSize.x, outer.cx + kFrameSlack);
    limits->ptMaxTrackSize.y = std::max(limits->ptMaxTrackSize.y, outer.cy + kFrameSlack);
}

namespace {

// The DPI the person set for a monitor (GetDpiForMonitor with MDT_EFFECTIVE_DPI), where this process is
// per-monitor aware; otherwise, and when it cannot be read, the system's: Windows shows a process that is
// not per-monitor aware at the system DPI on every monitor and scales it there (under wine the program's
// request for per-monitor awareness fails, and the monitor's DPI answers 96 whatever the setting).
// (GetDpiForWindow is not used: under wine with a window manager it answers a value that belongs to no
// display setting.)
UINT MonitorDpi(HMONITOR monitor) {
    const bool perMonitor =
        GetAwarenessFromDpiAwarenessContext(GetThreadDpiAwarenessContext()) == DPI_AWARENESS_PER_MONITOR_AWARE;
    UINT x = 0, y = 0;
    if (perMonitor && monitor && SUCCEEDED(GetDpiForMonitor(monitor, MDT_EFFECTIVE_DPI, &x, &y)) && x != 0) return x;
    return GetDpiForSystem();
}

// The scale for a monitor: its DPI's, made smaller where the window would not fit its work area.
float ScaleForMonitor(HWND window, HMONITOR monitor, UINT dpi) {
    MONITORINFO info{};
    info.cbSize = sizeof info;
    const float wanted = ScaleForDpi(dpi);
    if (!monitor || !GetMonitorInfoW(monitor, &info)) return wanted;
    const SIZE outer = OuterSizeForScale(window, wanted);
    const SIZE frame{outer.cx - ScaledLength(kLayoutSize.cx, wanted), outer.cy - ScaledLength(kLayoutSize.cy, wanted)};
    const RECT& work = info.rcWork;
    return ScaleToFit(wanted, frame, {work.right - work.left, work.bottom - work.top});
}

void ApplyScale(HWND window, float scale, const RECT* suggested) {
    UiResources& ui = Ui();
    ui.scale = scale;
    // The new font is in place before the old one goes, so no control is left with a deleted font.
    ScopedFont font(CreateControlFont(scale));
    PlaceChildControls(font.get(), scale);
    ui.uiFont = std::move(font);
    FitMainWindowToScale(window, suggested);
    InvalidateRect(window, nullptr, FALSE);
}

// Wholly inside the monitor's work area: a window placed partly outside it (or below the taskbar) moves in.
void KeepInsideWorkArea(HWND window, HMONITOR monitor) {
    MONITORINFO info{};
    info.cbSize = sizeof info;
    RECT placed{};
    if (!GetMonitorInfoW(monitor, &info) || !GetWindowRect(window, &placed)) return;
    const RECT& work = info.rcWork;
    const LONG width = placed.right - placed.left, height = placed.bottom - placed.top;
    const LONG left = std::clamp(placed.left, work.left, std::max(work.left, work.right - width));
    const LONG top = std::clamp(placed.top, work.top, std::max(work.top, work.bottom - height));
    if (left != placed.left || top != placed.top)
        SetWindowPos(window, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace

void FitMainWindowToItsMonitor(HWND window) {
    HMONITOR monitor = MonitorFromWindow(window, MONITOR_DEFAULTTOPRIMARY);
    const float scale = ScaleForMonitor(window, monitor, MonitorDpi(monitor));
    // The window was made for the unscaled layout: it takes the size of the scale in every case.
    if (scale != Ui().scale) ApplyScale(window, scale, nullptr);
    else FitMainWindowToScale(window, nullptr);
    KeepInsideWorkArea(window, monitor);
}

void OnDpiChanged(HWND window, UINT dpi, const RECT* suggested) {
    // The monitor the window moves to: its DPI, and its work area to fit.
    HMONITOR monitor = suggested ? MonitorFromRect(suggested, MONITOR_DEFAULTTONEAREST) : nullptr;
    const float scale = ScaleForMonitor(window, monitor, dpi);
    if (scale == Ui().scale) return;
    ApplyScale(window, scale, suggested);
    if (monitor) KeepInsideWorkArea(window, monitor);
}

void ReleaseMainWindowContents() {
    UiResources& ui = Ui();
    // A password typed but never sent is not left in the buffer of a control about to be freed.
    EmptySecretField(FormField::Password);
    // The controls die with their parent window; forget them so nothing reads a stale handle.
    for (int field = 0; field < static_cast<int>(FormField::Count); ++field)
        RegisterFormField(static_cast<FormField>(field), nullptr);
    ui.purposeCombo = nullptr;
    ResetKeyboardFocus();
    ui.drawResources.reset();
    ui.lastFrameTexts.clear();
    ui.uiFont.reset();
    ui.editBrush.reset();
}

void RefreshControlsAndRepaint() {
    UpdateChildControls();
    RepaintMainWindow();
}

void OnWorkerReport() {
    RestoreHotkeyAfterEndedCapture();
    RefreshControlsAndRepaint();
    if (HWND window = App().mainWindow.load()) ShowPageAddressesToCopy(window);
}

PaintInputs GatherPaintInputs() {
    PaintInputs inputs;
    inputs.state = TakeScreenSnapshot();
    inputs.focus = GetFocus();
    inputs.wallClockMs = WallClockMs();
    inputs.amountText = ReadFormField(FormField::Amount).substr(0, 63);
    inputs.focusRing = FocusRingRect();
    return inputs;
}

void OnMainPaint(HWND window) {
    UiResources& ui = Ui();
    std::vector<DrawnText>* texts = nullptr;
    if (ui.recordFrameTexts) {
        ui.lastFrameTexts.clear();
        texts = &ui.lastFrameTexts;
    }
    BufferedPaint(
        window, [](DrawContext& context, const RECT&) { PaintMainWindow(context, GatherPaintInputs); },
        ui.drawResources.get(), texts, ui.scale);
}

bool OnMainKeyDown(HWND window, WPARAM key) {
    // A hotkey capture in the personal centre takes every key first.
    if (HandleHotkeyCaptureKey(static_cast<uint32_t>(key))) return true;
    if (key == VK_ESCAPE) return ClosePanelWithEscape();
    if (key == VK_RETURN || key == VK_SPACE) return PressFocusedControl(window, key);
    if (key != VK_TAB) return false;
    MoveFieldFocus(window, GetKeyState(VK_SHIFT) < 0);
    return true;
}

void OnMainCommand(WPARAM wParam, LPARAM lParam) {
    AppState& app = App();
    const UINT code = HIWORD(wParam);
    HWND control = reinterpret_cast<HWND>(lParam);
    if (!control) return;

    if (code == EN_CHANGE && IsTimeField(control)) {
        if (Ui().programmaticEdit) return;
        {
            std::lock_guard<std::mutex> lock(app.stateMutex);
            if (control == FormFieldControl(FormField::ClickTime)) app.clickTimeEdited = true;
            else app.testTimeEdited = true;
        }
        MaskTimeField(control);
        return;
    }
    if (code == EN_MAXTEXT) {
        ReportFieldLimitReached(control);
        return;
    }
    if (code == EN_CHANGE && control == FormFieldControl(FormField::Amount)) {
        RepaintMainWindow();
        return;
    }
    if (code == EN_CHANGE &&
        (control == FormFieldControl(FormField::Account) || control == FormFieldControl(FormField::Password))) {
        FollowSignInFields();
        return;
    }
    if (code == EN_SETFOCUS || code == EN_KILLFOCUS) {
        if (code == EN_SETFOCUS) RememberFocusedField(control);
        if (code == EN_KILLFOCUS && IsTimeField(control)) NormaliseTimeField(control);
        RepaintMainWindow();
        return;
    }
    if (code == CBN_SELCHANGE && control == Ui().purposeCombo) {
        {
            std::lock_guard<std::mutex> lock(app.stateMutex);
            app.session.purposeSaved = false;
            app.statusText = L"用途已更改，请重新确认";
        }
        RefreshControlsAndRepaint();
    }
}

void OnMainTimer(HWND window) {
    RefreshCreditsWhenDue();
    RefreshUntouchedTimeFields();
    AppState& app = App();
    int64_t countdownTarget;
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        countdownTarget = app.countdownTargetMs;
    }
    if (countdownTarget > 0) {
        const RECT area = ScaledRect(kCountdownRepaintArea, Ui().scale);
        InvalidateRect(window, &area, FALSE);
    }
}

LRESULT OnEditColours(WPARAM wParam) {
    HDC dc = reinterpret_cast<HDC>(wParam);
    SetTextColor(dc, RGB(242, 247, 254));
    SetBkColor(dc, RGB(24, 41, 63));
    return reinterpret_cast<LRESULT>(Ui().editBrush.get());
}

LRESULT OnDisabledEditColours(WPARAM wParam) {
    HDC dc = reinterpret_cast<HDC>(wParam);
    SetTextColor(dc, RGB(106, 122, 144));
    SetBkColor(dc, RGB(24, 41, 63));
    return reinterpret_cast<LRESULT>(Ui().editBrush.get());
}

void OnTimeAligned() {
    const EditedTimeFields edited = TimeFieldsEdited();
    const std::wstring text = DefaultTimeText();
    {
        ProgrammaticEdit guard;
        if (!edited.click) WriteFormField(FormField::ClickTime, text);
        if (!edited.test) WriteFormField(FormField::TestTime, text);
    }
    RepaintMainWindow();
}

void OnPreparationDone() {
    RefreshControlsAndRepaint();
    AppState& app = App();
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        // Only over the bare dashboard: a panel the person opened meanwhile (a hotkey capture in the
        // personal centre, a top-up) stays; the purpose is asked for again at the first task button.
        if (app.session.logged_in && !app.session.purposeSaved && app.session.modalPanel == ModalPanelKind::None) {
            app.session.modalPanel = ModalPanelKind::Purpose;
            app.session.panelStatusAtOpen = app.statusText;
            app.session.panelDetailAtOpen = app.detailText;
            app.session.panelActionReported = false;
            app.session.pendingPurpose = app.session.savedPurpose;
        }
    }
    RefreshControlsAndRepaint();
}

void OnTaskStarted(HWND window) {
    if (Globals().selfTest) return;
    ShowWindow(window, SW_MINIMIZE);
    if (HWND overlay = App().countdownWindow.load()) RefreshCountdownOverlay(overlay);
}

void OnClickComing(HWND window) {
    if (Globals().selfTest) return;
    if (PickerWindow()) FinishPicking(false);
    if (!IsIconic(window)) ShowWindow(window, SW_MINIMIZE);
}

void OnTaskEnded(HWND window) {
    if (Globals().selfTest || GetForegroundWindow() == window) return;
    FLASHWINFO flash{};
    flash.cbSize = sizeof flash;
    flash.hwnd = window;
    flash.dwFlags = FLASHW_TRAY | FLASHW_TIMERNOFG;
    FlashWindowEx(&flash);
}

bool MayCloseMainWindow() {
    if (!App().taskBusy.load()) return true;
    return AskYesNo(kCloseWhileTaskWaitsText, kCloseWhileTaskWaitsCaption, MB_ICONWARNING);
}
