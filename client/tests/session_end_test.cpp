// Signing out and the deletion request, through the personal centre of the real window with real
// input against the reference service: signed out at once whether or not the service answers; the
// deletion's two confirmations, the real password dialog (resource 202) and the service's verdict.
#include <gtest/gtest.h>

#include <windows.h>

#include <thread>

#include "account/saved_login.h"
#include "account/session_end.h"
#include "core/app_state.h"
#include "core/form_fields.h"
#include "core/worker.h"
#include "net/json_text.h"
#include "net/service_api.h"
#include "support/dialog_watcher.h"
#include "support/main_window_harness.h"
#include "support/real_input.h"
#include "support/service_control.h"
#include "support/test_support.h"
#include "ui/click_regions.h"
#include "ui/keyboard_navigation.h"
#include "ui/ui_resources.h"
#include "ui/wake_hotkey.h"

namespace {

bool RememberTicked() {
    std::lock_guard<std::mutex> lock(App().stateMutex);
    return App().rememberPassword;
}

std::string TokenNow() {
    std::lock_guard<std::mutex> lock(App().stateMutex);
    return App().session.token;
}

std::wstring TextOf(HWND window) { return MainWindowHarness::Text(window); }

// The visible dialog of this process with that caption, waited for up to `timeoutMs` (on a thread
// other than the one that shows it).
HWND WaitForDialog(const wchar_t* caption, DWORD timeoutMs = 5000) {
    const ULONGLONG until = GetTickCount64() + timeoutMs;
    for (;;) {
        HWND found = FindTopLevelWindowOf(GetCurrentProcessId(), L"#32770", true, caption);
        if (found || GetTickCount64() > until) return found;
        Sleep(15);
    }
}

// Whether the service still takes the session (a "me" request with its token succeeds).
bool ServiceTakesToken(const std::string& token) {
    std::wstring message;
    return EvaluateApiResponse(PostServiceAction("me", "{}", token, 8000), message);
}

// How a person answers the deletion: Yes in the warning, then in the password dialog first the
// button with an empty field (the dialog says a password is needed and stays), then the password.
class DeletionAnswers {
public:
    explicit DeletionAnswers(std::wstring password, bool tryEmptyFirst = false)
        : password_(std::move(password)), tryEmptyFirst_(tryEmptyFirst) {}

    void operator()(HWND dialog, const SeenDialog& seen) {
        if (seen.caption == L"注销账号") {
            warning_ = seen;
            ClickDialogButton(dialog, IDYES);
        } else if (seen.caption == L"确认注销账号") {
            InspectPasswordDialog(dialog);
            if (tryEmptyFirst_) {
                PressKey(VK_RETURN);
                if (HWND box = WaitForDialog(L"需要密码")) {
                    needPasswordOwner_ = GetWindow(box, GW_OWNER) == dialog;
                    needPasswordShown_ = true;
                    ClickDialogButton(box, IDOK);
                }
                stayedOpen_ = IsWindowVisible(dialog) != FALSE;
            }
            TypeText(password_);
            PressKey(VK_RETURN);
        } else {
            PostMessageW(dialog, WM_COMMAND, IDOK, 0);
        }
    }

    SeenDialog warning_;
    std::string layout_ = "not seen";  // what differs from the design (empty: nothing)
    bool needPasswordShown_ = false, needPasswordOwner_ = false, stayedOpen_ = false;

private:
    // The template as designed: the field 2011 hides its characters, the buttons, and the field's
    // place in dialog units.
    void InspectPasswordDialog(HWND dialog) {
        HWND field = GetDlgItem(dialog, kDeletionPasswordField);
        RECT designed{18, 45, 18 + 230, 45 + 22};
        MapDialogRect(dialog, &designed);
        RECT actual{};
        GetWindowRect(field, &actual);
        MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&actual), 2);
        GUITHREADINFO thread{};
        thread.cbSize = sizeof thread;
        GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &thread);
        layout_ = std::string(field ? "" : "no field 2011; ") +
                  ((GetWindowLongW(field, GWL_STYLE) & ES_PASSWORD) ? "" : "characters shown; ") +
                  (TextOf(GetDlgItem(dialog, IDOK)) == L"确认注销" ? "" : "OK button; ") +
                  (TextOf(GetDlgItem(dialog, IDCANCEL)) == L"取消" ? "" : "cancel button; ") +
                  (thread.hwndFocus == field ? "" : "focus not in the field; ") +
                  (EqualRect(&designed, &actual) ? "" : "field not at 18, 45, 230 × 22; ");
    }

    std::wstring password_;
    bool tryEmptyFirst_;
};

class SessionEnd : public AccountWindowTest {
protected:
    void SetUp() override {
        UseTheService();
        if (IsSkipped()) return;
        email_ = "leaving" + UniqueTestSuffix() + "@example.test";
        ASSERT_TRUE(CreateTestEmailAccount(email_, "Leaving-pass-1", 50));
        harness_ = std::make_unique<MainWindowHarness>();
        ASSERT_TRUE(harness_->Alive());
        Ui().recordFrameTexts = true;
        ASSERT_TRUE(harness_->WaitForStartupCheck());
        ASSERT_TRUE(harness_->SignInWithTheForm(email_, "Leaving-pass-1", true));
        ASSERT_TRUE(SavedLoginExists()) << "the remember box kept the password";
        token_ = TokenNow();
        harness_->ShowInFront();
    }
    void TearDown() override {
        Ui().recordFrameTexts = false;
        TestServiceClearFaults();
        CloseWindowAndData();
    }
    POINT At(int x, int y) const { return harness_->ScreenPoint(x, y); }
    void OpenPersonalCentre() {
        ClickAt(At(982, 50));
        PumpUntil([] { return false; }, 60);
    }

    std::string email_, token_;
};

TEST_F(SessionEnd, LogoutSignsOutAtOnceAndTheServiceEndsTheSession) {
    OpenPersonalCentre();
    EXPECT_TRUE(FrameDrew(L"密码已由 Windows 凭据管理器加密保存"));
    ClickAt(At(457, 557));  // "退出账号"
    EXPECT_FALSE(LoggedInNow()) << "signed out before the service could answer";
    EXPECT_EQ(StatusTextNow(), L"已安全退出账号");
    EXPECT_EQ(TextOf(FormFieldControl(FormField::Account)), Utf8ToUtf16(email_)) << "the stored login is back";
    EXPECT_EQ(TextOf(FormFieldControl(FormField::Password)), L"Leaving-pass-1");
    EXPECT_TRUE(RememberTicked());
    // The service hears of it in the background and no longer takes the session.
    EXPECT_TRUE(PumpUntil([this] { return !ServiceTakesToken(token_); }, 10000));
    EXPECT_EQ(LastRequestBody("auth.logout"), "{}");
    // The keyboard rests where the sign-in form begins, never on "退出": Enter now must not end the program.
    PumpUntil([] { return false; }, 200);
    const std::optional<ClickHit> focused = FocusedControl();
    EXPECT_TRUE(!focused || std::string(ClickRowName(*focused)) != "退出") << (focused ? ClickRowName(*focused) : "");
    PressKey(VK_RETURN);
    PumpUntil([] { return false; }, 500);
    EXPECT_TRUE(harness_->Alive()) << "Enter after the logout closed the program";
}

TEST_F(SessionEnd, LogoutSignsOutAtOnceWhenTheConnectionDrops) {
    ASSERT_TRUE(TestServiceFault(R"({"action":"auth.logout","delay_ms":3000,"drop":true,"times":1})"));
    OpenPersonalCentre();
    const ULONGLONG start = GetTickCount64();
    ClickAt(At(457, 557));
    EXPECT_FALSE(LoggedInNow());
    EXPECT_LT(GetTickCount64() - start, 2500u) << "the click did not wait for the service";
    EXPECT_EQ(StatusTextNow(), L"已安全退出账号");
    harness_->ShowInFront();
    EXPECT_TRUE(FrameDrew(L"账号登录")) << "the login form is shown";
}

TEST_F(SessionEnd, DeletionWithAWrongThenTheRightPassword) {
    {
        DeletionAnswers answers(L"Wrong-pass-9", true);
        DialogWatcher dialogs([&answers](HWND dialog, const SeenDialog& seen) { answers(dialog, seen); });
        OpenPersonalCentre();
        ClickAt(At(702, 557));  // "注销账号"
        ASSERT_TRUE(PumpUntil([] { return StatusTextNow() == L"注销申请提交失败" || !LoggedInNow(); }, 15000))
            << Utf16ToUtf8(StatusTextNow());
        EXPECT_EQ(answers.warning_.icon, DialogIcon::Warning);
        EXPECT_EQ(answers.warning_.text,
                  L"注销申请提交后会立即退出账号；宽限期结束后删除登录凭据并匿名化身份数据。\n"
                  L"依法需要保留的支付和安全记录会在保存期限结束后清理。\n\n确定继续吗？");
        EXPECT_EQ(answers.layout_, "") << "dialog 202 as designed";
        EXPECT_TRUE(answers.needPasswordShown_ && answers.needPasswordOwner_ && answers.stayedOpen_)
            << "an empty password keeps the dialog open with a warning";
        EXPECT_EQ(StatusTextNow(), L"注销申请提交失败");
        EXPECT_EQ(DetailTextNow(), L"密码不正确，注销申请未提交");
        EXPECT_TRUE(LoggedInNow());
        EXPECT_EQ(LastRequestBody("account.delete.request"), "{\"password\":\"Wrong-pass-9\"}");
    }
    {
        DeletionAnswers answers(L"Leaving-pass-1");
        DialogWatcher dialogs([&answers](HWND dialog, const SeenDialog& seen) { answers(dialog, seen); });
        OpenPersonalCentre();
        ClickAt(At(702, 557));
        ASSERT_TRUE(PumpUntil([] { return !LoggedInNow(); }, 15000)) << Utf16ToUtf8(StatusTextNow() + L" " + DetailTextNow());
    }
    EXPECT_EQ(StatusTextNow(), L"注销申请已提交");
    EXPECT_EQ(DetailTextNow(), L"账号已退出");
    EXPECT_FALSE(SavedLoginExists());
    EXPECT_FALSE(RememberTicked()) << "the next login does not save the password unasked";
    EXPECT_EQ(TextOf(FormFieldControl(FormField::Password)), L"") << "not filled from the removed entry";
    EXPECT_FALSE(ServiceTakesToken(token_));
    std::lock_guard<std::mutex> lock(App().stateMutex);
    EXPECT_TRUE(App().session.email.empty());
}

TEST_F(SessionEnd, CancellingEitherConfirmationSendsNothing) {
    const std::string before = TestServiceLastRequest("account.delete.request");
    {
        DialogWatcher dialogs(IDNO);
        OpenPersonalCentre();
        ClickAt(At(702, 557));
        ASSERT_TRUE(dialogs.WaitForCount(1));
        EXPECT_EQ(dialogs.Seen()[0].caption, L"注销账号");
    }
    {
        DialogWatcher dialogs([](HWND dialog, const SeenDialog& seen) {
            ClickDialogButton(dialog, seen.caption == L"注销账号" ? IDYES : IDCANCEL);
        });
        OpenPersonalCentre();
        ClickAt(At(702, 557));
        ASSERT_TRUE(dialogs.WaitForCount(2));
        EXPECT_EQ(dialogs.Seen()[1].caption, L"确认注销账号");
    }
    PumpUntil([] { return false; }, 300);
    EXPECT_TRUE(LoggedInNow());
    EXPECT_EQ(TestServiceLastRequest("account.delete.request"), before) << "nothing reached the service";
}

// ---- without the service ------------------------------------------------------------------------

class SessionEndOffline : public AccountWindowTest {
protected:
    void SetUp() override { OpenOfflineWindow(); }
    void TearDown() override {
        App().taskBusy = false;
        if (harness_) UnregisterWakeHotkey(harness_->window());
        CloseWindowAndData();
    }
    void SignedInWithEverything() {
        harness_->ChangeState([](AppState& app) {
            app.session = Session{true, "offline-token", "key", "someone@example.test", 9, 70, true};
            app.rememberPassword = true;
            app.session.purposeSaved = true;
            app.session.savedPurpose = 2;
            app.session.modalPanel = ModalPanelKind::PersonalCentre;
            app.authFormMode = AuthFormMode::Register;
            app.countdownTargetMs = 1234567;
            app.session.target = TargetSelection{true, {5, 6}, L"app.exe", std::string(64, 'a'), L"", true, false, L""};
            app.session.accountRefreshBusy = true;
            app.session.alipayAvailable = app.session.wxpayAvailable = true;
            app.session.fastRefreshUntilMs = 99;
            app.session.pointsPerYuan = 50;
        });
    }
    // Whether another window could take Ctrl+Alt+Q (it cannot while the wake hotkey holds it).
    static bool WakeHotkeyFree() {
        HWND other = CreateWindowExW(0, L"STATIC", L"probe", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
        const bool free = RegisterHotKey(other, 9, MOD_CONTROL | MOD_ALT | MOD_NOREPEAT, 'Q') != FALSE;
        if (free) UnregisterHotKey(other, 9);
        DestroyWindow(other);
        return free;
    }
};

TEST_F(SessionEndOffline, EndSessionOnAWorkerLeavesNothingOfTheAccountAndKeepsARunningTasksCountdown) {
    ASSERT_TRUE(RegisterWakeHotkey(harness_->window(), MOD_CONTROL | MOD_ALT, 'Q'));
    SignedInWithEverything();
    StartHotkeyCapture();
    EXPECT_TRUE(WakeHotkeyFree()) << "the capture gave the hotkey up";
    App().taskBusy = true;
    std::thread([] { EndSession(L"注销申请已提交", L"账号已退出"); }).join();
    PumpUntil([] { return false; }, 100);

    {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        const AppState& app = App();
        EXPECT_FALSE(app.session.logged_in);
        EXPECT_TRUE(app.session.token.empty() && app.session.sign_public_key.empty() && app.session.email.empty());
        EXPECT_EQ(app.session.id, 0);
        EXPECT_EQ(app.session.credits, 0);
        EXPECT_FALSE(app.session.developer_user);
        EXPECT_FALSE(app.rememberPassword);
        EXPECT_EQ(app.authFormMode, AuthFormMode::Login);
        EXPECT_FALSE(app.session.purposeSaved);
        EXPECT_EQ(app.session.savedPurpose, 2) << "the next sign-in's panel offers the purpose chosen before";
        EXPECT_EQ(app.session.pendingPurpose, 2);
        EXPECT_EQ(app.session.modalPanel, ModalPanelKind::None);
        EXPECT_EQ(app.countdownTargetMs, 1234567) << "the running task keeps its countdown";
        EXPECT_FALSE(app.session.hotkeyCapturing);
        EXPECT_FALSE(app.session.target.target_confirmed || app.session.target.check_ok || app.session.target.blocked);
        EXPECT_TRUE(app.session.target.executable_name.empty() && app.session.target.executable_sha256.empty());
        EXPECT_FALSE(app.session.accountRefreshBusy || app.session.alipayAvailable || app.session.wxpayAvailable);
        EXPECT_EQ(app.session.fastRefreshUntilMs, 0);
        EXPECT_EQ(app.session.pointsPerYuan, 10);
        EXPECT_EQ(app.statusText, L"注销申请已提交");
        EXPECT_EQ(app.detailText, L"账号已退出");
        EXPECT_TRUE(app.hotkeyRegistered) << "the ended capture gave the wake hotkey back";
    }
    EXPECT_FALSE(WakeHotkeyFree());

    App().taskBusy = false;
    harness_->ChangeState([](AppState& app) { app.session.logged_in = true; });
    EndSession(L"已安全退出账号", L"");
    std::lock_guard<std::mutex> lock(App().stateMutex);
    EXPECT_EQ(App().countdownTargetMs, 0) << "without a task the countdown goes with the session";
}

TEST_F(SessionEndOffline, WithoutAWorkerTheLogoutStillSignsOutAndTheDeletionSaysItWasNotSent) {
    WorkersRefusedForTesting() = true;
    SignedInWithEverything();
    Logout();
    EXPECT_FALSE(LoggedInNow());
    EXPECT_EQ(StatusTextNow(), L"已安全退出账号");
    EXPECT_EQ(DetailTextNow(), L"未能通知服务端，本机登录已清除");

    SignedInWithEverything();
    DeletionAnswers answers(L"Some-pass-1");
    DialogWatcher dialogs([&answers](HWND dialog, const SeenDialog& seen) { answers(dialog, seen); });
    RequestAccountDeletion();
    EXPECT_TRUE(LoggedInNow());
    EXPECT_EQ(StatusTextNow(), L"注销申请提交失败");
    EXPECT_EQ(DetailTextNow(), L"无法启动后台任务，请稍后重试");
}

TEST(DeletionRules, TheBodyCarriesThePasswordEscaped) {
    EXPECT_EQ(BuildDeletionBody("pa\"ss\\1"), "{\"password\":\"pa\\\"ss\\\\1\"}");
}

}  // namespace
