#include "ui/keyboard_navigation.h"

#include <commctrl.h>

#include <algorithm>

#include "core/app_state.h"
#include "core/form_fields.h"
#include "ui/child_controls.h"
#include "ui/modal_panels.h"
#include "ui/signed_out_actions.h"

namespace {

constexpr UINT_PTR kFieldKeysId = 1;
// Items whose tops differ by less than this stand on one line of the screen (a check box and its
// link text, a field and the button beside it).
constexpr LONG kSameLinePx = 12;

HWND& LastFocusedField() {
    static HWND field = nullptr;
    return field;
}

std::optional<ClickHit>& FocusedHit() {
    static std::optional<ClickHit> hit;
    return hit;
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

// Whether the focused control is still one of the screen's stops.
bool FocusedHitIsAStop(const std::vector<FocusStop>& stops) {
    if (!FocusedHit()) return false;
    return std::any_of(stops.begin(), stops.end(),
                       [](const FocusStop& s) { return !s.field && s.control.hit == *FocusedHit(); });
}

// Where the focus starts on a screen: its first field, where it has one (a person who arrives at a
// form means to type), otherwise its first control, but never "退出": an Enter meant for the screen
// would end the program (it stands first in reading order, at the top right). Null: nowhere.
const FocusStop* StartingStop(const std::vector<FocusStop>& order) {
    const auto field = std::find_if(order.begin(), order.end(), [](const FocusStop& s) { return s.field != nullptr; });
    if (field != order.end()) return &*field;
    const auto control =
        std::find_if(order.begin(), order.end(), [](const FocusStop& s) { return !s.control.endsProgram; });
    return control != order.end() ? &*control : nullptr;
}

void Focus(const FocusStop& stop) {
    HWND main = App().mainWindow.load();
    if (stop.field) {
        FocusedHit().reset();
        SetFocus(stop.field);
        // Like a dialog, a field reached with the keyboard has its whole text selected.
        SendMessageW(stop.field, EM_SETSEL, 0, -1);
    } else {
        // Set first: the window's own focus handler then leaves the focus with it.
        FocusedHit() = stop.control.hit;
        if (main && GetFocus() != main) SetFocus(main);
    }
    if (main) RepaintMainWindow();
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

void SortIntoReadingOrder(std::vector<FocusStop>& stops) {
    std::stable_sort(stops.begin(), stops.end(),
                     [](const FocusStop& a, const FocusStop& b) { return a.rect.top < b.rect.top; });
    // Lines: each starts at the first item not within kSameLinePx of the line's first top.
    for (size_t begin = 0; begin < stops.size();) {
        size_t end = begin + 1;
        while (end < stops.size() && stops[end].rect.top - stops[begin].rect.top < kSameLinePx) ++end;
        std::stable_sort(stops.begin() + static_cast<std::ptrdiff_t>(begin),
                         stops.begin() + static_cast<std::ptrdiff_t>(end),
                         [](const FocusStop& a, const FocusStop& b) { return a.rect.left < b.rect.left; });
        begin = end;
    }
}

std::vector<FocusStop> FocusStopsInReadingOrder() {
    std::vector<FocusStop> stops;
    for (int index = 0; index < static_cast<int>(FormField::Count); ++index) {
        const FormField field = static_cast<FormField>(index);
        HWND control = FormFieldControl(field);
        if (!Usable(control)) continue;
        FocusStop stop;
        stop.field = control;
        stop.rect = FieldFrame(field);
        stops.push_back(stop);
    }
    for (const ClickStop& control : ClickStops(TakeClickConditions())) {
        FocusStop stop;
        stop.control = control;
        stop.rect = control.region;
        stops.push_back(stop);
    }
    SortIntoReadingOrder(stops);
    return stops;
}

bool MoveFieldFocus(HWND from, bool backwards) {
    const std::vector<FocusStop> order = FocusStopsInReadingOrder();
    if (order.empty()) return false;
    auto at = order.end();
    if (IsFieldControl(from)) {
        at = std::find_if(order.begin(), order.end(), [from](const FocusStop& s) { return s.field == from; });
    } else if (FocusedHit()) {
        at = std::find_if(order.begin(), order.end(),
                          [](const FocusStop& s) { return !s.field && s.control.hit == *FocusedHit(); });
    }
    size_t next;
    if (at == order.end()) {
        next = backwards ? order.size() - 1 : 0;
    } else {
        const size_t index = static_cast<size_t>(at - order.begin());
        next = backwards ? (index + order.size() - 1) % order.size() : (index + 1) % order.size();
    }
    Focus(order[next]);
    return true;
}

std::optional<ClickHit> FocusedControl() { return FocusedHit(); }

RECT FocusRingRect() {
    HWND main = App().mainWindow.load();
    if (!FocusedHit() || !main || GetFocus() != main) return RECT{0, 0, 0, 0};
    for (const ClickStop& stop : ClickStops(TakeClickConditions()))
        if (stop.hit == *FocusedHit()) return stop.region;
    return RECT{0, 0, 0, 0};
}

bool PressFocusedControl(HWND window, WPARAM key) {
    if (!FocusedHit() || GetFocus() != window) return false;
    const std::vector<ClickStop> stops = ClickStops(TakeClickConditions());
    const auto stop =
        std::find_if(stops.begin(), stops.end(), [](const ClickStop& s) { return s.hit == *FocusedHit(); });
    if (stop == stops.end()) return false;
    // Enter on a check box of the account form means the form, as it does in its fields.
    if (key == VK_RETURN && stop->checkbox) SubmitSignedOutForm();
    else RunClickRow(window, stop->hit);
    KeepFocusOnVisibleField(window);
    return true;
}

void ResetKeyboardFocus() {
    FocusedHit().reset();
    LastFocusedField() = nullptr;
}

void ForgetFocusedControl(HWND window) {
    if (!FocusedHit()) return;
    FocusedHit().reset();
    RepaintMainWindow();
    if (GetFocus() == window) OnMainSetFocus(window);
}

void OnMainSetFocus(HWND window) {
    const std::vector<FocusStop> order = FocusStopsInReadingOrder();
    if (FocusedHitIsAStop(order)) {
        RepaintMainWindow();
        return;
    }
    FocusedHit().reset();
    HWND last = LastFocusedField();
    if (Usable(last)) {
        SetFocus(last);
        return;
    }
    if (const FocusStop* start = StartingStop(order)) Focus(*start);
    (void)window;
}

void RememberFocusedField(HWND field) {
    if (!IsFieldControl(field)) return;
    LastFocusedField() = field;
    FocusedHit().reset();
}

void KeepFocusOnVisibleField(HWND window) {
    HWND focus = GetFocus();
    const std::vector<FocusStop> order = FocusStopsInReadingOrder();
    if (focus == window && FocusedHit()) {
        if (FocusedHitIsAStop(order)) return;
        FocusedHit().reset();
        if (const FocusStop* start = StartingStop(order)) Focus(*start);
        return;
    }
    if (!focus || !IsFieldControl(focus) || Usable(focus)) return;
    if (const FocusStop* start = StartingStop(order)) Focus(*start);
    else SetFocus(window);
}
