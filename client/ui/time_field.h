// Typing help for the two time-of-day fields: digits only, colons inserted while typing.
#pragma once

#include <windows.h>

#include <string>

// The digit a typed character stands for (ASCII or full-width digits), or 0 for any other character.
wchar_t TimeDigit(wchar_t c);

// The rewrite of a typed text: the first six digits (full-width ones as ASCII), with ":" after the
// 2nd and the 4th; every other character is dropped.
std::wstring MaskTimeText(const std::wstring& text);

// Where the caret goes after the rewrite, from the number of digits before it (at most 6 counted).
int MaskedCaretPosition(int digitsBeforeCaret, int newLength);

// Applies the rewrite to a field (the user typed into it); the caller marks the field as edited.
void MaskTimeField(HWND field);

// Puts the canonical form into the field when the parser accepts its text (on losing the focus).
void NormaliseTimeField(HWND field);

// Which of the two time fields the person has typed into: a proposal never replaces what they typed.
struct EditedTimeFields {
    bool click = false;
    bool test = false;
};
EditedTimeFields TimeFieldsEdited();

// An untouched proposed click time is proposed anew once it no longer leaves a start its lead (the
// room's 15 s, the test's 10 s): a person who waited on the dashboard never meets a default that
// lies in the past by the time they press. A field the person typed into, or is in, stays as it is.
// Run from the main window's timer.
void RefreshUntouchedTimeFields();
