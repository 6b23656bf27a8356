// Keyboard use of the main window, as every Windows form has it: Tab and Shift+Tab move through
// every control of the current screen in reading order (the text fields and the painted buttons,
// check boxes, links and purpose cards), Space toggles a check box or presses a button, Enter presses
// the focused button (in a field or on a check box of the account form: the form's main button), Esc
// closes an open panel. The focus is always shown: a field by its frame, a painted control by a ring.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "ui/click_regions.h"

// Lets the field's control answer Tab, Shift+Tab and Enter (called once per created field).
void AttachFieldKeys(HWND field);

// One place the keyboard focus can be: a text field, or a painted control of the click tables.
struct FocusStop {
    HWND field = nullptr;  // a field, or null for a painted control
    ClickStop control{};
    RECT rect{};  // client pixels: the field's frame or the control's region
};

// The stops of the current screen: visible, enabled fields and the clickable controls drawn, sorted
// top to bottom (items whose tops lie within a few pixels count as one line), then left to right.
std::vector<FocusStop> FocusStopsInReadingOrder();
// The same rule, for tests: sorts `stops` into reading order.
void SortIntoReadingOrder(std::vector<FocusStop>& stops);

// Moves the focus from where it is (a field, a painted control, or neither) to the next (or previous)
// stop, wrapping around. False when the screen has none.
bool MoveFieldFocus(HWND from, bool backwards);

// The painted control that has the keyboard focus (the main window holds the focus meanwhile).
std::optional<ClickHit> FocusedControl();
// Where the focus ring is drawn: the focused painted control's region, or an empty rectangle.
RECT FocusRingRect();
// Space or Enter on the main window while a painted control has the focus; false when none has.
bool PressFocusedControl(HWND window, WPARAM key);
// The window is going: no painted control keeps the focus for the next one.
void ResetKeyboardFocus();
// A press of the mouse: the ring goes, the focus returns to a field.
void ForgetFocusedControl(HWND window);

// The main window got the focus: hand it on to the field that had it last, or the first stop.
void OnMainSetFocus(HWND window);
// A field got the focus (remembered for when the window gets it back).
void RememberFocusedField(HWND field);
// After the screen changed: a focused field or control that is gone or disabled gives the focus to
// the first stop of the new screen (or to the window when it has none).
void KeepFocusOnVisibleField(HWND window);
