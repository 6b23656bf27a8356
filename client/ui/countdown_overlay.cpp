#include "ui/countdown_overlay.h"

#include <atomic>

#include <cstdio>

#include "core/app_state.h"
#include "core/clock.h"
#include "core/draw_context.h"
#include "core/saturating.h"

namespace {

constexpr UINT_PTR kOverlayTimerId = 1;
constexpr UINT kOverlayTimerPeriodMs = 50;
constexpr DWORD kOverlayExStyle = WS_EX_TOPMOST | WS_EX_TRANSPARENT | WS_EX_TOOLWINDOW | WS_EX_LAYERED |
                                  WS_EX_NOACTIVATE;
constexpr uint32_t kBadgeWarningColour = 0xFFE8873A;

}  // namespace

HWND CreateCountdownWindow(HINSTANCE instance) {
    return CreateWindowExW(kOverlayExStyle, L"OrvaneCountdownOverlay", L"澄序倒计时", WS_POPUP, 0, 0, kBadgeWidth,
                           kBadgeHeight, nullptr, nullptr, instance, nullptr);
}

LRESULT CALLBACK CountdownWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            // Without its timer the badge would never update; refuse the window rather than show a
            // frozen countdown.
            return SetTimer(window, kOverlayTimerId, kOverlayTimerPeriodMs, nullptr) ? 0 : -1;
        case WM_DESTROY: KillTimer(window, kOverlayTimerId); return 0;
        case WM_NCHITTEST: return HTTRANSPARENT;
        case WM_TIMER:
            if (wParam == kOverlayTimerId && IsWindowVisible(window)) RefreshCountdownOverlay(window);
            return 0;
        case WM_DISPLAYCHANGE:
            if (IsWindowVisible(window)) RefreshCountdownOverlay(window);
            return 0;
        case MSG_STATE_CHANGED:
            // Whether shown or not: a countdown that becomes known only after the task started (its
            // first answer had no time) must bring the badge up, and a cleared one must take it down.
            RefreshCountdownOverlay(window);
            return 0;
        default: break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

int64_t BadgeRemainingMs(int64_t targetMs, int64_t wallClockMs, int64_t offsetMs) {
    if (targetMs <= 0) return 0;
    const int64_t remaining = SaturatingSub(SaturatingSub(targetMs, wallClockMs), offsetMs);
    return remaining > 0 ? remaining : 0;
}

std::wstring CountdownBadgeText(int64_t remainingMs) {
    wchar_t text[64];
    std::swprintf(text, 64, L"澄序  %02lld:%02lld.%03lld", static_cast<long long>(remainingMs / 60000),
                  static_cast<long long>(remainingMs % 60000 / 1000), static_cast<long long>(remainingMs % 1000));
    return text;
}

BadgeView DecideBadge(int64_t targetMs, int64_t wallClockMs, int64_t offsetMs, const std::wstring& outcomeText,
                      bool outcomeClicked, int64_t outcomeUntilUs, int64_t monotonicNowUs) {
    BadgeView view;
    const int64_t remaining = BadgeRemainingMs(targetMs, wallClockMs, offsetMs);
    if (remaining > 0) {
        view.shown = true;
        view.text = CountdownBadgeText(remaining);
    } else if (!outcomeText.empty() && monotonicNowUs < outcomeUntilUs) {
        view.shown = true;
        view.text = outcomeText;
        view.mark = outcomeClicked ? BadgeMark::Clicked : BadgeMark::NotClicked;
    }
    return view;
}

POINT CountdownBadgeOrigin(const RECT& workArea) {
    return {workArea.left + (workArea.right - workArea.left - kBadgeWidth) / 2, workArea.top + 10};
}

void RenderCountdownBadge(const std::wstring& text, uint32_t* pixels, DrawResources* resources, BadgeMark mark) {
    Gdiplus::Bitmap frame(kBadgeWidth, kBadgeHeight, kBadgeWidth * 4, PixelFormat32bppPARGB,
                          reinterpret_cast<BYTE*>(pixels));
    if (frame.GetLastStatus() != Gdiplus::Ok) return;
    Gdiplus::Graphics graphics(&frame);
    graphics.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
    graphics.SetTextRenderingHint(Gdiplus::TextRenderingHintClearTypeGridFit);
    DrawContext context;
    context.graphics = &graphics;
    context.resources = resources;
    FillGradientRoundRect(context, RectF(0, 0, kBadgeWidth, kBadgeHeight), 15, 0xF60F1C2F, 0xF61B304F);
    const bool warning = mark == BadgeMark::NotClicked;
    FillRoundRect(context, RectF(13, 13, 22, 22), 11, warning ? kBadgeWarningColour : 0xFF477CFF);
    DrawLabel(context, warning ? L"!" : L"✓", RectF(13, 13, 22, 22), 13, 0xFFFFFFFF, true, TextAlign::Centre);
    // An outcome is words, not digits: a smaller size keeps a dozen characters inside the pill.
    DrawLabel(context, text, RectF(44, 0, 194, 48), mark == BadgeMark::Countdown ? 18 : 14, 0xFFF5F9FF, true,
              TextAlign::Centre);
}

namespace {

bool RealMonitorAt(POINT point, MONITORINFO& monitor) {
    monitor.cbSize = sizeof monitor;
    return GetMonitorInfoW(MonitorFromPoint(point, MONITOR_DEFAULTTONEAREST), &monitor) != FALSE;
}

std::atomic<BadgeMonitorLookup> gMonitorLookup{RealMonitorAt};

}  // namespace

void SetBadgeMonitorLookupForTesting(BadgeMonitorLookup lookup) { gMonitorLookup = lookup ? lookup : RealMonitorAt; }

void RefreshCountdownOverlay(HWND overlay) {
    AppState& app = App();
    int64_t target, offset, outcomeUntil;
    std::wstring outcome;
    bool outcomeClicked;
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        target = app.countdownTargetMs;
        offset = app.timeOffsetMs;
        outcome = app.taskOutcomeText;
        outcomeClicked = app.taskOutcomeClicked;
        outcomeUntil = app.taskOutcomeUntilUs;
    }
    const BadgeView view =
        DecideBadge(target, WallClockMs(), offset, outcome, outcomeClicked, outcomeUntil, MonotonicUs());
    if (!view.shown) {
        ShowWindow(overlay, SW_HIDE);
        return;
    }

    POINT clickPoint;
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        clickPoint = app.countdownPoint;
    }
    MONITORINFO monitor{};
    // Without monitor information the badge is redrawn where it is.
    if (gMonitorLookup.load()(clickPoint, monitor)) {
        const POINT origin = CountdownBadgeOrigin(monitor.rcWork);
        SetWindowPos(overlay, HWND_TOPMOST, origin.x, origin.y, kBadgeWidth, kBadgeHeight,
                     SWP_NOACTIVATE | SWP_SHOWWINDOW);
    }
    PushLayeredFrame(overlay, {kBadgeWidth, kBadgeHeight},
                     [&view](uint32_t* pixels) { RenderCountdownBadge(view.text, pixels, nullptr, view.mark); });
}
