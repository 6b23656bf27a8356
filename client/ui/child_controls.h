// The child controls of the main window: standard EDIT controls over painted frames, and the
// (never shown) purpose combo box.
#pragma once

#include <windows.h>

#include <string>

#include "core/app_state.h"
#include "core/form_fields.h"

// Creates the twelve controls in their fixed order, with the font, limits and initial texts, and
// registers the edit controls as the form's fields (the combo box stays with the user interface). A control that cannot be created stays null.
void CreateChildControls(HWND parent, HFONT font, const std::wstring& defaultTimeText, float scale = 1.0f);
// Moves and resizes the controls for a new scale and gives them the font made for it.
void PlaceChildControls(HFONT font, float scale);

// The painted frame behind the field's control.
RECT FieldFrame(FormField field);

// A press at `clientPoint` (layout pixels) inside the painted frame of a shown, enabled field but beside its control
// (the frame is taller than the control): the field takes the focus, with the caret at the nearest
// character, as a press on the control itself would. False when the point is in no such frame.
bool FocusFieldInFrame(HWND parent, POINT clientPoint);

// Which controls the current screen shows and enables.
struct ChildControlRules {
    bool dashboardFieldsShown = false;    // room code, click time, participants, join code, test time
    bool dashboardFieldsEnabled = false;
    bool developerFieldsShown = false;    // software name, blacklist reason
    bool accountFieldsShown = false;      // account, password
    bool emailCodeShown = false;
    bool amountShown = false;
};

ChildControlRules ComputeChildControlRules(bool loggedIn, bool developer, bool purposeSaved,
                                           ModalPanelKind panel, AuthFormMode mode);

// Applies the rules to the controls from one snapshot of AppState; while signed in it also empties
// the password field.
void UpdateChildControls();
