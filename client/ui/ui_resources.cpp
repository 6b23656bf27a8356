#include "ui/ui_resources.h"

#include <cmath>

UiResources& Ui() {
    static UiResources resources;
    return resources;
}

float ScaleForDpi(UINT dpi) { return dpi == 0 ? 1.0f : static_cast<float>(dpi) / 96.0f; }

int ScaledLength(int layout, float scale) { return static_cast<int>(std::lround(layout * scale)); }

RECT ScaledRect(const RECT& layout, float scale) {
    return {ScaledLength(layout.left, scale), ScaledLength(layout.top, scale), ScaledLength(layout.right, scale),
            ScaledLength(layout.bottom, scale)};
}

POINT LayoutPoint(POINT window, float scale) {
    // Floor, so that a window pixel belongs to the layout pixel it lies in.
    return {static_cast<LONG>(std::floor(window.x / scale)), static_cast<LONG>(std::floor(window.y / scale))};
}
