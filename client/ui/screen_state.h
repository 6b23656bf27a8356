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
    bool roomResultOffered = false;  // the status line gives a room's result; "查看房间结果" opens its page

    AuthFormMode authMode = AuthFormMode::Login;
    bool serviceReady = false;
    bool accountBusy = false;
    bool codeBusy = false;
    bool rememberPassword = false;
    bool privacyAccepted = false;

    ModalPanelKind panel = ModalPanelKind::None;
    bool statusSincePanelOpened = false;  // the status lines changed while the panel was open
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
    RECT focusRing{};         // the painted control with the keyboard focus (empty: none)
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

// Whether a status title reports something that went wrong ("登录失败", "充值金额不正确", …): such a
// title is drawn in the error colour wherever it appears, never in the colour of success.
bool IsFailureStatus(const std::wstring& title);
inline constexpr Argb kErrorColour = 0xFFFF7E8F;
// The signed-out form's status title: a failure in the error colour, otherwise green once the
// service is ready and amber before.
Argb SignedOutStatusColour(const std::wstring& title, bool serviceReady);

// The top-up estimate: valid exactly for the amounts an order accepts (IsValidTopUpAmount: 1 to
// 9999.9 yuan, at most one decimal); the points are price × amount, rounded half to even. An
// invalid amount gets the hint that fits it.
struct TopUpEstimate {
    bool valid = false;
    int64_t points = 0;
    std::wstring hint;  // invalid only
};
inline constexpr wchar_t kAmountRangeHint[] = L"请输入 1–9999.9 元";
inline constexpr wchar_t kAmountOneDecimalHint[] = L"金额最多保留一位小数";
TopUpEstimate EstimateTopUp(const std::wstring& amountText, int32_t pointsPerYuan);
// Rounds to the nearest integer, ties to the even neighbour (50.5 → 50, 51.5 → 52).
int64_t RoundHalfToEven(double value);
