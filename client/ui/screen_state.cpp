#include "ui/screen_state.h"

#include <algorithm>
#include <cmath>
#include <cwchar>
#include <cwctype>

#include "account/credits.h"
#include "tasks/click_executor.h"
#include "timesync/service_time.h"
#include "ui/child_controls.h"

ScreenSnapshot TakeScreenSnapshot() {
    AppState& app = App();
    ScreenSnapshot s;
    std::lock_guard<std::mutex> lock(app.stateMutex);
    s.loggedIn = app.session.logged_in;
    s.developer = app.session.developer_user;
    s.credits = app.session.credits;
    s.email = app.session.email;
    s.statusText = app.statusText;
    s.detailText = app.detailText;
    s.roomResultOffered = RoomResultOffered(app);
    s.authMode = app.authFormMode;
    s.serviceReady = app.serviceReady;
    s.accountBusy = app.accountBusy;
    s.codeBusy = app.codeRequestBusy;
    s.rememberPassword = app.rememberPassword;
    s.privacyAccepted = app.privacyAccepted;
    s.panel = app.session.modalPanel;
    s.statusSincePanelOpened = app.session.panelActionReported || app.statusText != app.session.panelStatusAtOpen ||
                               app.detailText != app.session.panelDetailAtOpen;
    s.purposeSaved = app.session.purposeSaved;
    s.savedPurpose = app.session.savedPurpose;
    s.pendingPurpose = app.session.pendingPurpose;
    s.targetConfirmed = app.session.target.target_confirmed;
    s.clickPoint = app.session.target.click_point;
    s.executableName = app.session.target.executable_name;
    s.checkOk = app.session.target.check_ok;
    s.blocked = app.session.target.blocked;
    s.timeAligned = app.timeAligned;
    s.timeSourceLabel = app.timeSourceLabel;
    // What the screen promises covers the click as well as the clock.
    s.timeUncertaintyMs = ShownClickUncertaintyMs(app.timeUncertaintyMs, WorstRecentClickLatenessUs());
    s.countdownTargetMs = app.countdownTargetMs;
    s.timeOffsetMs = app.timeOffsetMs;
    s.alipayAvailable = app.session.alipayAvailable;
    s.wechatAvailable = app.session.wxpayAvailable;
    s.pointsPerYuan = app.session.pointsPerYuan;
    s.paymentMethod = app.session.paymentMethod;
    s.hotkeyCapturing = app.session.hotkeyCapturing;
    s.hotkeyModifiers = app.hotkeyModifiers;
    s.hotkeyKey = app.hotkeyKey;
    return s;
}

std::wstring NumberText(int64_t value) { return std::to_wstring(value); }

ColouredText PositionLine(const ScreenSnapshot& state) {
    if (!state.targetConfirmed) return {L"尚未选择点击位置", state.blocked ? 0xFFFF7E8F : 0xFFB6C2D2};
    if (state.blocked) return {state.executableName + L" · 黑名单软件", 0xFFFF7E8F};
    if (!state.checkOk) return {state.executableName + L" · 正在检查", 0xFFB6C2D2};
    return {state.executableName + L" · " + NumberText(state.clickPoint.x) + L"," + NumberText(state.clickPoint.y),
            0xFF5BE0A4};
}

std::wstring SyncLine(const ScreenSnapshot& state) {
    if (!state.timeAligned) return L"正在对准标准时间";
    // The service's own clock, which no time server keeps right: "本机时间（可能不准） · 预计相差 16002 毫秒"
    // beside a click of 8 ms reads as a fault. Said in words: the clock may be off standard time by that
    // much (in seconds, rounded up to a tenth, when it is that large); the machines of a room still click
    // together, since they all follow it.
    if (state.timeSourceLabel == kUncheckedServiceClockLabel) {
        const int64_t ms = state.timeUncertaintyMs;
        const std::wstring amount =
            ms < 1000 ? NumberText(ms) + L" 毫秒"
                      : NumberText((ms + 99) / 1000) + L"." + NumberText((ms + 99) / 100 % 10) + L" 秒";
        return L"服务器时钟未校准 · 或差 " + amount;
    }
    return state.timeSourceLabel + L" · 预计相差 " + NumberText(state.timeUncertaintyMs) + L" 毫秒";
}

float ProgressBoxHeight(const ScreenSnapshot& state) {
    if (state.roomResultOffered) return 210;
    if (state.countdownTargetMs > 0) return 170;
    return state.timeAligned ? 125.0f : 90.0f;
}

int64_t RemainingMs(const ScreenSnapshot& state, int64_t wallClockMs) {
    return state.countdownTargetMs - (wallClockMs + state.timeOffsetMs);
}

Argb RemainingColour(int64_t remainingMs) { return remainingMs > 3000 ? 0xFF66AAFF : 0xFFFFB74D; }

int64_t RoundHalfToEven(double value) {
    const double lower = std::floor(value);
    const double fraction = value - lower;
    double rounded = lower;
    if (fraction > 0.5 || (fraction == 0.5 && std::fmod(lower, 2.0) != 0.0)) rounded = lower + 1;
    return static_cast<int64_t>(rounded);
}

TopUpEstimate EstimateTopUp(const std::wstring& amountText, int32_t pointsPerYuan) {
    const std::wstring text = amountText.substr(0, 63);
    if (!IsValidTopUpAmount(text)) {
        // A number in range whose only fault is its second decimal: say that, not the range.
        const size_t point = text.find(L'.');
        const bool digitsAndPointOnly = text.find_first_not_of(L" 0123456789.") == std::wstring::npos;
        if (point != std::wstring::npos && digitsAndPointOnly && text.find(L'.', point + 1) == std::wstring::npos &&
            IsValidTopUpAmount(text.substr(0, point + 2)))
            return {false, 0, kAmountOneDecimalHint};
        return {false, 0, kAmountRangeHint};
    }
    const double amount = std::wcstod(text.c_str(), nullptr);
    return {true, RoundHalfToEven(static_cast<double>(pointsPerYuan) * amount), L""};
}

bool IsFailureStatus(const std::wstring& title) {
    static const wchar_t* const kFailureWords[] = {L"失败", L"错误", L"不正确", L"无法", L"未能", L"不能",
                                                   L"禁止", L"已过期", L"不完整", L"被拒绝", L"未完成"};
    for (const wchar_t* word : kFailureWords)
        if (title.find(word) != std::wstring::npos) return true;
    return false;
}

Argb SignedOutStatusColour(const std::wstring& title, bool serviceReady) {
    if (IsFailureStatus(title)) return kErrorColour;
    return serviceReady ? 0xFF5BE0A4 : 0xFFFFC14D;
}
