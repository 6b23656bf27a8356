#include "ui/child_controls.h"

#include <commctrl.h>

#include <algorithm>

#include "core/form_fields.h"
#include "core/globals.h"
#include "core/purpose.h"
#include "ui/field_rules.h"
#include "ui/keyboard_navigation.h"
#include "ui/ui_resources.h"

namespace {

struct EditLayout {
    FormField field;
    int x, y, w, h;
    const wchar_t* text;  // null: the default time text
    int limit;
    DWORD extraStyle;
    RECT frame;  // the painted frame the control sits in
    const wchar_t* name;  // the field as its label names it, for what the status lines say about it
    FieldKind kind;
};

// Creation order, geometry, initial text, individual limit, painted frame, name and input rule of
// every edit control.
constexpr EditLayout kEdits[] = {
    {FormField::RoomCode, 341, 335, 223, 28, L"", 16, 0, {325, 322, 580, 376}, L"房间号", FieldKind::Text},
    {FormField::ClickTime, 341, 459, 88, 28, nullptr, 8, 0, {325, 446, 445, 500}, L"点击时间", FieldKind::TimeOfDay},
    {FormField::Participants, 466, 459, 98, 28, L"2", 6, ES_NUMBER, {450, 446, 580, 500}, L"人数", FieldKind::Digits},
    {FormField::JoinCode, 626, 335, 218, 28, L"", 16, 0, {610, 322, 860, 376}, L"房间号", FieldKind::Text},
    {FormField::TestTime, 906, 335, 228, 28, nullptr, 8, 0, {890, 322, 1150, 376}, L"计划触发时间",
     FieldKind::TimeOfDay},
    {FormField::SoftwareName, 516, 683, 158, 28, L"", 100, 0, {500, 672, 690, 724}, L"软件显示名称", FieldKind::Text},
    {FormField::BlacklistReason, 716, 683, 198, 28, L"", 255, 0, {700, 672, 930, 724}, L"加入黑名单原因",
     FieldKind::Text},
    {FormField::Account, 556, 335, 368, 28, L"", 190, 0, {540, 320, 940, 378}, L"邮箱或用户名", FieldKind::Text},
    {FormField::Password, 556, 415, 368, 28, L"", 200, ES_PASSWORD, {540, 400, 940, 458}, L"密码", FieldKind::Text},
    {FormField::EmailCode, 556, 495, 168, 28, L"", 6, ES_NUMBER, {540, 480, 740, 538}, L"邮箱验证码",
     FieldKind::Digits},
    {FormField::Amount, 356, 344, 164, 28, L"10", 8, 0, {340, 332, 570, 384}, L"充值金额", FieldKind::Text},
};

constexpr RECT kComboRect{530, 158, 810, 338};

RECT EditRect(const EditLayout& layout, float scale) {
    return ScaledRect({layout.x, layout.y, layout.x + layout.w, layout.y + layout.h}, scale);
}

HWND CreateEdit(HWND parent, const EditLayout& layout, const std::wstring& defaultTime, float scale) {
    const DWORD style = WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL | layout.extraStyle;
    const wchar_t* text = layout.text ? layout.text : defaultTime.c_str();
    const RECT r = EditRect(layout, scale);
    return CreateWindowExW(0, L"EDIT", text, style, r.left, r.top, r.right - r.left, r.bottom - r.top, parent,
                           nullptr, Globals().instance, nullptr);
}

void Show(HWND control, bool shown) {
    if (control) ShowWindow(control, shown ? SW_SHOW : SW_HIDE);
}

void Enable(HWND control, bool enabled) {
    if (control) EnableWindow(control, enabled);
}

}  // namespace

void CreateChildControls(HWND parent, HFONT font, const std::wstring& defaultTimeText, float scale) {
    for (const EditLayout& layout : kEdits) {
        HWND edit = CreateEdit(parent, layout, defaultTimeText, scale);
        RegisterFormField(layout.field, edit);
        AttachFieldKeys(edit);
        AttachFieldRules(edit, layout.field);
    }

    HWND& combo = Ui().purposeCombo;
    const RECT c = ScaledRect(kComboRect, scale);
    combo = CreateWindowExW(0, WC_COMBOBOXW, L"", WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST,
                            c.left, c.top, c.right - c.left, c.bottom - c.top, parent, nullptr, Globals().instance,
                            nullptr);
    if (combo) {
        for (const wchar_t* label : kPurposeLabels)
            SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(label));
        SendMessageW(combo, CB_SETCURSEL, 0, 0);
    }

    // Every edit gets the font, a limit of 16 and no margins first; then its own limit.
    for (const EditLayout& layout : kEdits) {
        HWND edit = FormFieldControl(layout.field);
        if (!edit) continue;
        SendMessageW(edit, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
        SendMessageW(edit, EM_SETLIMITTEXT, 16, 0);
        SendMessageW(edit, EM_SETMARGINS, EC_LEFTMARGIN | EC_RIGHTMARGIN, 0);
    }
    if (combo) SendMessageW(combo, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    for (const EditLayout& layout : kEdits)
        if (HWND edit = FormFieldControl(layout.field)) SendMessageW(edit, EM_SETLIMITTEXT, layout.limit, 0);
}

FieldRule RuleOf(FormField field) {
    for (const EditLayout& layout : kEdits)
        if (layout.field == field) return {layout.name, layout.limit, layout.kind};
    return {L"", 0, FieldKind::Text};
}

void PlaceChildControls(HFONT font, float scale) {
    for (const EditLayout& layout : kEdits) {
        HWND edit = FormFieldControl(layout.field);
        if (!edit) continue;
        const RECT r = EditRect(layout, scale);
        SetWindowPos(edit, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top, SWP_NOZORDER | SWP_NOACTIVATE);
        SendMessageW(edit, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
        SendMessageW(edit, EM_SETMARGINS, EC_LEFTMARGIN | EC_RIGHTMARGIN, 0);
    }
    if (HWND combo = Ui().purposeCombo) {
        const RECT c = ScaledRect(kComboRect, scale);
        SetWindowPos(combo, nullptr, c.left, c.top, c.right - c.left, c.bottom - c.top, SWP_NOZORDER | SWP_NOACTIVATE);
        SendMessageW(combo, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    }
}

RECT FieldFrame(FormField field) {
    for (const EditLayout& layout : kEdits)
        if (layout.field == field) return layout.frame;
    return RECT{0, 0, 0, 0};
}

bool FocusFieldInFrame(HWND parent, POINT clientPoint) {
    for (const EditLayout& layout : kEdits) {
        HWND edit = FormFieldControl(layout.field);
        if (!edit || GetParent(edit) != parent || !IsWindowVisible(edit) || !IsWindowEnabled(edit)) continue;
        const RECT& f = layout.frame;
        if (clientPoint.x < f.left || clientPoint.x >= f.right || clientPoint.y < f.top || clientPoint.y >= f.bottom)
            continue;
        // The point moved into the control, for the character nearest to it (in window pixels).
        RECT box{};
        GetWindowRect(edit, &box);
        MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&box), 2);
        const LONG pressX = ScaledLength(clientPoint.x, Ui().scale);
        const LONG x = std::clamp(pressX, box.left, box.right - 1) - box.left;
        const LONG y = (box.bottom - box.top) / 2;
        SetFocus(edit);
        const LRESULT found = SendMessageW(edit, EM_CHARFROMPOS, 0, MAKELPARAM(x, y));
        const WPARAM caret = LOWORD(found);
        SendMessageW(edit, EM_SETSEL, caret, caret);
        return true;
    }
    return false;
}

ChildControlRules ComputeChildControlRules(bool loggedIn, bool developer, bool purposeSaved,
                                           ModalPanelKind panel, AuthFormMode mode) {
    ChildControlRules rules;
    const bool noPanel = panel == ModalPanelKind::None;
    rules.dashboardFieldsShown = loggedIn && noPanel;
    rules.dashboardFieldsEnabled = purposeSaved && noPanel;
    rules.developerFieldsShown = loggedIn && developer && noPanel;
    rules.accountFieldsShown = !loggedIn;
    rules.emailCodeShown = !loggedIn && mode != AuthFormMode::Login;
    rules.amountShown = loggedIn && panel == ModalPanelKind::TopUp;
    return rules;
}

void UpdateChildControls() {
    AppState& app = App();
    ChildControlRules rules;
    bool loggedIn;
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        loggedIn = app.session.logged_in;
        const Session& session = app.session;
        rules = ComputeChildControlRules(loggedIn, session.developer_user, session.purposeSaved, session.modalPanel,
                                         app.authFormMode);
    }
    for (FormField field : {FormField::RoomCode, FormField::ClickTime, FormField::Participants, FormField::JoinCode,
                            FormField::TestTime}) {
        Show(FormFieldControl(field), rules.dashboardFieldsShown);
        Enable(FormFieldControl(field), rules.dashboardFieldsEnabled);
    }
    Show(FormFieldControl(FormField::SoftwareName), rules.developerFieldsShown);
    Show(FormFieldControl(FormField::BlacklistReason), rules.developerFieldsShown);
    Show(FormFieldControl(FormField::Account), rules.accountFieldsShown);
    Show(FormFieldControl(FormField::Password), rules.accountFieldsShown);
    Show(FormFieldControl(FormField::EmailCode), rules.emailCodeShown);
    Show(FormFieldControl(FormField::Amount), rules.amountShown);
    Show(Ui().purposeCombo, false);
    if (loggedIn) EmptySecretField(FormField::Password);
    if (HWND window = app.mainWindow) KeepFocusOnVisibleField(window);
}
