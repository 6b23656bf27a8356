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
    // The main window's DPI over 96: the screens are laid out in 96-DPI pixels, and the window shows
    // them this many times as large (layout, fonts, radii, child controls, hit-testing).
    float scale = 1.0f;
    // The painters' font family, fonts and formats, kept for the main window's life.
    std::unique_ptr<DrawResources> drawResources;
    // When set, each paint of the main window keeps the texts it drew (tests and figures read what
    // the screen says without comparing glyphs).
    bool recordFrameTexts = false;
    std::vector<DrawnText> lastFrameTexts;
};

// The one instance; user-interface thread only.
UiResources& Ui();

// The main window's layout size in 96-DPI pixels.
inline constexpr SIZE kLayoutSize{1180, 760};
// The scale of a window at `dpi` (96 is 1; 0, as a failed query answers, counts as 96).
float ScaleForDpi(UINT dpi);
// The scale at which the main window fits a monitor's work area (the screen less the taskbar): `wanted`
// (the monitor's DPI scale), or less when the layout plus the window's frame (`frame`, outer minus client
// size in pixels) would not fit, in whole hundredths; never below kSmallestScale. At 100 % a 1366 × 768
// screen is shorter than the window, and at 150 % a 1920 × 1080 one.
inline constexpr float kSmallestScale = 0.5f;
float ScaleToFit(float wanted, SIZE frame, SIZE workArea);
// A length, a rectangle in layout pixels as window pixels, and a window point in layout pixels.
int ScaledLength(int layout, float scale);
RECT ScaledRect(const RECT& layout, float scale);
POINT LayoutPoint(POINT window, float scale);

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
