// What only the user-interface thread uses: the main window's font, edit brush and drawing
// resources, the purpose combo box, and the guard that tells the program's own writes into a time field from typing.
#pragma once

#include <windows.h>

#include <memory>
#include <vector>

#include "core/draw_context.h"
#include "core/holders.h"

struct UiResources {
    ScopedFont uiFont;         // the controls' font
    ScopedBrush editBrush;     // behind the edit controls
    HWND purposeCombo = nullptr;
    bool programmaticEdit = false;  // set while the program itself writes into a time field
    // The painters' font family, fonts and formats, kept for the main window's life.
    std::unique_ptr<DrawResources> drawResources;
    // When set, each paint of the main window keeps the texts it drew (tests and figures read what
    // the screen says without comparing glyphs).
    bool recordFrameTexts = false;
    std::vector<DrawnText> lastFrameTexts;
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
