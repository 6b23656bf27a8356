// What the main window's painters share, and the frame that chooses between them.
#include "ui/screen_paint.h"

#include "ui/child_controls.h"
#include "ui/screen_layout.h"

void DrawLabels(DrawContext& context, std::span<const LabelSpec> labels) {
    for (const LabelSpec& label : labels)
        DrawLabel(context, label.text, label.rect, label.size, label.colour, label.bold, label.align);
}

void DrawFieldFrame(DrawContext& context, const PaintInputs& inputs, FormField field) {
    HWND control = FormFieldControl(field);
    DrawInputFrame(context, FieldFrame(field), control && inputs.focus == control);
}

RectF ToRectF(const RECT& rect) {
    return RectF(static_cast<float>(rect.left), static_cast<float>(rect.top), static_cast<float>(rect.right - rect.left),
                 static_cast<float>(rect.bottom - rect.top));
}

void PaintHeaderBase(DrawContext& context) {
    FillRoundRect(context, {0, 0, 1180, 104}, 0, 0xFF0C1726);
    DrawAppIcon(context, {20, 24, 42, 42});
    DrawLabel(context, L"澄序", {70, 22, 250, 34}, 20, 0xFFF7FAFF, true, TextAlign::Near);
    DrawButton(context, layout::kExitButton, L"退出", false);
}

void PaintMainWindow(DrawContext& context, const std::function<PaintInputs()>& takeInputs) {
    PaintHeaderBase(context);
    const PaintInputs inputs = takeInputs();
    // The signed-out screen covers the whole client area, so the dashboard is only drawn below it in
    // name: leaving it out changes no pixel and halves the cost of the form's repaints.
    if (!inputs.state.loggedIn) PaintSignedOutScreen(context, inputs);
    else PaintDashboard(context, inputs);
    if (inputs.state.loggedIn && inputs.state.panel != ModalPanelKind::None) PaintModalPanel(context, inputs);
    PaintFocusRing(context, inputs.focusRing);
}

void PaintFocusRing(DrawContext& context, const RECT& control) {
    if (IsRectEmpty(&control)) return;
    // Outside the control, so it shows on every fill colour a control may have.
    const RECT ring{control.left - 4, control.top - 4, control.right + 4, control.bottom + 4};
    StrokeRoundRect(context, ring, kFocusRingColour, 2, 12);
}
