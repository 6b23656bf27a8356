#include "core/form_fields.h"

#include <algorithm>
#include <array>

#include "core/holders.h"

namespace {

std::array<HWND, static_cast<size_t>(FormField::Count)>& Controls() {
    static std::array<HWND, static_cast<size_t>(FormField::Count)> controls{};
    return controls;
}

size_t IndexOf(FormField field) { return static_cast<size_t>(field); }

}  // namespace

void RegisterFormField(FormField field, HWND control) {
    if (IndexOf(field) < Controls().size()) Controls()[IndexOf(field)] = control;
}

HWND FormFieldControl(FormField field) {
    return IndexOf(field) < Controls().size() ? Controls()[IndexOf(field)] : nullptr;
}

std::wstring ReadFormField(FormField field) {
    HWND control = FormFieldControl(field);
    if (!control) return {};
    // Read the whole text however long it is (a name the picker wrote may be longer than what the
    // user could type). The length is only a hint, so a text that fills the buffer is read again
    // into a larger one; the smaller buffer is wiped first, as the text may be a password.
    // At least 32 characters, so the text never lives inside the string object itself, where a move
    // would copy it and leave it behind.
    int capacity = std::max(GetWindowTextLengthW(control) + 2, 32);
    std::wstring text;
    for (;;) {
        text.assign(static_cast<size_t>(capacity), L'\0');
        const int copied = GetWindowTextW(control, text.data(), capacity);
        if (copied < capacity - 1 || capacity >= (1 << 24)) {
            text.resize(copied > 0 ? static_cast<size_t>(copied) : 0);
            return text;
        }
        SecureWipe(text);  // before the larger buffer replaces this one
        capacity *= 2;
    }
}

void WriteFormField(FormField field, const std::wstring& text) {
    if (HWND control = FormFieldControl(field)) SetWindowTextW(control, text.c_str());
}

void EmptySecretControl(HWND control) {
    if (!control) return;
    const int length = GetWindowTextLengthW(control);
    if (length > 0) SetWindowTextW(control, std::wstring(static_cast<size_t>(length), L'*').c_str());
    SetWindowTextW(control, L"");
}

void EmptySecretField(FormField field) { EmptySecretControl(FormFieldControl(field)); }
