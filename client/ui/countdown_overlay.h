// The countdown overlay: a topmost, click-through badge at the top of the click point's monitor that
// shows the time left before the click ("澄序  MM:SS.mmm").
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

class DrawResources;

inline constexpr int kBadgeWidth = 250;
inline constexpr int kBadgeHeight = 48;

// Creates the hidden overlay window (class "OrvaneCountdownOverlay"); null on failure.
HWND CreateCountdownWindow(HINSTANCE instance);

LRESULT CALLBACK CountdownWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Shows the badge with the time left, where the click will happen; once the task has ended, its
// outcome for a few seconds; otherwise hides it. User-interface thread.
void RefreshCountdownOverlay(HWND overlay);

// The monitor of a point, as the badge looks it up (MonitorFromPoint + GetMonitorInfoW). A test of a
// second monitor, which the virtual display cannot have, hands in its own; null for the real one.
using BadgeMonitorLookup = bool (*)(POINT point, MONITORINFO& monitor);
void SetBadgeMonitorLookupForTesting(BadgeMonitorLookup lookup);

// ---- the badge's arithmetic and picture, free of windows and clocks ----------------------------

// The time left until `targetMs` (unified) for the local wall clock and the unified-time offset;
// 0 when no countdown is set (target 0 or below) or the instant has passed.
int64_t BadgeRemainingMs(int64_t targetMs, int64_t wallClockMs, int64_t offsetMs);

// "澄序  " and the time left as MM:SS.mmm (minutes not wrapped into hours).
std::wstring CountdownBadgeText(int64_t remainingMs);

// The mark at the badge's left: the tick while counting down and after a click, a warning sign when
// the task ended without one.
enum class BadgeMark { Countdown, Clicked, NotClicked };

struct BadgeView {
    bool shown = false;
    std::wstring text;
    BadgeMark mark = BadgeMark::Countdown;
};

// What the badge shows: the countdown while its instant lies ahead; else the last task's outcome
// while `monotonicNowUs` is before `outcomeUntilUs`; else nothing.
BadgeView DecideBadge(int64_t targetMs, int64_t wallClockMs, int64_t offsetMs, const std::wstring& outcomeText,
                      bool outcomeClicked, int64_t outcomeUntilUs, int64_t monotonicNowUs);

// Where the badge goes: centred at the top of a monitor's work area, 10 pixels down.
POINT CountdownBadgeOrigin(const RECT& workArea);

// The badge's picture into kBadgeWidth × kBadgeHeight premultiplied pixels that start fully
// transparent. `resources` may be null.
void RenderCountdownBadge(const std::wstring& text, uint32_t* pixels, DrawResources* resources = nullptr,
                          BadgeMark mark = BadgeMark::Countdown);
