// The main window's painters: the dashboard, the signed-out screen and the modal panels, each drawn
// from one PaintInputs (the state copy of this paint) with the drawing toolkit.
#pragma once

#include <span>

#include "core/draw_context.h"
#include "core/form_fields.h"
#include "ui/screen_state.h"

// One static text of a screen table: text, float rectangle, size, weight, alignment, colour.
struct LabelSpec {
    const wchar_t* text;
    RectF rect;
    float size;
    bool bold;
    TextAlign align;
    Argb colour;
};

void DrawLabels(DrawContext& context, std::span<const LabelSpec> labels);
RectF ToRectF(const RECT& rect);
// The painted frame of a field, focused while the field has the keyboard focus.
void DrawFieldFrame(DrawContext& context, const PaintInputs& inputs, FormField field);

// The parts of the header that no state decides (bar, icon, title, exit button): drawn before the
// state is copied.
void PaintHeaderBase(DrawContext& context);
// Header items, left column, main area and cards of a signed-in user.
void PaintDashboard(DrawContext& context, const PaintInputs& inputs);
// Covers the whole client area: brand banner and the login, registration or reset form.
void PaintSignedOutScreen(DrawContext& context, const PaintInputs& inputs);
// The dimming layer and the open panel over the dashboard (nothing when no panel is open).
void PaintModalPanel(DrawContext& context, const PaintInputs& inputs);

// The whole frame: the signed-out screen, or the dashboard and the open panel over it. `takeInputs`
// is called once, after the state-independent header has been drawn.
void PaintMainWindow(DrawContext& context, const std::function<PaintInputs()>& takeInputs);
// The ring around the painted control that has the keyboard focus (the colour of a focused field's
// frame).
inline constexpr Argb kFocusRingColour = 0xFF4D93FF;
void PaintFocusRing(DrawContext& context, const RECT& control);
