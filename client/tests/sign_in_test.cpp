// Signing in as a person does, against the reference service: the real main window, real pointer
// and keyboard input, real HTTPS. The service receives the login and the dashboard shows the balance
// the service holds.
#include <gtest/gtest.h>

#include <windows.h>

#include "account/login.h"
#include "account/saved_login.h"
#include "core/app_state.h"
#include "core/config.h"
#include "core/data_dir.h"
#include "core/form_fields.h"
#include "net/json_text.h"
#include "support/dialog_watcher.h"
#include "support/main_window_harness.h"
#include "support/person.h"
#include "support/pixels.h"
#include "support/real_input.h"
#include "support/service_control.h"
#include "support/test_support.h"
#include "ui/screen_layout.h"
#include "ui/screen_state.h"
#include "ui/ui_resources.h"

namespace {

class SignIn : public AccountWindowTest {
protected:
    void SetUp() override {
        UseTheService();
        if (IsSkipped()) return;
        email_ = "person" + UniqueTestSuffix() + "@example.test";
        ASSERT_TRUE(CreateTestEmailAccount(email_, "Password-123", 240));
    }
    void TearDown() override {
        Ui().recordFrameTexts = false;
        CloseWindowAndData();
    }

    void OpenWindow() {
        harness_ = OpenWindowAtService();
        ASSERT_TRUE(harness_ != nullptr);
    }

    // Waits for the session and its preparation, then checks what the service received and what the
    // window shows: the dashboard with the balance the service holds.
    void ExpectSignedInWithTheServiceBalance() {
        ASSERT_TRUE(PumpUntil([] { return LoggedInNow(); }, 15000)) << Utf16ToUtf8(StatusTextNow() + L" " + DetailTextNow());
        ASSERT_TRUE(PumpUntil([this] { return harness_->Received(MSG_PREPARATION_DONE) > 0; }, 15000));
        PumpUntil([] { return false; }, 100);
        const std::string body = LastRequestBody("auth.login");
        EXPECT_NE(body.find("\"email\":\"" + email_ + "\""), std::string::npos) << body;
        EXPECT_NE(body.find("\"password\":\"Password-123\""), std::string::npos) << body;

        // Right after the login the purpose is asked for; the person saves it with the pointer.
        {
            std::lock_guard<std::mutex> lock(App().stateMutex);
            ASSERT_EQ(App().session.modalPanel, ModalPanelKind::Purpose);
        }
        Person(harness_->window()).SavePurpose();
        PumpUntil([] { return false; }, 100);
        harness_->ShowInFront();
        const PixelImage image = CaptureClientArea(harness_->window());
        ExpectColours(image, {
            {925, 50, 0xFF1D2D44, "the personal-centre button of the dashboard"},
            {318, 400, 0xFF131F31, "a dashboard card, no longer dimmed"},
        });
        EXPECT_GT(CountNear(image, RECT{560, 28, 770, 72}, 0xFF79B9FF, 8), 10) << "the balance in the header";
        int balances = 0;
        for (const DrawnText& text : Ui().lastFrameTexts)
            if (text.text == L"剩余 240 积分") ++balances;
        EXPECT_EQ(balances, 2) << "the header and the account summary show the service's balance";
    }

    std::string email_;
};

TEST_F(SignIn, WithThePointerAndTheKeyboard) {
    DialogWatcher dialogs;
    OpenWindow();
    // Type into the two fields, tick the agreement box, press the login button.
    Person(harness_->window()).SignIn(Utf8ToUtf16(email_), L"Password-123", true);
    {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        EXPECT_TRUE(App().privacyAccepted) << "the agreement box is ticked";
    }
    ExpectSignedInWithTheServiceBalance();
    EXPECT_TRUE(IsPrivacyAccepted()) << "the agreement is on record after the login";
    EXPECT_EQ(dialogs.Count(), 0u);
}

TEST_F(SignIn, WithTabAndEnterOnly) {
    // A returning person: the agreement is on record, so the keyboard alone signs in.
    RecordPrivacyAcceptance();
    DialogWatcher dialogs;
    OpenWindow();
    TypeText(Utf8ToUtf16(email_));
    EXPECT_EQ(StatusTextNow(), kSignInAskText) << "the password is still missing";
    PressKey(VK_TAB);
    TypeText(L"Password-123");
    EXPECT_EQ(StatusTextNow(), kSignInReadyText) << "the line follows what was typed";
    PressKey(VK_RETURN);
    ExpectSignedInWithTheServiceBalance();
    EXPECT_EQ(dialogs.Count(), 0u);
}

// A wrong password: the form keeps the account, empties only the password and says to type it again;
// "登录失败" is drawn in the error colour. The next press of the login button with the empty password
// asks for the password (no "登录信息不完整" box), the password typed then signs in.
TEST_F(SignIn, AFailedLoginKeepsTheAccountAndAsksOnlyForThePassword) {
    DialogWatcher dialogs;
    OpenWindow();
    const Person person(harness_->window());
    person.SignIn(Utf8ToUtf16(email_), L"Password-124", true);
    ASSERT_TRUE(PumpUntil([] { return !AccountBusyNow() && StatusTextNow() == L"登录失败"; }, 15000))
        << Utf16ToUtf8(StatusTextNow());
    EXPECT_EQ(MainWindowHarness::Text(FormFieldControl(FormField::Account)), Utf8ToUtf16(email_));
    EXPECT_EQ(MainWindowHarness::Text(FormFieldControl(FormField::Password)), L"");
    EXPECT_EQ(DetailTextNow(), L"邮箱或密码不正确；请重新输入密码后再登录");

    harness_->ShowInFront();
    const PixelImage image = CaptureClientArea(harness_->window());
    bool drawn = false;
    for (const DrawnText& text : Ui().lastFrameTexts)
        if (text.text == L"登录失败") {
            drawn = true;
            EXPECT_EQ(text.colour, kErrorColour);
        }
    EXPECT_TRUE(drawn);
    const RECT statusLine{540, 630, 640, 656};
    EXPECT_GT(CountNear(image, statusLine, kErrorColour, 8), 10) << "the failure in the error colour";
    EXPECT_EQ(CountNear(image, statusLine, 0xFF5BE0A4, 8), 0) << "not in the colour of success";

    person.Click(layout::kSubmitButton);
    PumpUntil([] { return false; }, 300);
    EXPECT_EQ(dialogs.Count(), 0u) << "no box calls the form incomplete";
    EXPECT_EQ(StatusTextNow(), kEnterPasswordText);
    EXPECT_EQ(GetFocus(), FormFieldControl(FormField::Password)) << "the password field is ready to type into";

    TypeText(L"Password-123");
    PressKey(VK_RETURN);
    ExpectSignedInWithTheServiceBalance();
}

}  // namespace
