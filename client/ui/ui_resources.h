// What only the user-interface thread uses: the main window's font and edit brush, the purpose
// combo box, and the guard that tells the program's own writes into a time field from typing.
#pragma once

#include <windows.h>

#include "core/holders.h"

struct UiResources {
    ScopedFont uiFont;         // the controls' font
    ScopedBrush editBrush;     // behind the edit controls
    HWND purposeCombo = nullptr;
    bool programmaticEdit = false;  // set while the program itself writes into a time field
};

// The one instance; user-interface thread only.
UiResources& Ui();

// Sets the programmatic-edit guard for one scope, so the resulting change notifications are not
// taken as user input.
class ProgrammaticEdit {
public:
    ProgrammaticEdit() : previous_(Ui().programmaticEdit) { Ui().programmaticEdit = true; }
    ~ProgrammaticEdit() { Ui().programmaticEdit = previous_; }
    ProgrammaticEdit(const ProgrammaticEdit&) = delete;
    ProgrammaticEdit& operator=(const ProgrammaticEdit&) = delete;

private:
    bool previous_;
};
