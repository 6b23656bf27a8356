#include "ui/countdown_overlay.h"

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

POINT CountdownBadgeOrigin(const RECT& workArea) {
    return {workArea.left + (workArea.right - workArea.left - kBadgeWidth) / 2, workArea.top + 10};
}

void RenderCountdownBadge(const std::wstring& text, uint32_t* pixels, DrawResources* resources) {
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
    FillRoundRect(context, RectF(13, 13, 22, 22), 11, 0xFF477CFF);
    DrawLabel(context, L"✓", RectF(13, 13, 22, 22), 13, 0xFFFFFFFF, true, TextAlign::Centre);
    DrawLabel(context, text, RectF(44, 0, 194, 48), 18, 0xFFF5F9FF, true, TextAlign::Centre);
}

void RefreshCountdownOverlay(HWND overlay) {
    AppState& app = App();
    int64_t target, offset;
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        target = app.countdownTargetMs;
        offset = app.timeOffsetMs;
    }
    const int64_t remaining = BadgeRemainingMs(target, WallClockMs(), offset);
    if (remaining <= 0) {
        ShowWindow(overlay, SW_HIDE);
        return;
    }
    const std::wstring text = CountdownBadgeText(remaining);

    POINT clickPoint;
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        clickPoint = app.countdownPoint;
    }
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    // Without monitor information the badge is redrawn where it is.
    if (GetMonitorInfoW(MonitorFromPoint(clickPoint, MONITOR_DEFAULTTONEAREST), &monitor)) {
        const POINT origin = CountdownBadgeOrigin(monitor.rcWork);
        SetWindowPos(overlay, HWND_TOPMOST, origin.x, origin.y, kBadgeWidth, kBadgeHeight,
                     SWP_NOACTIVATE | SWP_SHOWWINDOW);
    }
    PushLayeredFrame(overlay, {kBadgeWidth, kBadgeHeight},
                     [&text](uint32_t* pixels) { RenderCountdownBadge(text, pixels); });
}
