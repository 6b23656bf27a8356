// What each text field takes. A field never cuts what does not fit: a paste that is too long, or that
// breaks the field's rule (digits only, a time of day), is refused as a whole and the status lines
// say why; typing past the limit is stopped by the control and reported the same way.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "core/form_fields.h"

enum class FieldKind {
    Text,       // anything up to the limit
    Digits,     // 0–9 only
    TimeOfDay,  // digits (also full-width), colons and blanks; six digits at most
};

struct FieldRule {
    const wchar_t* name;  // as the form labels it: "人数", "邮箱或用户名", …
    int limit;            // characters
    FieldKind kind;
};

// The rule of a field (the limits are those the controls are created with).
FieldRule RuleOf(FormField field);

// Why a paste into a field whose text is `current`, with the selection [selStart, selEnd), is refused;
// nothing when the pasted text (`pasted` without the line break a copied line often ends with) may
// go in. Pure: no window, no clipboard.
std::optional<std::wstring> RefusePaste(const FieldRule& rule, const std::wstring& current, size_t selStart,
                                        size_t selEnd, const std::wstring& pasted);
// The pasted text as it goes in: a trailing line break removed.
std::wstring PastedLine(const std::wstring& pasted);
// The detail line when typing reached the limit: "邮箱验证码最多 6 个字符".
std::wstring LimitReachedText(const FieldRule& rule);

inline constexpr wchar_t kPasteRefusedStatus[] = L"粘贴的内容没有填入";
inline constexpr wchar_t kLimitReachedStatus[] = L"输入已达上限";

// Lets the field's control refuse a paste by its rule (called once per created field).
void AttachFieldRules(HWND control, FormField field);
// EN_MAXTEXT of a field: typing went past its limit; the status lines say so.
void ReportFieldLimitReached(HWND control);
