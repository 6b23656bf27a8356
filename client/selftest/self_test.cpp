#include "selftest/self_test.h"

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "account/login.h"
#include "core/app_state.h"
#include "core/clock.h"
#include "core/form_fields.h"
#include "core/library_module.h"
#include "net/json_text.h"
#include "target/blacklist_code.h"
#include "target/picker.h"
#include "target/picker_layout.h"
#include "tasks/click_instruction.h"
#include "tasks/rooms.h"
#include "tasks/task_request.h"
#include "timesync/time_of_day.h"
#include "ui/child_controls.h"
#include "ui/countdown_overlay.h"
#include "ui/time_field.h"
#include "ui/ui_resources.h"
#include "ui/wake_hotkey.h"

namespace {

// A well-formed address: the e-mail rule must take it, and it seeds the room code.
constexpr char kSampleAddress[] = "tester@example.com";

bool Visible(HWND control) { return control && (GetWindowLongW(control, GWL_STYLE) & WS_VISIBLE); }

std::wstring TextOf(HWND control) {
    wchar_t buffer[64] = {};
    GetWindowTextW(control, buffer, 64);
    return buffer;
}

void SetScreen(bool loggedIn, bool developer, AuthFormMode mode) {
    AppState& app = App();
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        app.session = Session{};
        app.session.logged_in = loggedIn;
        app.session.developer_user = developer;
        app.authFormMode = mode;
    }
    UpdateChildControls();
}

int CheckSignatureLibrary() {
    ScopedModule library = LoadLibraryAt(SignatureLibraryPath());
    if (!library) return kSelfTestSignatureLibrary;
    for (const char* name :
         {"sodium_init", "crypto_sign_verify_detached", "crypto_sign_ed25519_pk_to_curve25519", "crypto_box_seal"})
        if (!library.Find<void*>(name)) return kSelfTestSignatureLibrary;
    return kSelfTestPassed;
}

int CheckEmailRule() {
    const bool ok = LooksLikeEmailAddress(Utf8ToUtf16(kSampleAddress)) && !LooksLikeEmailAddress(L"sync_developer") &&
                    !LooksLikeEmailAddress(L"invalid@");
    return ok ? kSelfTestPassed : kSelfTestEmailRule;
}

int CheckChildControls() {
    SetScreen(false, false, AuthFormMode::Login);
    if (!Visible(FormFieldControl(FormField::Account)) || !Visible(FormFieldControl(FormField::Password)) || Visible(FormFieldControl(FormField::EmailCode)) ||
        Visible(FormFieldControl(FormField::RoomCode)) || Visible(FormFieldControl(FormField::ClickTime)) || Visible(FormFieldControl(FormField::SoftwareName)))
        return kSelfTestControlsSignedOut;
    SetScreen(false, false, AuthFormMode::Register);
    if (!Visible(FormFieldControl(FormField::EmailCode))) return kSelfTestControlsRegister;
    SetScreen(false, false, AuthFormMode::ResetPassword);
    if (!Visible(FormFieldControl(FormField::EmailCode))) return kSelfTestControlsReset;
    SetScreen(true, false, AuthFormMode::Login);
    if (Visible(FormFieldControl(FormField::Account)) || !Visible(FormFieldControl(FormField::RoomCode)) || !Visible(FormFieldControl(FormField::ClickTime)) ||
        !Visible(FormFieldControl(FormField::TestTime)) || Visible(FormFieldControl(FormField::SoftwareName)))
        return kSelfTestControlsSignedIn;
    SetScreen(true, true, AuthFormMode::Login);
    if (!Visible(FormFieldControl(FormField::SoftwareName)) || !Visible(FormFieldControl(FormField::BlacklistReason))) return kSelfTestControlsDeveloper;
    return kSelfTestPassed;
}

int CheckDuration() {
    return FormatRemainingTime(3726045) == L"01:02:06.045" ? kSelfTestPassed : kSelfTestDuration;
}

int CheckTimeOfDay() {
    const std::pair<const wchar_t*, const wchar_t*> accepted[] = {
        {L"9:5:3", L"09:05:03"}, {L"9:5", L"09:05:00"},  {L"141516", L"14:15:16"},
        {L"1415", L"14:15:00"},  {L"14", L"14:00:00"},   {L" 9 : 5 : 3 ", L"09:05:03"},
    };
    for (const auto& [input, expected] : accepted) {
        std::optional<std::wstring> parsed = ParseTimeOfDay(input);
        if (!parsed || *parsed != expected) return kSelfTestTimeOfDay;
    }
    for (const wchar_t* rejected : {L"24:00:00", L"12:60:00", L"1415167"})
        if (ParseTimeOfDay(rejected)) return kSelfTestTimeOfDay;
    return kSelfTestPassed;
}

int CheckMaskRule() {
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"1", L"1"},           {L"14", L"14:"},          {L"141", L"14:1"},
        {L"1415", L"14:15:"},   {L"141516", L"14:15:16"}, {L"14:15:16", L"14:15:16"},
    };
    for (const auto& [input, expected] : cases)
        if (MaskTimeText(input) != expected) return kSelfTestMaskRule;
    return kSelfTestPassed;
}

int CheckLiveMask() {
    HWND field = FormFieldControl(FormField::ClickTime);
    if (!field) return kSelfTestLiveMask;
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"14", L"14:"}, {L"1415", L"14:15:"}, {L"141516", L"14:15:16"}};
    for (const auto& [typed, expected] : cases) {
        SetWindowTextW(field, typed);  // the change notification runs the mask, as typing does
        if (TextOf(field) != expected) return kSelfTestLiveMask;
    }
    return kSelfTestPassed;
}

int CheckHotkeyText() {
    if (FormatHotkeyText(3, 81) != L"Ctrl + Alt + Q" || FormatHotkeyText(0, 119) != L"F8") return kSelfTestHotkeyText;
    return kSelfTestPassed;
}

int CheckTaskFields() {
    // The member list is only built for a confirmed target that passed its blacklist check; the one
    // that stands in for it here is put back afterwards, so the picker checks start from the real one.
    AppState& app = App();
    TargetSelection previous, usable;
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        previous = app.session.target;
        usable = previous;
        usable.target_confirmed = true;
        usable.check_ok = true;
        usable.blocked = false;
        usable.executable_name = L"self-test.exe";
        usable.executable_sha256 = std::string(64, '0');
        app.session.target = usable;
    }
    const std::optional<std::string> fields = BuildTaskFields(usable);
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        app.session.target = previous;
    }
    // Searched as written on the wire, without blanks.
    constexpr char kPlatformMember[] = "\"client_platform\":\"windows\"";
    return fields && fields->find(kPlatformMember) != std::string::npos ? kSelfTestPassed : kSelfTestTaskFields;
}

int CheckRoomCode() {
    const std::optional<std::string> code = DeriveRoomCode(kSampleAddress, 1785200000123);
    if (!code || code->size() != 8 || !IsValidRoomCode(*code)) return kSelfTestRoomCode;
    if (DeriveRoomCode(kSampleAddress, 1785200000123) != code) return kSelfTestRoomCode;
    // One millisecond later is another code.
    const std::optional<std::string> later = DeriveRoomCode(kSampleAddress, 1785200000124);
    return later && *later != *code ? kSelfTestPassed : kSelfTestRoomCode;
}

int CheckSignature() {
    // RFC 8032 section 7.1, test 1: the empty message signed with the test 1 key.
    static const char kPublicKey[] = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";
    static const char kSignature[] =
        "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b";
    auto decode = [](const char* hex) {
        std::vector<uint8_t> bytes;
        for (size_t i = 0; hex[i] && hex[i + 1]; i += 2) {
            auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
            bytes.push_back(static_cast<uint8_t>(nibble(hex[i]) * 16 + nibble(hex[i + 1])));
        }
        return bytes;
    };
    return VerifyDetachedSignature({}, decode(kSignature), decode(kPublicKey)) ? kSelfTestPassed : kSelfTestSignature;
}

// The monitor the picker and overlay checks use: the one nearest to the pointer.
struct MonitorUnderTest {
    POINT pointer{};
    RECT rect{};
};

int CheckMonitor(MonitorUnderTest& monitor) {
    GetCursorPos(&monitor.pointer);
    MONITORINFO info{};
    info.cbSize = sizeof info;
    HMONITOR handle = MonitorFromPoint(monitor.pointer, MONITOR_DEFAULTTONEAREST);
    if (!handle || !GetMonitorInfoW(handle, &info)) return kSelfTestMonitor;
    monitor.rect = info.rcMonitor;
    return kSelfTestPassed;
}

int CheckBlacklistCode() {
    // The RFC 8032 test 1 public key, as the service would hand it out.
    const std::string code = SealForService("{\"v\":1}", "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=");
    constexpr char kPrefix[] = "QVTR1.";
    if (code.rfind(kPrefix, 0) != 0) return kSelfTestBlacklistCode;
    // 7 bytes of payload and the 48 bytes a sealed box adds.
    return Base64Decode(code.substr(sizeof kPrefix - 1)).size() == 55 ? kSelfTestPassed : kSelfTestBlacklistCode;
}

bool Inside(const RECT& outer, const RECT& inner) {
    return inner.left >= outer.left && inner.top >= outer.top && inner.right <= outer.right &&
           inner.bottom <= outer.bottom;
}

void SetCountdown(POINT clickPoint, int64_t targetMs) {
    AppState& app = App();
    std::lock_guard<std::mutex> lock(app.stateMutex);
    app.session.target.click_point = clickPoint;
    app.countdownPoint = clickPoint;  // the badge stands on the monitor of the running task's point
    app.countdownTargetMs = targetMs;
    app.timeOffsetMs = 0;
}

// The badge of a pending click, through the real overlay window: shown a minute ahead on the monitor
// of the click point, taken down once the click is cleared.
int CheckCountdownOverlay(const MonitorUnderTest& monitor) {
    HWND overlay = App().countdownWindow.load();
    if (!overlay) return kSelfTestOverlayShown;
    SetCountdown(monitor.pointer, WallClockMs() + 60000);
    RefreshCountdownOverlay(overlay);
    RECT placed{};
    if (!IsWindowVisible(overlay) || !GetWindowRect(overlay, &placed) || !Inside(monitor.rect, placed))
        return kSelfTestOverlayShown;
    SetCountdown(monitor.pointer, 0);
    RefreshCountdownOverlay(overlay);
    return IsWindowVisible(overlay) ? kSelfTestOverlayCleared : kSelfTestPassed;
}

// ---- the picker, driven through its own window procedure ---------------------------------------

RECT PickerRect() {
    RECT rect{};
    if (HWND overlay = PickerWindow()) GetWindowRect(overlay, &rect);
    return rect;
}

POINT ToScreen(POINT client) {
    if (HWND overlay = PickerWindow()) ClientToScreen(overlay, &client);
    return client;
}

bool SamePoint(POINT a, POINT b) { return a.x == b.x && a.y == b.y; }

// How far the ball's centre stays from the overlay's edges.
struct BallMargins {
    int left, top, right, bottom;
};
BallMargins BallMarginsNow() {
    const POINT ball = PickerStateNow().ball_centre;
    return {ball.x, ball.y, kPickerSize - ball.x, kPickerSize - ball.y};
}

bool MainWindowVisible() {
    HWND main = App().mainWindow.load();
    return main && IsWindowVisible(main);
}

void Send(UINT message, WPARAM keys, POINT client) {
    if (HWND overlay = PickerWindow()) SendMessageW(overlay, message, keys, MAKELPARAM(client.x, client.y));
}

// Button down on the ball, the pointer moved to `to`, a move with the button held and the release.
void SimulateDrag(POINT to) {
    const POINT ball = PickerStateNow().ball_centre;
    Send(WM_LBUTTONDOWN, MK_LBUTTON, ball);
    SetCursorPos(to.x, to.y);
    Send(WM_MOUSEMOVE, MK_LBUTTON, ball);
    Send(WM_LBUTTONUP, 0, PickerStateNow().ball_centre);
}

// Not left dragging with the ball away from the point where it was dropped.
bool SettledAfterRelease() {
    const PickerState state = PickerStateNow();
    return !state.dragging || SamePoint(ToScreen(state.ball_centre), state.drop_point);
}

void PlaceAndDraw(POINT point) {
    HWND overlay = PickerWindow();
    if (!overlay) return;
    PlacePicker(overlay, point);
    DrawPicker(overlay);
    SetCursorPos(point.x, point.y);
}

void ClickButton(bool confirm) {
    const PickerButtons buttons = PickerButtonLayout(PickerStateNow().ball_centre);
    const RECT& button = confirm ? buttons.confirm : buttons.cancel;
    const POINT centre{(button.left + button.right) / 2, (button.top + button.bottom) / 2};
    Send(WM_LBUTTONDOWN, MK_LBUTTON, centre);
    Send(WM_LBUTTONUP, 0, centre);
}

bool TargetConfirmed() {
    AppState& app = App();
    std::lock_guard<std::mutex> lock(app.stateMutex);
    return app.session.target.target_confirmed;
}

POINT ClickPoint() {
    AppState& app = App();
    std::lock_guard<std::mutex> lock(app.stateMutex);
    return app.session.target.click_point;
}

int CheckPickerSweep(const RECT& monitor) {
    const int x = (monitor.left + monitor.right) / 2;
    if (!OpenPicker({x, monitor.top}) || !PickerWindow()) return kSelfTestPickerSweep;
    int previous = ToScreen(PickerStateNow().ball_centre).y;
    int code = kSelfTestPassed;
    for (int i = 1; i <= 130 && code == kSelfTestPassed; ++i) {
        PlacePicker(PickerWindow(), {x, monitor.top + i});
        const int y = ToScreen(PickerStateNow().ball_centre).y;
        if (y < previous || y > previous + 1) code = kSelfTestPickerSweep;
        previous = y;
    }
    FinishPicking(false);
    return code;
}

int CheckPickerBottomRightCancel(const RECT& monitor) {
    const POINT start{monitor.right - 2, monitor.bottom - 2};
    if (!OpenPicker(start) || !PickerWindow() || MainWindowVisible() || !Inside(monitor, PickerRect()))
        return kSelfTestPickerBottomRightOpen;
    if (!SamePoint(ToScreen(PickerStateNow().target_offset), start)) return kSelfTestPickerBottomRightPoint;
    BallMargins margins = BallMarginsNow();
    if (margins.right < kBallMargin || margins.bottom < kBallMargin) return kSelfTestPickerBottomRightBall;

    const POINT corner{monitor.right - 1, monitor.bottom - 1};
    SimulateDrag(corner);
    if (!SettledAfterRelease()) return kSelfTestPickerStillDragging;
    PlaceAndDraw(corner);
    if (!PickerStateNow().buttons_shown || !Inside(monitor, PickerRect())) return kSelfTestPickerBottomRightDrag;
    if (!SamePoint(ToScreen(PickerStateNow().target_offset), corner)) return kSelfTestPickerBottomRightDragPoint;
    margins = BallMarginsNow();
    if (margins.right < kBallMargin || margins.bottom < kBallMargin) return kSelfTestPickerBottomRightDragBall;

    ClickButton(false);
    if (PickerWindow() || TargetConfirmed() || MainWindowVisible()) return kSelfTestPickerCancel;
    return kSelfTestPassed;
}

int CheckPickerTopLeftConfirm(const RECT& monitor) {
    const POINT start{monitor.left + 2, monitor.top + 2};
    if (!OpenPicker(start) || !PickerWindow() || !Inside(monitor, PickerRect())) return kSelfTestPickerTopLeftOpen;
    if (!SamePoint(ToScreen(PickerStateNow().target_offset), start)) return kSelfTestPickerTopLeftPoint;
    BallMargins margins = BallMarginsNow();
    if (margins.left < kBallMargin || margins.top < kBallMargin) return kSelfTestPickerTopLeftBall;

    const POINT corner{monitor.left, monitor.top};
    SimulateDrag(corner);
    if (!SettledAfterRelease()) return kSelfTestPickerStillDragging;
    PlaceAndDraw(corner);
    if (!PickerStateNow().buttons_shown || !Inside(monitor, PickerRect())) return kSelfTestPickerTopLeftDrag;
    if (!SamePoint(ToScreen(PickerStateNow().target_offset), corner)) return kSelfTestPickerTopLeftDragPoint;
    margins = BallMarginsNow();
    if (margins.left < kBallMargin || margins.top < kBallMargin) return kSelfTestPickerTopLeftDragBall;

    ClickButton(true);
    if (PickerWindow() || !TargetConfirmed() || MainWindowVisible()) return kSelfTestPickerConfirm;
    if (!SamePoint(ClickPoint(), corner)) return kSelfTestPickerClickPoint;
    return kSelfTestPassed;
}

// The main window (hidden in this run) lies wholly inside its monitor's work area, its client area the
// layout at the scale it was given.
int CheckWindowFits() {
    HWND window = App().mainWindow.load();
    MONITORINFO info{};
    info.cbSize = sizeof info;
    RECT placed{}, client{};
    if (!window || !GetWindowRect(window, &placed) || !GetClientRect(window, &client) ||
        !GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTOPRIMARY), &info))
        return kSelfTestWindowFits;
    const RECT& work = info.rcWork;
    if (placed.left < work.left || placed.top < work.top || placed.right > work.right || placed.bottom > work.bottom)
        return kSelfTestWindowFits;
    const float scale = Ui().scale;
    if (client.right != ScaledLength(kLayoutSize.cx, scale) || client.bottom != ScaledLength(kLayoutSize.cy, scale))
        return kSelfTestWindowFits;
    return kSelfTestPassed;
}

}  // namespace

int RunSelfTest() {
    MonitorUnderTest monitor;
    // In the order of the self-test table; the first failure ends the run.
    const std::vector<std::function<int()>> checks = {
        CheckSignatureLibrary,
        CheckEmailRule,
        CheckChildControls,
        CheckDuration,
        CheckTimeOfDay,
        CheckMaskRule,
        CheckLiveMask,
        CheckHotkeyText,
        CheckTaskFields,
        CheckRoomCode,
        CheckSignature,
        CheckBlacklistCode,
        CheckWindowFits,
        [&monitor] { return CheckMonitor(monitor); },
        [&monitor] { return CheckCountdownOverlay(monitor); },
        [&monitor] { return CheckPickerSweep(monitor.rect); },
        [&monitor] { return CheckPickerBottomRightCancel(monitor.rect); },
        [&monitor] { return CheckPickerTopLeftConfirm(monitor.rect); },
    };
    for (const auto& check : checks)
        if (int code = check(); code != kSelfTestPassed) return code;
    return kSelfTestPassed;
}
