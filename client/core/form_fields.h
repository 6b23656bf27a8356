// The text fields the user types into, by name, for the user-interface-thread parts of every
// subsystem. The user interface creates the controls and registers them here; actions below it
// (login, rooms, payments, …) read and write the fields through these functions and never see a
// window handle. User-interface thread only: nothing here is locked.
#pragma once

#include <windows.h>

#include <string>

enum class FormField : int {
    RoomCode,
    ClickTime,
    Participants,
    JoinCode,
    TestTime,
    SoftwareName,
    BlacklistReason,
    Account,
    Password,
    EmailCode,
    Amount,
    Count
};

// Registers (or, with null, forgets) the control that shows `field`.
void RegisterFormField(FormField field, HWND control);
// The control of `field`, or null when it does not exist.
HWND FormFieldControl(FormField field);

// The whole text of the field ("" when it has no control). Secrets read this way are the caller's
// to wipe.
std::wstring ReadFormField(FormField field);
// Replaces the text of the field (no effect without a control).
void WriteFormField(FormField field, const std::wstring& text);

// Empties a control that may hold a secret. The text is first overwritten in place with as many
// filler characters, so that the control's buffer does not keep the password once it is empty.
void EmptySecretControl(HWND control);
// The same for a field (no effect without a control).
void EmptySecretField(FormField field);
