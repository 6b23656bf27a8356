#include "ui/main_window_events.h"

#include "core/app_state.h"
#include "core/form_fields.h"
#include "core/globals.h"
#include "core/holders.h"
#include "timesync/time_of_day.h"
#include "ui/child_controls.h"
#include "ui/time_field.h"
#include "ui/ui_resources.h"

namespace {

void Repaint(HWND window) { InvalidateRect(window, nullptr, FALSE); }

bool IsTimeField(HWND control) {
    return control && (control == FormFieldControl(FormField::ClickTime) ||
                       control == FormFieldControl(FormField::TestTime));
}

}  // namespace

bool CreateMainWindowContents(HWND window) {
    UiResources& ui = Ui();
    ui.editBrush.reset(CreateSolidBrush(RGB(24, 41, 63)));
    ui.uiFont.reset(CreateFontW(-17, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                                CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH, L"Microsoft YaHei UI"));
    CreateChildControls(window, ui.uiFont.get(), DefaultTimeText());
    return true;
}

void ReleaseMainWindowContents() {
    UiResources& ui = Ui();
    // The controls die with their parent window; forget them so nothing reads a stale handle.
    for (int field = 0; field < static_cast<int>(FormField::Count); ++field)
        RegisterFormField(static_cast<FormField>(field), nullptr);
    ui.purposeCombo = nullptr;
    ui.uiFont.reset();
    ui.editBrush.reset();
}

void RefreshControlsAndRepaint(HWND window) {
    UpdateChildControls();
    Repaint(window);
}

void OnMainPaint(HWND window) {
    PaintScope paint(window);
    HDC dc = paint.dc();
    RECT client;
    GetClientRect(window, &client);
    ScopedBrush background(CreateSolidBrush(RGB(0x08, 0x0E, 0x18)));
    FillRect(dc, &client, background.get());

    std::wstring status, detail;
    {
        AppState& app = App();
        std::lock_guard<std::mutex> lock(app.stateMutex);
        status = app.statusText;
        detail = app.detailText;
    }
    HGDIOBJ font = Ui().uiFont ? static_cast<HGDIOBJ>(Ui().uiFont.get()) : GetStockObject(DEFAULT_GUI_FONT);
    SelectedObject selectedFont(dc, font);
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
}

void OnMainCommand(HWND window, WPARAM wParam, LPARAM lParam) {
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
    if (code == EN_CHANGE && control == FormFieldControl(FormField::Amount)) {
        Repaint(window);
        return;
    }
    if (code == EN_SETFOCUS || code == EN_KILLFOCUS) {
        if (code == EN_KILLFOCUS && IsTimeField(control)) NormaliseTimeField(control);
        Repaint(window);
        return;
    }
    if (code == CBN_SELCHANGE && control == Ui().purposeCombo) {
        {
            std::lock_guard<std::mutex> lock(app.stateMutex);
            app.purposeSaved = false;
            app.statusText = L"用途已更改，请重新确认";
        }
        RefreshControlsAndRepaint(window);
    }
}

void OnMainTimer(HWND window) {
    AppState& app = App();
    int64_t countdownTarget;
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        countdownTarget = app.countdownTargetMs;
    }
    if (countdownTarget > 0) InvalidateRect(window, &kCountdownArea, FALSE);
}

LRESULT OnEditColours(WPARAM wParam) {
    HDC dc = reinterpret_cast<HDC>(wParam);
    SetTextColor(dc, RGB(242, 247, 254));
    SetBkColor(dc, RGB(24, 41, 63));
    return reinterpret_cast<LRESULT>(Ui().editBrush.get());
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
        if (!clickEdited) WriteFormField(FormField::ClickTime, text);
        if (!testEdited) WriteFormField(FormField::TestTime, text);
    }
    Repaint(window);
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
