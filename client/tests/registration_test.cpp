// Registration and password reset as a person does them, against the reference service: the real
// window, real pointer and keyboard input, the code read from the service's outbox and typed into the
// form, the bodies the service received; and the form's rules, which decide before anything is sent.
#include <gtest/gtest.h>

#include <windows.h>

#include "account/account_form.h"
#include "account/login.h"
#include "account/saved_login.h"
#include "core/app_state.h"
#include "core/data_dir.h"
#include "core/form_fields.h"
#include "core/worker.h"
#include "net/json_text.h"
#include "support/dialog_watcher.h"
#include "support/main_window_harness.h"
#include "support/real_input.h"
#include "support/service_control.h"
#include "support/test_support.h"
#include "ui/ui_resources.h"

namespace {

AuthFormMode FormMode() {
    std::lock_guard<std::mutex> lock(App().stateMutex);
    return App().authFormMode;
}

bool RememberTicked() {
    std::lock_guard<std::mutex> lock(App().stateMutex);
    return App().rememberPassword;
}

class Registration : public AccountWindowTest {
protected:
    void SetUp() override { UseTheService(); }
    void TearDown() override {
        Ui().recordFrameTexts = false;
        CloseWindowAndData();
        TestServiceConfig("{\"code_ttl_ms\":600000}");
    }

    void OpenWindow() {
        harness_ = OpenWindowAtService();
        ASSERT_TRUE(harness_ != nullptr);
    }
    POINT At(int x, int y) const { return harness_->ScreenPoint(x, y); }
    static std::string NewEmail(const char* who) { return who + UniqueTestSuffix() + "@example.test"; }

    // Types into a field of the form as a person does: a click into it, the old text selected with
    // Shift+Tab and Tab (a field reached with the keyboard has its text selected), then the keys.
    void TypeInto(int x, int y, const std::wstring& text) {
        ClickAt(At(x, y));
        PressKey(VK_TAB, true);
        PressKey(VK_TAB);
        TypeText(text);
    }

    // Presses "发送验证码" and waits for the answer; the code the service mailed.
    std::string SendCodeAndReadMail(const std::string& email) {
        ClickAt(At(837, 509));
        EXPECT_TRUE(PumpUntil([] { return !CodeRequestBusyNow(); }, 15000));
        EXPECT_EQ(StatusTextNow(), L"验证码已发送，10 分钟内有效") << Utf16ToUtf8(DetailTextNow());
        const std::string code = OutboxCode(email);
        EXPECT_EQ(code.size(), 6u) << "the outbox of " << email;
        return code;
    }

    void SubmitAndWait() {
        ClickAt(At(740, 598));
        PumpUntil([] { return !AccountBusyNow(); }, 20000);
    }
};

TEST_F(Registration, ANewAccountWithTheMailedCodeSignsInAndKeepsNoOldPassword) {
    // A password kept for an earlier account: the new account must not inherit the remember box.
    ASSERT_TRUE(WriteSavedLoginForTest(L"earlier@example.test", L"Earlier-pass-1"));
    DialogWatcher dialogs;
    OpenWindow();
    EXPECT_TRUE(RememberTicked()) << "the earlier login was put into the form";

    const std::string email = NewEmail("newcomer");
    ClickAt(At(840, 181));
    EXPECT_EQ(FormMode(), AuthFormMode::Register);
    EXPECT_EQ(StatusTextNow(), L"填写邮箱、密码和收到的验证码");
    TypeInto(700, 349, Utf8ToUtf16(email));
    TypeInto(700, 429, L"Register-pass-1");
    const std::string code = SendCodeAndReadMail(email);
    EXPECT_EQ(LastRequestBody("auth.send_code"), "{\"email\":\"" + email + "\",\"purpose\":\"register\"}");

    TypeInto(640, 509, Utf8ToUtf16(code));
    ClickAt(At(559, 544));  // the agreement box
    SubmitAndWait();
    ASSERT_TRUE(PumpUntil([] { return LoggedInNow(); }, 15000)) << Utf16ToUtf8(StatusTextNow() + L" " + DetailTextNow());
    EXPECT_EQ(LastRequestBody("auth.register"),
              "{\"email\":\"" + email + "\",\"password\":\"Register-pass-1\",\"code\":\"" + code +
                  "\",\"device_name\":\"Windows\",\"client_platform\":\"windows\",\"privacy_notice_accepted\":true}");
    ASSERT_TRUE(PumpUntil([this] { return harness_->Received(MSG_PREPARATION_DONE) > 0; }, 15000));
    EXPECT_FALSE(SavedLoginExists()) << "the earlier account's password is gone";
    EXPECT_FALSE(RememberTicked());
    EXPECT_TRUE(IsPrivacyAccepted());

    // The purpose, then the personal centre, with the pointer: it says that no password is kept.
    ClickAt(At(580, 550));
    ClickAt(At(982, 50));
    PumpUntil([] { return false; }, 100);
    harness_->ShowInFront();
    EXPECT_TRUE(FrameDrew(Utf8ToUtf16(email)));
    EXPECT_TRUE(FrameDrew(L"本机未保存账号密码"));
    EXPECT_FALSE(FrameDrew(L"密码已由 Windows 凭据管理器加密保存"));
    EXPECT_EQ(dialogs.Count(), 0u);
}

TEST_F(Registration, AResetWithTheMailedCodeReturnsToTheLoginFormAndTheNewPasswordSignsIn) {
    const std::string email = NewEmail("forgetful");
    ASSERT_TRUE(CreateTestEmailAccount(email, "Old-password-1", 30));
    ASSERT_TRUE(WriteSavedLoginForTest(Utf8ToUtf16(email), L"Old-password-1"));
    RecordPrivacyAcceptance();
    DialogWatcher dialogs;
    OpenWindow();
    EXPECT_EQ(MainWindowHarness::Text(FormFieldControl(FormField::Account)), Utf8ToUtf16(email));

    ClickAt(At(845, 472));  // "忘记密码？"
    EXPECT_EQ(FormMode(), AuthFormMode::ResetPassword);
    EXPECT_EQ(StatusTextNow(), L"使用邮箱验证码设置新密码");
    EXPECT_EQ(MainWindowHarness::Text(FormFieldControl(FormField::Password)), L"") << "the old password left the form";
    TypeInto(700, 429, L"New-password-2");
    const std::string code = SendCodeAndReadMail(email);
    EXPECT_EQ(LastRequestBody("auth.send_code"), "{\"email\":\"" + email + "\",\"purpose\":\"reset\"}");
    TypeInto(640, 509, Utf8ToUtf16(code));
    SubmitAndWait();  // no agreement box in this form
    EXPECT_EQ(StatusTextNow(), L"密码已重置，请使用新密码登录") << Utf16ToUtf8(DetailTextNow());
    EXPECT_EQ(FormMode(), AuthFormMode::Login);
    EXPECT_EQ(LastRequestBody("auth.reset_password"),
              "{\"email\":\"" + email + "\",\"password\":\"New-password-2\",\"code\":\"" + code + "\"}");
    EXPECT_FALSE(SavedLoginExists()) << "the stored old password is gone";
    EXPECT_EQ(MainWindowHarness::Text(FormFieldControl(FormField::Password)), L"");
    EXPECT_FALSE(LoggedInNow());

    TypeInto(700, 429, L"New-password-2");
    ClickAt(At(740, 598));
    ASSERT_TRUE(PumpUntil([] { return LoggedInNow(); }, 15000)) << Utf16ToUtf8(StatusTextNow() + L" " + DetailTextNow());
    EXPECT_EQ(dialogs.Count(), 0u);
}

TEST_F(Registration, AWrongOrAnExpiredCodeShowsTheServicesMessage) {
    DialogWatcher dialogs;
    OpenWindow();
    ClickAt(At(840, 181));
    ClickAt(At(559, 544));

    const std::string wrongEmail = NewEmail("mistyped");
    TypeInto(700, 349, Utf8ToUtf16(wrongEmail));
    TypeInto(700, 429, L"Register-pass-1");
    const std::string code = SendCodeAndReadMail(wrongEmail);
    const std::wstring wrong = code == "123456" ? L"654321" : L"123456";
    TypeInto(640, 509, wrong);
    SubmitAndWait();
    EXPECT_EQ(StatusTextNow(), L"注册失败");
    EXPECT_EQ(DetailTextNow(), L"验证码不正确");
    EXPECT_FALSE(LoggedInNow());
    EXPECT_NE(LastRequestBody("auth.register").find("\"code\":\"" + Utf16ToUtf8(wrong) + "\""), std::string::npos);
    EXPECT_EQ(MainWindowHarness::Text(FormFieldControl(FormField::Password)), L"") << "emptied when the request left";

    // A code that has run out (the service's codes last one second for this case).
    ASSERT_TRUE(TestServiceConfig("{\"code_ttl_ms\":1000}"));
    const std::string lateEmail = NewEmail("late");
    TypeInto(700, 349, Utf8ToUtf16(lateEmail));
    TypeInto(700, 429, L"Register-pass-1");
    const std::string lateCode = SendCodeAndReadMail(lateEmail);
    PumpUntil([] { return false; }, 1300);
    TypeInto(640, 509, Utf8ToUtf16(lateCode));
    SubmitAndWait();
    EXPECT_EQ(StatusTextNow(), L"注册失败");
    EXPECT_EQ(DetailTextNow(), L"验证码已过期，请重新获取");
    EXPECT_FALSE(LoggedInNow());
    EXPECT_EQ(dialogs.Count(), 0u);
}

// ---- the form's rules, before any request -------------------------------------------------------

TEST(AccountFormRules, CodesPasswordsAndAddresses) {
    EXPECT_TRUE(IsSixDigitCode(L"012345"));
    for (const wchar_t* code : {L"01234", L"0123456", L"01234a", L"", L"０１２３４５", L"12 345"})
        EXPECT_FALSE(IsSixDigitCode(code)) << Utf16ToUtf8(code);
    const std::wstring email = L"a@b";
    EXPECT_TRUE(IsCompleteAccountForm(email, 8, L"123456"));
    EXPECT_TRUE(IsCompleteAccountForm(email, 200, L"123456"));
    EXPECT_FALSE(IsCompleteAccountForm(email, 7, L"123456")) << "login accepts 7, a new password does not";
    EXPECT_FALSE(IsCompleteAccountForm(email, 201, L"123456"));
    EXPECT_FALSE(IsCompleteAccountForm(L"@b", 8, L"123456"));
    EXPECT_FALSE(IsCompleteAccountForm(L"a@", 8, L"123456"));
    EXPECT_FALSE(IsCompleteAccountForm(std::wstring(188, L'a') + L"@bc", 8, L"123456")) << "191 characters";
    EXPECT_TRUE(IsCompleteAccountForm(std::wstring(187, L'a') + L"@bc", 8, L"123456")) << "190 characters";
}

TEST(AccountFormRules, RequestBodies) {
    EXPECT_EQ(BuildSendCodeBody("a\"b@c", AuthFormMode::Register), "{\"email\":\"a\\\"b@c\",\"purpose\":\"register\"}");
    EXPECT_EQ(BuildSendCodeBody("a@c", AuthFormMode::ResetPassword), "{\"email\":\"a@c\",\"purpose\":\"reset\"}");
    EXPECT_EQ(BuildAccountFormBody("a@c", "p\\w", "123456", AuthFormMode::ResetPassword),
              "{\"email\":\"a@c\",\"password\":\"p\\\\w\",\"code\":\"123456\"}");
    EXPECT_STREQ(AccountFormAction(AuthFormMode::Register), "auth.register");
    EXPECT_STREQ(AccountFormAction(AuthFormMode::ResetPassword), "auth.reset_password");
}

class AccountFormOffline : public AccountWindowTest {
protected:
    void SetUp() override { OpenOfflineWindow(); }
    void TearDown() override { CloseWindowAndData(); }
    void Form(AuthFormMode mode, bool serviceReady, bool agreed, const wchar_t* email, const wchar_t* password,
              const wchar_t* code) {
        harness_->ChangeState([&](AppState& app) {
            app.authFormMode = mode;
            app.serviceReady = serviceReady;
            app.privacyAccepted = agreed;
            app.statusText = L"before";
        });
        WriteFormField(FormField::Account, email);
        WriteFormField(FormField::Password, password);
        WriteFormField(FormField::EmailCode, code);
    }
};

TEST_F(AccountFormOffline, RefusedFormsSayWhyAndSendNothing) {
    struct Case {
        AuthFormMode mode;
        bool ready, agreed;
        const wchar_t *email, *password, *code;
        const wchar_t *caption, *text;
    };
    const wchar_t* kIncomplete = L"请填写正确邮箱、至少 8 位密码和 6 位邮箱验证码。";
    const Case cases[] = {
        {AuthFormMode::Register, true, true, L"a@b.c", L"Password-1", L"12345", L"无法注册", kIncomplete},
        {AuthFormMode::Register, true, true, L"a@b.c", L"Password-1", L"1234567", L"无法注册", kIncomplete},
        {AuthFormMode::Register, true, true, L"a@b.c", L"Passwd7", L"123456", L"无法注册", kIncomplete},
        {AuthFormMode::ResetPassword, true, false, L"a@b.c", L"Passwd7", L"123456", L"无法重置密码", kIncomplete},
        {AuthFormMode::ResetPassword, true, false, L"ab.c", L"Password-1", L"123456", L"无法重置密码", kIncomplete},
        {AuthFormMode::Register, false, true, L"a@b.c", L"Password-1", L"123456", L"无法注册",
         L"暂时无法连接账号服务，请稍后重试。"},
        {AuthFormMode::Register, true, false, L"a@b.c", L"Password-1", L"123456", L"需要同意使用协议",
         L"首次登录或注册前，请先勾选“我已阅读并同意用户使用协议与隐私说明”。"},
    };
    for (const Case& c : cases) {
        DialogWatcher dialogs;
        Form(c.mode, c.ready, c.agreed, c.email, c.password, c.code);
        SubmitAccountForm();
        ASSERT_TRUE(dialogs.WaitForCount(1)) << Utf16ToUtf8(c.caption);
        EXPECT_EQ(dialogs.Seen()[0].caption, c.caption);
        EXPECT_EQ(dialogs.Seen()[0].text, c.text);
        EXPECT_FALSE(AccountBusyNow());
        EXPECT_EQ(StatusTextNow(), L"before") << "nothing was sent";
        EXPECT_EQ(MainWindowHarness::Text(FormFieldControl(FormField::Password)), c.password) << "the field keeps it";
    }

    // The code request: refused with a bad address or without the service, and silent in the login form.
    const struct {
        bool ready;
        const wchar_t* email;
        const wchar_t* text;
    } codeCases[] = {{true, L"no-at-sign", L"请先填写正确的邮箱地址。"},
                     {false, L"a@b.c", L"暂时无法连接账号服务，请稍后重试。"}};
    for (const auto& c : codeCases) {
        DialogWatcher dialogs;
        Form(AuthFormMode::Register, c.ready, true, c.email, L"", L"");
        SendCode();
        ASSERT_TRUE(dialogs.WaitForCount(1));
        EXPECT_EQ(dialogs.Seen()[0].caption, L"无法发送验证码");
        EXPECT_EQ(dialogs.Seen()[0].text, c.text);
        EXPECT_FALSE(CodeRequestBusyNow());
    }
    DialogWatcher none;
    Form(AuthFormMode::Login, true, true, L"a@b.c", L"", L"");
    ClickAt(harness_->ScreenPoint(837, 509));
    PumpUntil([] { return false; }, 200);
    EXPECT_FALSE(CodeRequestBusyNow());
    EXPECT_EQ(StatusTextNow(), L"before");
    EXPECT_EQ(none.Count(), 0u);
}

TEST_F(AccountFormOffline, EnterInTheFormPressesItsButton) {
    for (AuthFormMode mode : {AuthFormMode::Register, AuthFormMode::ResetPassword}) {
        DialogWatcher dialogs;
        Form(mode, true, true, L"a@b.c", L"Password-1", L"12");
        ClickAt(harness_->ScreenPoint(640, 509));
        PressKey(VK_RETURN);
        ASSERT_TRUE(dialogs.WaitForCount(1));
        EXPECT_EQ(dialogs.Seen()[0].caption, mode == AuthFormMode::Register ? L"无法注册" : L"无法重置密码");
    }
}

TEST_F(AccountFormOffline, TheCodeFieldTakesSixDigitsOnly) {
    harness_->ChangeState([](AppState& app) { app.authFormMode = AuthFormMode::Register; });
    ClickAt(harness_->ScreenPoint(640, 509));
    TypeText(L"12a34-5678");
    EXPECT_EQ(MainWindowHarness::Text(FormFieldControl(FormField::EmailCode)), L"123456");
}

TEST_F(AccountFormOffline, RequestsThatGetNoWorkerLeaveNothingBusyAndSaySo) {
    WorkersRefusedForTesting() = true;
    Form(AuthFormMode::Register, true, true, L"a@b.c", L"Password-1", L"123456");
    SendCode();
    EXPECT_FALSE(CodeRequestBusyNow());
    EXPECT_EQ(StatusTextNow(), L"验证码发送失败");
    EXPECT_EQ(DetailTextNow(), L"无法启动发送任务，请稍后重试");

    SubmitAccountForm();
    EXPECT_FALSE(AccountBusyNow());
    EXPECT_EQ(StatusTextNow(), L"注册失败");
    EXPECT_EQ(DetailTextNow(), L"无法启动注册任务，请稍后重试");

    Form(AuthFormMode::ResetPassword, true, true, L"a@b.c", L"Password-1", L"123456");
    SubmitAccountForm();
    EXPECT_FALSE(AccountBusyNow());
    EXPECT_EQ(StatusTextNow(), L"密码重置失败");
    EXPECT_EQ(DetailTextNow(), L"无法启动重置任务，请稍后重试");

    Form(AuthFormMode::Login, true, true, L"a@b.c", L"Password-1", L"");
    StartLogin();
    EXPECT_FALSE(AccountBusyNow());
    EXPECT_EQ(StatusTextNow(), L"登录失败");
    EXPECT_EQ(DetailTextNow(), LoginFailureDetail(L"无法启动登录任务，请稍后重试"));
}

}  // namespace
