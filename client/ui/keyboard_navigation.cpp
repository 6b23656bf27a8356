#include "ui/keyboard_navigation.h"

#include <commctrl.h>

#include <algorithm>

#include "core/form_fields.h"
#include "ui/modal_panels.h"
#include "ui/signed_out_actions.h"

namespace {

constexpr UINT_PTR kFieldKeysId = 1;

HWND& LastFocusedField() {
    static HWND field = nullptr;
    return field;
}

bool IsFieldControl(HWND window) {
    if (!window) return false;
    for (int field = 0; field < static_cast<int>(FormField::Count); ++field)
        if (FormFieldControl(static_cast<FormField>(field)) == window) return true;
    return false;
}

bool Usable(HWND field) {
    return field && (GetWindowLongW(field, GWL_STYLE) & WS_VISIBLE) && IsWindowEnabled(field);
}

bool IsAccountFormField(HWND window) {
    return window && (window == FormFieldControl(FormField::Account) ||
                      window == FormFieldControl(FormField::Password) ||
                      window == FormFieldControl(FormField::EmailCode));
}

LRESULT CALLBACK FieldKeysProc(HWND field, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR) {
    switch (message) {
        case WM_KEYDOWN:
            if (wParam == VK_TAB) {
                MoveFieldFocus(field, GetKeyState(VK_SHIFT) < 0);
                return 0;
            }
            if (wParam == VK_RETURN) {
                if (IsAccountFormField(field)) SubmitSignedOutForm();
                return 0;
            }
            if (wParam == VK_ESCAPE && ClosePanelWithEscape()) return 0;
            break;
        case WM_CHAR:
            // The characters of those keys would only make a single-line field beep.
            if (wParam == L'\t' || wParam == L'\r' || wParam == L'\n' || wParam == 0x1B) return 0;
            break;
        case WM_NCDESTROY:
            RemoveWindowSubclass(field, FieldKeysProc, kFieldKeysId);
            if (LastFocusedField() == field) LastFocusedField() = nullptr;
            break;
        default: break;
    }
    return DefSubclassProc(field, message, wParam, lParam);
}

}  // namespace

void AttachFieldKeys(HWND field) {
    if (field) SetWindowSubclass(field, FieldKeysProc, kFieldKeysId, 0);
}

std::vector<HWND> FieldsInReadingOrder() {
    struct Placed {
        HWND field;
        RECT rect;
    };
    std::vector<Placed> placed;
    for (int index = 0; index < static_cast<int>(FormField::Count); ++index) {
        HWND field = FormFieldControl(static_cast<FormField>(index));
        if (!Usable(field)) continue;
        RECT rect{};
        GetWindowRect(field, &rect);
        placed.push_back({field, rect});
    }
    std::stable_sort(placed.begin(), placed.end(), [](const Placed& a, const Placed& b) {
        return a.rect.top != b.rect.top ? a.rect.top < b.rect.top : a.rect.left < b.rect.left;
    });
    std::vector<HWND> order;
    for (const Placed& p : placed) order.push_back(p.field);
    return order;
}

bool MoveFieldFocus(HWND from, bool backwards) {
    const std::vector<HWND> order = FieldsInReadingOrder();
    if (order.empty()) return false;
    const auto at = std::find(order.begin(), order.end(), from);
    size_t next;
    if (at == order.end()) {
        next = backwards ? order.size() - 1 : 0;
    } else {
        const size_t index = static_cast<size_t>(at - order.begin());
        next = backwards ? (index + order.size() - 1) % order.size() : (index + 1) % order.size();
    }
    SetFocus(order[next]);
    // Like a dialog, a field reached with the keyboard has its whole text selected.
    SendMessageW(order[next], EM_SETSEL, 0, -1);
    return true;
}

void OnMainSetFocus(HWND) {
    HWND last = LastFocusedField();
    if (Usable(last)) {
        SetFocus(last);
        return;
    }
    const std::vector<HWND> order = FieldsInReadingOrder();
    if (!order.empty()) SetFocus(order.front());
}

void RememberFocusedField(HWND field) {
    if (IsFieldControl(field)) LastFocusedField() = field;
}

void KeepFocusOnVisibleField(HWND window) {
    HWND focus = GetFocus();
    if (!focus || !IsFieldControl(focus) || Usable(focus)) return;
    const std::vector<HWND> order = FieldsInReadingOrder();
    SetFocus(order.empty() ? window : order.front());
}
