#include "ui/countdown_overlay.h"

#include "core/app_state.h"

namespace {

constexpr UINT_PTR kOverlayTimerId = 1;
constexpr UINT kOverlayTimerPeriodMs = 50;
constexpr DWORD kOverlayExStyle = WS_EX_TOPMOST | WS_EX_TRANSPARENT | WS_EX_TOOLWINDOW | WS_EX_LAYERED |
                                  WS_EX_NOACTIVATE;

}  // namespace

HWND CreateCountdownWindow(HINSTANCE instance) {
    return CreateWindowExW(kOverlayExStyle, L"OrvaneCountdownOverlay", L"澄序倒计时", WS_POPUP, 0, 0, 250, 48,
                           nullptr, nullptr, instance, nullptr);
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
        case MSG_STATE_CHANGED:
        case WM_DISPLAYCHANGE:
            // The badge itself is drawn by the countdown overlay while it is visible.
            return 0;
        default: break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
