// Typing help for the two time-of-day fields: digits only, colons inserted while typing.
#pragma once

#include <windows.h>

#include <string>

// The rewrite of a typed text: the first six decimal digits, with ":" after the 2nd and the 4th.
std::wstring MaskTimeText(const std::wstring& text);

// Where the caret goes after the rewrite, from the number of digits before it (at most 6 counted).
int MaskedCaretPosition(int digitsBeforeCaret, int newLength);

// Applies the rewrite to a field (the user typed into it); the caller marks the field as edited.
void MaskTimeField(HWND field);

// Puts the canonical form into the field when the parser accepts its text (on losing the focus).
void NormaliseTimeField(HWND field);
