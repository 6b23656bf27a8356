#include "ui/time_field.h"

#include <algorithm>
#include <vector>

#include "core/app_state.h"
#include "core/form_fields.h"
#include "tasks/task_request.h"
#include "timesync/time_of_day.h"
#include "ui/ui_resources.h"

namespace {

std::wstring WindowText(HWND window) {
    int length = GetWindowTextLengthW(window);
    std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1);
    int read = GetWindowTextW(window, buffer.data(), length + 1);
    return std::wstring(buffer.data(), static_cast<size_t>(std::max(read, 0)));
}

}  // namespace

wchar_t TimeDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c;
    // A Chinese input method in full-width mode types U+FF10–U+FF19; they mean the same digits.
    // Everything else is dropped, also other characters the runtime counts as digits, which the
    // time-of-day parser would refuse.
    if (c >= 0xFF10 && c <= 0xFF19) return static_cast<wchar_t>(L'0' + (c - 0xFF10));
    return 0;
}

std::wstring MaskTimeText(const std::wstring& text) {
    std::wstring digits;
    for (wchar_t c : text) {
        if (digits.size() == 6) break;
        if (const wchar_t digit = TimeDigit(c)) digits.push_back(digit);
    }
    std::wstring out;
    for (size_t i = 0; i < digits.size(); ++i) {
        out.push_back(digits[i]);
        if (i == 1 || i == 3) out.push_back(L':');
    }
    return out;
}

int MaskedCaretPosition(int digitsBeforeCaret, int newLength) {
    int caret = digitsBeforeCaret;
    if (digitsBeforeCaret > 1) ++caret;
    if (digitsBeforeCaret > 3) ++caret;
    return std::min(caret, newLength);
}

void MaskTimeField(HWND field) {
    if (!field) return;
    const std::wstring current = WindowText(field);
    const std::wstring masked = MaskTimeText(current);
    if (masked == current) return;

    DWORD selectionStart = 0;
    SendMessageW(field, EM_GETSEL, reinterpret_cast<WPARAM>(&selectionStart), 0);
    int digitsBefore = 0;
    for (size_t i = 0; i < current.size() && i < selectionStart && digitsBefore < 6; ++i)
        if (TimeDigit(current[i])) ++digitsBefore;

    ProgrammaticEdit guard;
    SetWindowTextW(field, masked.c_str());
    const int caret = MaskedCaretPosition(digitsBefore, static_cast<int>(masked.size()));
    SendMessageW(field, EM_SETSEL, caret, caret);
}

void NormaliseTimeField(HWND field) {
    if (!field) return;
    std::optional<std::wstring> canonical = ParseTimeOfDay(WindowText(field));
    if (!canonical) return;
    ProgrammaticEdit guard;
    SetWindowTextW(field, canonical->c_str());
    const int end = static_cast<int>(canonical->size());
    SendMessageW(field, EM_SETSEL, end, end);
}

EditedTimeFields TimeFieldsEdited() {
    AppState& app = App();
    std::lock_guard<std::mutex> lock(app.stateMutex);
    return {app.clickTimeEdited, app.testTimeEdited};
}

void RefreshUntouchedTimeFields() {
    const EditedTimeFields edited = TimeFieldsEdited();
    const int64_t now = UnifiedNowMs();
    const struct {
        FormField field;
        bool edited;
        int64_t leadMs;
    } fields[] = {{FormField::ClickTime, edited.click, kRoomLeadMs}, {FormField::TestTime, edited.test, kSyncTestLeadMs}};
    for (const auto& f : fields) {
        HWND control = FormFieldControl(f.field);
        if (f.edited || !control || GetFocus() == control) continue;
        const std::wstring shown = ReadFormField(f.field);
        if (ClickTimeFarEnough(TimeOfDayToUnifiedMsAt(shown, now), now, f.leadMs)) continue;
        // Near midnight the proposal stops at 23:59:59: written once, not at every tick.
        const std::wstring proposed = DefaultTimeTextAt(now);
        if (proposed == shown) continue;
        ProgrammaticEdit guard;
        WriteFormField(f.field, proposed);
    }
}
