// The process-wide application state: everything that more than one thread sees, under one lock.
//
// Workers change it under `stateMutex` and then post one of the private messages below to the main
// window; the user-interface thread repaints from a snapshot. The lock is held only for short copies
// and updates, never across a network call, a sleep, a message box or drawing.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

// Private messages (always posted with wParam = lParam = 0).
constexpr UINT MSG_STATUS_CHANGED = WM_APP + 1;     // statusText / detailText changed
constexpr UINT MSG_STATE_CHANGED = WM_APP + 2;      // anything else changed (also to the countdown overlay)
constexpr UINT MSG_TIME_ALIGNED = WM_APP + 3;       // the unified time was just aligned after a login
constexpr UINT MSG_BLACKLIST_HIT = WM_APP + 4;      // the chosen target is blacklisted
constexpr UINT MSG_PREPARATION_DONE = WM_APP + 5;   // session preparation finished
constexpr UINT MSG_TASK_STARTED = WM_APP + 6;       // a click task has started
constexpr UINT MSG_TASK_ENDED = WM_APP + 7;         // a click task has ended (its outcome is in the state)
constexpr UINT MSG_CLICK_COMING = WM_APP + 8;       // the click is seconds away: this program's windows make way

enum class ModalPanelKind : int32_t { None = 0, Purpose = 1, TopUp = 2, PersonalCentre = 3 };
enum class AuthFormMode : int32_t { Login = 0, Register = 1, ResetPassword = 2 };
enum class PaymentMethod : int32_t { None = 0, Alipay = 1, WeChatPay = 2 };

// The chosen click position and the program under it.
struct TargetSelection {
    bool target_confirmed = false;
    POINT click_point{0, 0};
    std::wstring executable_name;
    std::string executable_sha256;  // 64 lower-case hex digits
    std::wstring executable_path;   // where the program ran from at the pick; its click goes to it alone
    bool check_ok = false;
    bool blocked = false;
    std::wstring block_reason;
};

// Everything that lives and dies with one signed-in session. Signing out assigns a fresh record, so a
// field added here is reset with the others.
struct Session {
    // The account, as the login answer named it.
    bool logged_in = false;
    std::string token;            // bearer token (UTF-8)
    std::string sign_public_key;  // base64 of the service's 32-byte Ed25519 key, as received
    std::string email;            // UTF-8
    int64_t id = 0;
    int64_t credits = 0;
    bool developer_user = false;

    bool purposeSaved = false;
    int32_t savedPurpose = 0;
    int32_t pendingPurpose = 0;
    ModalPanelKind modalPanel = ModalPanelKind::None;
    // The status lines as they stood when the panel opened: a newer one is what the person's action in
    // the panel caused, and is shown over the panel rather than under its dimming.
    std::wstring panelStatusAtOpen;
    std::wstring panelDetailAtOpen;
    bool panelActionReported = false;  // a panel action that reports in the status lines has started
    // A payment page whose address the main window shows to copy, once: the shell may report a page as
    // opened when no browser showed it (under wine it always does), so the address is always offered.
    std::wstring paymentPageToShow;
    bool paymentPageOpened = false;  // and whether the shell said it opened it
    int64_t creditsBeforePayment = -1;  // the balance when the last order was made; -1 when none waits
    bool hotkeyCapturing = false;  // the personal centre waits for a new wake hotkey

    // A target chosen before the login stays for the session that follows (its preparation checks it).
    TargetSelection target;
    bool blacklistPickMode = false;
    // The program of the latest pick made for the blacklist form: the code names this one, even when
    // an ordinary pick has changed the click target since.
    std::wstring blacklistExecutableName;
    std::string blacklistExecutableSha256;

    bool accountRefreshBusy = false;
    bool alipayAvailable = false;
    bool wxpayAvailable = false;
    int32_t pointsPerYuan = 10;
    PaymentMethod paymentMethod = PaymentMethod::Alipay;
    int64_t accountRefreshDueMs = 0;  // local wall clock ms
    int64_t fastRefreshUntilMs = 0;   // local wall clock ms
};

// The status line of a program that has not heard from the service yet (and of the start-up check
// while it is made again).
inline constexpr wchar_t kConnectingStatus[] = L"正在连接服务…";
// The sign-in form's status line: asking for the two fields, and once both hold something.
inline constexpr wchar_t kSignInAskText[] = L"请输入邮箱和密码";
inline constexpr wchar_t kSignInReadyText[] = L"已填写邮箱和密码，按“登录”或 Enter 继续";

struct AppState {
    // The windows workers post to. Written on the user-interface thread, read by any thread, so they
    // are atomic; everything a worker may not touch (controls, fonts) stays with the user interface.
    std::atomic<HWND> mainWindow{nullptr};
    std::atomic<HWND> countdownWindow{nullptr};

    std::mutex stateMutex;  // guards every member below (not taskBusy)

    std::wstring statusText = kConnectingStatus;
    std::wstring detailText;
    // The room's result page that the status line speaks of: "查看房间结果" is offered while the status
    // line still reads `roomResultStatus` (any later report replaces the line, and with it the offer).
    std::wstring roomResultPage;
    std::wstring roomResultStatus;
    // A room result page whose address the main window shows to copy, once, as a payment page's.
    std::wstring roomPageToShow;
    bool roomPageOpened = false;

    Session session;

    int64_t countdownTargetMs = 0;  // unified ms of the scheduled click; 0 = no countdown
    // The outcome of the task that ended last, in a few words for the badge, shown until the
    // monotonic moment `taskOutcomeUntilUs` (0 = nothing to show).
    std::wstring taskOutcomeText;
    bool taskOutcomeClicked = false;
    int64_t taskOutcomeUntilUs = 0;
    POINT countdownPoint{0, 0};     // where the running task clicks: the badge stands on its monitor
    int64_t timeOffsetMs = 0;       // unified time minus the local wall clock
    int64_t timeUncertaintyMs = 0;
    std::wstring timeSourceLabel = L"正在获取准确时间";
    bool timeAligned = false;
    bool clickTimeEdited = false;
    bool testTimeEdited = false;

    bool serviceReady = false;
    bool accountBusy = false;
    bool codeRequestBusy = false;
    bool rememberPassword = false;
    bool privacyAccepted = false;

    uint32_t hotkeyModifiers = MOD_ALT | MOD_CONTROL;
    uint32_t hotkeyKey = 0x51;  // Q
    bool hotkeyRegistered = false;

    AuthFormMode authFormMode = AuthFormMode::Login;

    // The newest blacklist check started; the answer of an older one is dropped when it comes.
    uint64_t blacklistCheckSerial = 0;

    std::atomic<bool> taskBusy{false};  // a click task is running; changed by exchange, outside the lock
};

// The one instance.
AppState& App();

// Whether the status line still gives the room's result whose page it offers (under the state lock;
// not while a countdown runs, whose lines take the box).
inline bool RoomResultOffered(const AppState& app) {
    return !app.roomResultPage.empty() && app.statusText == app.roomResultStatus && app.countdownTargetMs == 0;
}

// Posts `message` to the main window when it exists (a post to a destroyed window simply fails).
void PostToMainWindow(UINT message);

// User-interface thread: the main window repaints all of itself at its next paint.
void RepaintMainWindow();

// A message box with an OK button, owned by the main window (by none while it does not exist);
// `flags` are the icon and any further MB_ flags.
void ShowMessage(const std::wstring& text, const wchar_t* caption, UINT flags);
// The same for a question: Yes and No, with No the default so that Enter alone never agrees.
bool AskYesNo(const std::wstring& text, const wchar_t* caption, UINT icon);

// Replaces both status lines, then posts MSG_STATUS_CHANGED.
void SetStatus(std::wstring status, std::wstring detail);

// Stores a successful time alignment, marks the time as aligned, then posts MSG_STATE_CHANGED.
void PublishTimeAlignment(int64_t offsetMs, std::wstring label, int64_t uncertaintyMs);

// Sets the countdown target (0 clears it) and, when given, the time offset; then posts
// MSG_STATE_CHANGED to the main window and to the countdown overlay.
void SetCountdownTarget(int64_t targetMs, std::optional<int64_t> offsetMs = std::nullopt);

// The unified time: the local wall clock plus the offset of the latest alignment, in ms since 1970.
int64_t UnifiedNowMs();
