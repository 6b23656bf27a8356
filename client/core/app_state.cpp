#include "core/app_state.h"

#include "core/clock.h"
#include "core/saturating.h"

AppState& App() {
    // Detached workers may still lock the state while the process ends, so it is never destroyed:
    // it lives as long as the process does.
    static AppState* const state = new AppState;
    return *state;
}

void PostToMainWindow(UINT message) {
    HWND window = App().mainWindow;
    if (window) PostMessageW(window, message, 0, 0);
}

void RepaintMainWindow() {
    if (HWND window = App().mainWindow) InvalidateRect(window, nullptr, FALSE);
}

void ShowMessage(const std::wstring& text, const wchar_t* caption, UINT flags) {
    MessageBoxW(App().mainWindow, text.c_str(), caption, MB_OK | flags);
}

bool AskYesNo(const std::wstring& text, const wchar_t* caption, UINT icon) {
    return MessageBoxW(App().mainWindow, text.c_str(), caption, MB_YESNO | MB_DEFBUTTON2 | icon) == IDYES;
}

void SetStatus(std::wstring status, std::wstring detail) {
    AppState& app = App();
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        app.statusText = std::move(status);
        app.detailText = std::move(detail);
    }
    PostToMainWindow(MSG_STATUS_CHANGED);
}

void PublishTimeAlignment(int64_t offsetMs, std::wstring label, int64_t uncertaintyMs) {
    AppState& app = App();
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        app.timeOffsetMs = offsetMs;
        app.timeSourceLabel = std::move(label);
        app.timeUncertaintyMs = uncertaintyMs;
        app.timeAligned = true;
    }
    PostToMainWindow(MSG_STATE_CHANGED);
}

void SetCountdownTarget(int64_t targetMs, std::optional<int64_t> offsetMs) {
    AppState& app = App();
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        app.countdownTargetMs = targetMs;
        if (offsetMs) app.timeOffsetMs = *offsetMs;
    }
    PostToMainWindow(MSG_STATE_CHANGED);
    if (HWND overlay = app.countdownWindow) PostMessageW(overlay, MSG_STATE_CHANGED, 0, 0);
}

int64_t UnifiedNowMs() {
    AppState& app = App();
    int64_t offset;
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        offset = app.timeOffsetMs;
    }
    return SaturatingAdd(offset, WallClockMs());
}
