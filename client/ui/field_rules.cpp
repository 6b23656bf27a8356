#include "ui/field_rules.h"

#include <commctrl.h>

#include <algorithm>

#include "core/app_state.h"
#include "core/clipboard.h"
#include "core/holders.h"
#include "ui/modal_panels.h"
#include "ui/time_field.h"

namespace {

constexpr UINT_PTR kFieldRulesId = 2;

bool IsLineBreak(wchar_t c) { return c == L'\r' || c == L'\n'; }

// The status lines of a refusal; over an open panel when the field belongs to it.
void Report(const wchar_t* title, std::wstring detail) {
    MessageBeep(MB_ICONWARNING);
    bool panelOpen;
    {
        AppState& app = App();
        std::lock_guard<std::mutex> lock(app.stateMutex);
        panelOpen = app.session.modalPanel != ModalPanelKind::None;
    }
    if (panelOpen) ReportPanelActionOverThePanel();
    SetStatus(title, std::move(detail));
}

std::optional<FormField> FieldOf(HWND control) {
    for (int index = 0; index < static_cast<int>(FormField::Count); ++index)
        if (FormFieldControl(static_cast<FormField>(index)) == control) return static_cast<FormField>(index);
    return std::nullopt;
}

LRESULT CALLBACK FieldRulesProc(HWND control, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR field) {
    if (message == WM_PASTE) {
        const std::wstring pasted = ClipboardText(control);
        if (pasted.empty()) return 0;
        const int length = GetWindowTextLengthW(control);
        std::wstring current(static_cast<size_t>(length) + 1, L'\0');
        GetWindowTextW(control, current.data(), length + 1);
        current.resize(static_cast<size_t>(length));
        DWORD start = 0, end = 0;
        SendMessageW(control, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
        const FieldRule rule = RuleOf(static_cast<FormField>(field));
        const std::optional<std::wstring> refusal = RefusePaste(rule, current, start, end, pasted);
        // The field may hold a password: its copy is wiped.
        SecureWipe(current);
        if (refusal) {
            Report(kPasteRefusedStatus, *refusal);
            return 0;
        }
        const std::wstring line = PastedLine(pasted);
        SendMessageW(control, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(line.c_str()));
        return 0;
    }
    if (message == WM_NCDESTROY) RemoveWindowSubclass(control, FieldRulesProc, kFieldRulesId);
    return DefSubclassProc(control, message, wParam, lParam);
}

}  // namespace

std::wstring PastedLine(const std::wstring& pasted) {
    std::wstring line = pasted;
    while (!line.empty() && IsLineBreak(line.back())) line.pop_back();
    return line;
}

std::optional<std::wstring> RefusePaste(const FieldRule& rule, const std::wstring& current, size_t selStart,
                                        size_t selEnd, const std::wstring& pasted) {
    const std::wstring line = PastedLine(pasted);
    const std::wstring name = rule.name;
    if (line.find_first_of(L"\r\n") != std::wstring::npos) return name + L"只能填写一行，粘贴的内容有多行";
    selStart = std::min(selStart, current.size());
    selEnd = std::min(std::max(selEnd, selStart), current.size());
    const std::wstring result = current.substr(0, selStart) + line + current.substr(selEnd);
    switch (rule.kind) {
        case FieldKind::Digits:
            if (line.find_first_not_of(L"0123456789") != std::wstring::npos) return name + L"只能填写数字";
            break;
        case FieldKind::TimeOfDay: {
            int digits = 0;
            for (wchar_t c : result) {
                if (TimeDigit(c)) ++digits;
                else if (c != L':' && c != L'：' && c != L' ') return name + L"按“时:分:秒”填写，粘贴的内容不是时间";
            }
            if (digits > 6) return name + L"按“时:分:秒”填写，粘贴的内容不是时间";
            break;
        }
        case FieldKind::Text: break;
    }
    if (result.size() > static_cast<size_t>(rule.limit))
        return name + L"最多 " + std::to_wstring(rule.limit) + L" 个字符，粘贴的内容放不下";
    return std::nullopt;
}

std::wstring LimitReachedText(const FieldRule& rule) {
    return std::wstring(rule.name) + L"最多 " + std::to_wstring(rule.limit) + L" 个字符";
}

void AttachFieldRules(HWND control, FormField field) {
    if (control) SetWindowSubclass(control, FieldRulesProc, kFieldRulesId, static_cast<DWORD_PTR>(field));
}

void ReportFieldLimitReached(HWND control) {
    if (const std::optional<FormField> field = FieldOf(control))
        Report(kLimitReachedStatus, LimitReachedText(RuleOf(*field)));
}
