// What the main window shows, decided by the application state alone: one copy of the state per
// paint (taken under the lock in one hold), and the small rules that turn it into texts and colours.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

#include "core/app_state.h"
#include "core/draw_context.h"
#include "core/purpose.h"

struct ScreenSnapshot {
    bool loggedIn = false;
    bool developer = false;
    int64_t credits = 0;
    std::string email;  // UTF-8
    std::wstring statusText;
    std::wstring detailText;

    AuthFormMode authMode = AuthFormMode::Login;
    bool serviceReady = false;
    bool accountBusy = false;
    bool codeBusy = false;
    bool rememberPassword = false;
    bool privacyAccepted = false;

    ModalPanelKind panel = ModalPanelKind::None;
    bool purposeSaved = false;
    int32_t savedPurpose = 0;
    int32_t pendingPurpose = 0;

    bool targetConfirmed = false;
    POINT clickPoint{0, 0};
    std::wstring executableName;
    bool checkOk = false;
    bool blocked = false;

    bool timeAligned = false;
    std::wstring timeSourceLabel;
    int64_t timeUncertaintyMs = 0;
    int64_t countdownTargetMs = 0;
    int64_t timeOffsetMs = 0;

    bool alipayAvailable = false;
    bool wechatAvailable = false;
    int32_t pointsPerYuan = 10;
    PaymentMethod paymentMethod = PaymentMethod::Alipay;

    bool hotkeyCapturing = false;
    uint32_t hotkeyModifiers = 0;
    uint32_t hotkeyKey = 0;
};

// Copies what the screens show from AppState in one hold of the state lock.
ScreenSnapshot TakeScreenSnapshot();

// What one paint draws from: the state copy plus what only the user-interface thread knows.
struct PaintInputs {
    ScreenSnapshot state;
    HWND focus = nullptr;     // the window with the keyboard focus (its field frame is drawn focused)
    int64_t wallClockMs = 0;  // the local wall clock, read once per paint
    std::wstring amountText;  // the text of the top-up amount field
};

// ---- rules ------------------------------------------------------------------------------------

// Decimal, "-" before negative numbers, no grouping.
std::wstring NumberText(int64_t value);

struct ColouredText {
    std::wstring text;
    Argb colour = 0;
};

// The position line of the left column.
ColouredText PositionLine(const ScreenSnapshot& state);
// "正在对准标准时间" until the first alignment, then the source and its uncertainty.
std::wstring SyncLine(const ScreenSnapshot& state);
// Height of the progress box: taller while a countdown runs, then once the time is aligned.
float ProgressBoxHeight(const ScreenSnapshot& state);
// Milliseconds left before the click: the target minus the unified time.
int64_t RemainingMs(const ScreenSnapshot& state, int64_t wallClockMs);
// Blue while more than three seconds are left, amber for the last three and once it has passed.
Argb RemainingColour(int64_t remainingMs);

// The top-up estimate: valid for a decimal amount (leading white space allowed, nothing after it)
// from 1 to 9999.9 yuan; the points are price × amount, rounded half to even.
struct TopUpEstimate {
    bool valid = false;
    int64_t points = 0;
};
TopUpEstimate EstimateTopUp(const std::wstring& amountText, int32_t pointsPerYuan);
// Rounds to the nearest integer, ties to the even neighbour (50.5 → 50, 51.5 → 52).
int64_t RoundHalfToEven(double value);
