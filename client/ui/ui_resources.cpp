#include "ui/ui_resources.h"

#include <algorithm>
#include <cmath>

#include <cmath>

UiResources& Ui() {
    static UiResources resources;
    return resources;
}

float ScaleForDpi(UINT dpi) { return dpi == 0 ? 1.0f : static_cast<float>(dpi) / 96.0f; }

float ScaleToFit(float wanted, SIZE frame, SIZE workArea) {
    const float byWidth = static_cast<float>(workArea.cx - frame.cx) / static_cast<float>(kLayoutSize.cx);
    const float byHeight = static_cast<float>(workArea.cy - frame.cy) / static_cast<float>(kLayoutSize.cy);
    float scale = std::min({wanted, byWidth, byHeight});
    // Rounded down, so that the scaled layout is never a pixel too large for the area.
    if (scale < wanted) scale = std::floor(scale * 100.0f) / 100.0f;
    return std::max(scale, kSmallestScale);
}

int ScaledLength(int layout, float scale) { return static_cast<int>(std::lround(layout * scale)); }

RECT ScaledRect(const RECT& layout, float scale) {
    return {ScaledLength(layout.left, scale), ScaledLength(layout.top, scale), ScaledLength(layout.right, scale),
            ScaledLength(layout.bottom, scale)};
}

POINT LayoutPoint(POINT window, float scale) {
    // Floor, so that a window pixel belongs to the layout pixel it lies in.
    return {static_cast<LONG>(std::floor(window.x / scale)), static_cast<LONG>(std::floor(window.y / scale))};
}
