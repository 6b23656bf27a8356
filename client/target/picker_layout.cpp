#include "target/picker_layout.h"

#include <algorithm>

namespace {

int Clamp(int value, int low, int high) { return std::min(std::max(value, low), high); }

// Nearest integer of numerator / denominator (denominator > 0), halves away from zero.
int64_t RoundedQuotient(int64_t numerator, int64_t denominator) {
    const int64_t half = denominator / 2;
    return numerator >= 0 ? (numerator + half) / denominator : -((-numerator + half) / denominator);
}

}  // namespace

PickerPlacement PlacePickerOnMonitor(const RECT& monitor, POINT point) {
    const LONG L = monitor.left, T = monitor.top, R = monitor.right, B = monitor.bottom;
    const int px = std::min(std::max(point.x, L), R - 1);
    const int py = std::min(std::max(point.y, T), B - 1);
    const int half = kPickerSize / 2;
    const int wx = std::min(std::max<int>(px - half, L), std::max<int>(L, R - kPickerSize));
    const int wy = std::min(std::max<int>(py - half, T), std::max<int>(T, B - kPickerSize));

    PickerPlacement placement;
    placement.windowOrigin = {wx, wy};
    placement.targetOffset = {px - wx, py - wy};
    placement.ballCentre = {Clamp(px - wx, kBallMargin, kPickerSize - kBallMargin),
                            Clamp(py - wy, kBallMargin, kPickerSize - kBallMargin)};
    return placement;
}

PickerButtons PickerButtonLayout(POINT ballCentre) {
    const int a = Clamp(ballCentre.x - 84, 0, kPickerSize - kPanelWidth);
    int c = ballCentre.y - 70;
    if (c < 0) c = Clamp(ballCentre.y + 26, 0, kPickerSize - kPanelHeight);  // no room above: below the ball
    PickerButtons buttons;
    buttons.panel = {a, c, a + kPanelWidth, c + kPanelHeight};
    buttons.confirm = {a + 4, c + 4, a + 80, c + 40};
    buttons.cancel = {a + 88, c + 4, a + 164, c + 40};
    return buttons;
}

bool InsideRect(const RECT& rect, POINT point) {
    return point.x >= rect.left && point.x < rect.right && point.y >= rect.top && point.y < rect.bottom;
}

bool InsideBall(POINT ballCentre, POINT point) {
    const int64_t dx = point.x - ballCentre.x, dy = point.y - ballCentre.y;
    return dx * dx + dy * dy <= int64_t{kBallRadius} * kBallRadius;
}

PickerHit HitTestPicker(POINT ballCentre, bool buttonsShown, POINT point) {
    if (InsideBall(ballCentre, point)) return PickerHit::Ball;
    if (buttonsShown) {
        const PickerButtons buttons = PickerButtonLayout(ballCentre);
        if (InsideRect(buttons.confirm, point)) return PickerHit::Confirm;
        if (InsideRect(buttons.cancel, point)) return PickerHit::Cancel;
    }
    return PickerHit::Transparent;
}

POINT AbsolutePointerCoordinates(POINT screenPoint, const VirtualScreen& screen) {
    const int64_t spanX = screen.width <= 2 ? 1 : int64_t{screen.width} - 1;
    const int64_t spanY = screen.height <= 2 ? 1 : int64_t{screen.height} - 1;
    const int64_t x = RoundedQuotient((int64_t{screenPoint.x} - screen.left) * 65535, spanX);
    const int64_t y = RoundedQuotient((int64_t{screenPoint.y} - screen.top) * 65535, spanY);
    return {static_cast<LONG>(x), static_cast<LONG>(y)};
}
