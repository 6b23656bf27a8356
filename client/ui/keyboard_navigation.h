// Keyboard use of the main window's forms, as every Windows form has it: Tab and Shift+Tab move
// between the visible fields of the current screen in reading order, Enter in a field of the
// account form presses the form's main button, Esc closes an open panel.
#pragma once

#include <windows.h>

#include <vector>

// Lets the field's control answer Tab, Shift+Tab and Enter (called once per created field).
void AttachFieldKeys(HWND field);

// The visible, enabled fields of the current screen, top to bottom and left to right.
std::vector<HWND> FieldsInReadingOrder();

// Moves the focus from `from` to the next (or previous) field, wrapping around; from a window that
// is not one of the fields, to the first (or last) one. False when the screen has no field.
bool MoveFieldFocus(HWND from, bool backwards);

// The main window got the focus: hand it on to the field that had it last, or the first field.
void OnMainSetFocus(HWND window);
// A field got the focus (remembered for when the window gets it back).
void RememberFocusedField(HWND field);
// After the screen changed: a focused field that is now hidden or disabled gives the focus to the
// first field of the new screen (or to the window when it has none).
void KeepFocusOnVisibleField(HWND window);
