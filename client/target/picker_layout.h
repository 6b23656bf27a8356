// The floating ball's geometry: where the 200 × 200 overlay goes on a monitor, where the ball and the
// confirm/cancel panel are drawn inside it, what a point inside it hits, and the absolute pointer
// coordinates that put the system pointer back on the ball. Pure functions of their arguments, so the
// monitor layouts a test machine cannot show (several monitors, negative coordinates, very wide
// desktops) are checked directly.
#pragma once

#include <windows.h>

#include <cstdint>

inline constexpr int kPickerSize = 200;         // the overlay window, square
inline constexpr int kBallRadius = 20;          // the ball's hit radius
inline constexpr int kBallMargin = 18;          // the ball's centre stays this far inside the window
inline constexpr int kPanelWidth = 168;
inline constexpr int kPanelHeight = 44;

// Where the overlay and the ball go for a point on one monitor.
struct PickerPlacement {
    POINT windowOrigin{0, 0};  // screen
    POINT targetOffset{0, 0};  // the exact chosen point, overlay client coordinates
    POINT ballCentre{0, 0};    // where the ball is drawn (the target offset held 18 px inside)
};

// `monitor` is the full rectangle (not the work area) of the monitor nearest to `point`. The point is
// first held inside the monitor; the window stays on the monitor and is centred on the point except
// near the monitor's edges, where the ball is drawn clamped and joined to the point by a guide line.
PickerPlacement PlacePickerOnMonitor(const RECT& monitor, POINT point);

// The confirm/cancel panel above the ball (below it when the ball is near the top). Rectangles
// include their left/top edge and exclude their right/bottom edge.
struct PickerButtons {
    RECT panel{};
    RECT confirm{};
    RECT cancel{};
};
PickerButtons PickerButtonLayout(POINT ballCentre);

bool InsideRect(const RECT& rect, POINT point);
bool InsideBall(POINT ballCentre, POINT point);

enum class PickerHit { Transparent, Ball, Confirm, Cancel };
// What a point (overlay client coordinates) lies on; the buttons count only while they are shown.
PickerHit HitTestPicker(POINT ballCentre, bool buttonsShown, POINT point);

// The MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_VIRTUALDESK coordinates (0…65535 across the virtual screen)
// of a screen point, rounded to the nearest unit. Computed in 64 bits: (x − left) × 65535 leaves 32
// bits on desktops wider than 32767 pixels.
struct VirtualScreen {
    int left = 0, top = 0, width = 0, height = 0;  // SM_XVIRTUALSCREEN … SM_CYVIRTUALSCREEN
};
POINT AbsolutePointerCoordinates(POINT screenPoint, const VirtualScreen& screen);

