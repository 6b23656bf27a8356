// The login form against the reference service: the real main window, real HTTPS, the real
// Credential Manager and message boxes observed by a watcher.
#include <gtest/gtest.h>

#include <windows.h>
#include <wincred.h>

#include <malloc.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "account/account_form.h"
#include "account/session_end.h"
#include "account/login.h"
#include "account/saved_login.h"
#include "core/app_state.h"
#include "core/config.h"
#include "core/data_dir.h"
#include "core/form_fields.h"
#include "net/json_text.h"
#include "support/dialog_watcher.h"
#include "support/main_window_harness.h"
#include "support/service_control.h"
#include "support/test_support.h"
#include "ui/child_controls.h"
#include "ui/signed_out_actions.h"

// Every block this program frees passes here: while a secret is watched, a freed block that still
// holds it (in UTF-8 or UTF-16) is counted, since a copy left unwiped outlives the login in the heap.
namespace {
struct WatchedSecret {
    std::atomic<bool> on{false};
    char utf8[64] = {};
    char utf16[128] = {};
    size_t utf8Length = 0;
    size_t utf16Length = 0;
    std::atomic<int> leftInFreedBlocks{0};
};
WatchedSecret g_watched;

bool Holds(const char* block, size_t size, const char* needle, size_t length) {
    if (length == 0 || size < length) return false;
    for (size_t i = 0; i + length <= size; ++i)
        if (block[i] == needle[0] && std::memcmp(block + i, needle, length) == 0) return true;
    return false;
}
}  // namespace

void* operator new(std::size_t size) {
    if (void* block = std::malloc(size ? size : 1)) return block;
    throw std::bad_alloc();
}
void operator delete(void* block) noexcept {
    if (block && g_watched.on) {
        const char* bytes = static_cast<const char*>(block);
        const size_t size = _msize(block);
        if (Holds(bytes, size, g_watched.utf8, g_watched.utf8Length) ||
            Holds(bytes, size, g_watched.utf16, g_watched.utf16Length))
            ++g_watched.leftInFreedBlocks;
    }
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept { operator delete(block); }

namespace {

// Watches `secret` (ASCII) in every block freed until StopWatching.
void WatchFreedBlocksFor(const char* secret) {
    g_watched.utf8Length = std::strlen(secret);
    std::memcpy(g_watched.utf8, secret, g_watched.utf8Length);
    for (size_t i = 0; i < g_watched.utf8Length; ++i) {
        g_watched.utf16[2 * i] = secret[i];
        g_watched.utf16[2 * i + 1] = 0;
    }
    g_watched.utf16Length = 2 * g_watched.utf8Length;
    g_watched.leftInFreedBlocks = 0;
    g_watched.on = true;
}
int StopWatching() {
    g_watched.on = false;
    return g_watched.leftInFreedBlocks.load();
}

// ---- pure rules --------------------------------------------------------------------------------

TEST(LoginRules, AccountNameClassification) {
    struct Case {
        const wchar_t* name;
        bool email;
    };
    const Case cases[] = {
        {L"a@b", true},               // three characters with the at sign in the middle
        {L"tester@example.com", true},
        {L"a@@", true},               // something follows the first at sign
        {L"x@y@z", true},
        {L"@example.com", false},     // starts with the at sign
        {L"tester@", false},          // ends with it
        {L"sync_developer", false},   // none
        {L"@a@b", false},             // two at signs, the first one is the first character
        {L"@", false},
        {L"", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(LooksLikeEmailAddress(c.name), c.email) << Utf16ToUtf8(c.name);
        EXPECT_EQ(CheckLoginInput(c.name, 12).isEmail, c.email) << Utf16ToUtf8(c.name);
    }
}

TEST(LoginRules, EmailRuleCountsAtMost190Units) {
    const std::wstring domain = L"@example.com";
    EXPECT_TRUE(IsValidEmailAddress(std::wstring(190 - domain.size(), L'a') + domain));
    EXPECT_FALSE(IsValidEmailAddress(std::wstring(191 - domain.size(), L'a') + domain));
    EXPECT_FALSE(IsValidEmailAddress(L"invalid@"));
    EXPECT_FALSE(IsValidEmailAddress(L""));
}

TEST(LoginRules, LengthBoundaries) {
    const std::wstring domain = L"@example.com";
    const std::wstring email190 = std::wstring(190 - domain.size(), L'e') + domain;
    const std::wstring email191 = std::wstring(191 - domain.size(), L'e') + domain;
    struct Case {
        std::wstring name;
        size_t passwordLength;
        bool valid;
    };
    const Case cases[] = {
        {email190, 1, true},          {email191, 1, false},         {email190, 0, false},
        {L"a@b", 200, true},          {L"a@b", 201, false},         {L"a@b", 1, true},
        {L"dev", 12, false},          {L"devx", 12, true},          {std::wstring(32, L'd'), 12, true},
        {std::wstring(33, L'd'), 12, false},                        {L"devx", 11, false},
        {L"devx", 128, true},         {L"devx", 129, false},        {L"", 12, false},
        // Lengths are UTF-16 code units: two characters outside the basic plane make four units.
        {L"\U0001F600\U0001F600", 12, true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CheckLoginInput(c.name, c.passwordLength).valid, c.valid)
            << "name length " << c.name.size() << ", password length " << c.passwordLength;
}

TEST(LoginRules, RequestBodies) {
    EXPECT_STREQ(LoginActionFor(true), "auth.login");
    EXPECT_STREQ(LoginActionFor(false), "auth.developer_login");
    EXPECT_EQ(BuildLoginBody("a@b.cn", "pw", true, "ignored"),
              "{\"email\":\"a@b.cn\",\"password\":\"pw\",\"device_name\":\"Windows\",\"client_platform\":"
              "\"windows\",\"privacy_notice_accepted\":true}");
    EXPECT_EQ(BuildLoginBody("devx", "secret-secret", false, "0123456789abcdef0123456789abcdef"),
              "{\"username\":\"devx\",\"password\":\"secret-secret\",\"device_id\":"
              "\"0123456789abcdef0123456789abcdef\",\"client_platform\":\"windows\",\"privacy_notice_accepted\":true}");
    // Quotes, back-slashes and control characters stay inside their strings.
    EXPECT_EQ(BuildLoginBody("q\"@b", "p\\w\n\"", true, ""),
              "{\"email\":\"q\\\"@b\",\"password\":\"p\\\\w\\n\\\"\",\"device_name\":\"Windows\","
              "\"client_platform\":\"windows\",\"privacy_notice_accepted\":true}");
    // A tampered device-id file cannot add members to the body.
    EXPECT_EQ(BuildLoginBody("devx", "secret-secret", false, "x\",\"developer\":true,\"y\":\""),
              "{\"username\":\"devx\",\"password\":\"secret-secret\",\"device_id\":"
              "\"x\\\",\\\"developer\\\":true,\\\"y\\\":\\\"\",\"client_platform\":\"windows\","
              "\"privacy_notice_accepted\":true}");
}

// ---- against the reference service -------------------------------------------------------------

class LoginFlow : public AccountWindowTest {
protected:
    void SetUp() override {
        UseTheService();
        if (IsSkipped()) return;
        harness_ = std::make_unique<MainWindowHarness>();
        ASSERT_TRUE(harness_->Alive());
        ASSERT_TRUE(harness_->WaitForStartupCheck());
        ASSERT_TRUE(ServiceReadyNow()) << Utf16ToUtf8(StatusTextNow() + L" / " + DetailTextNow());
    }

    void TearDown() override {
        CloseWindowAndData();
        TestServiceClearFaults();
    }

    void TickAgreement() {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        App().privacyAccepted = true;
    }

    void Fill(const std::wstring& account, const std::wstring& password) {
        MainWindowHarness::SetText(FormFieldControl(FormField::Account), account);
        MainWindowHarness::SetText(FormFieldControl(FormField::Password), password);
    }

    // Presses the login button and waits until the attempt (and a preparation it starts) ended.
    void LoginAndWait() {
        StartLogin();
        ASSERT_TRUE(PumpUntil([] { return !AccountBusyNow(); }, 15000));
        if (LoggedInNow()) {
            ASSERT_TRUE(PumpUntil([this] { return harness_->Received(MSG_PREPARATION_DONE) > 0; }, 15000));
        }
        PumpUntil([] { return false; }, 100);  // the last posted messages
    }

    std::filesystem::path DataFolder() const { return folder_.path() / "Briskodesk"; }

    DialogWatcher dialogs_;
};

TEST_F(LoginFlow, EmailLoginFillsTheSessionAndPreparesIt) {
    const std::string email = "mail" + UniqueTestSuffix() + "@example.test";
    ASSERT_TRUE(CreateTestEmailAccount(email, "Password-123", 240));
    WriteSavedLogin(L"someone@else.test", L"old-password");  // removed: the remember box is off
    TickAgreement();
    Fill(Utf8ToUtf16(email), L"Password-123");

    StartLogin();
    EXPECT_EQ(MainWindowHarness::Text(FormFieldControl(FormField::Password)), L"") << "emptied as soon as the login starts";
    EXPECT_TRUE(AccountBusyNow());
    EXPECT_EQ(StatusTextNow(), L"正在安全登录…");
    ASSERT_TRUE(PumpUntil([] { return !AccountBusyNow(); }, 15000));
    ASSERT_TRUE(PumpUntil([this] { return harness_->Received(MSG_PREPARATION_DONE) == 1; }, 15000));
    PumpUntil([] { return false; }, 100);

    EXPECT_EQ(LastRequestBody("auth.login"),
              "{\"email\":\"" + email +
                  "\",\"password\":\"Password-123\",\"device_name\":\"Windows\",\"client_platform\":\"windows\","
                  "\"privacy_notice_accepted\":true}");
    const std::string lastRequest = TestServiceLastRequest("auth.login");
    EXPECT_EQ(lastRequest.find("Authorization"), std::string::npos) << "no bearer token before login";

    const std::string serviceKey = JsonGetString(TestServiceRequest("GET", "/__test/config").body, "sign_public_key");
    {
        AppState& app = App();
        std::lock_guard<std::mutex> lock(app.stateMutex);
        EXPECT_TRUE(app.session.logged_in);
        EXPECT_FALSE(app.session.token.empty());
        EXPECT_EQ(app.session.sign_public_key, serviceKey);
        EXPECT_EQ(Base64Decode(app.session.sign_public_key).size(), 32u);
        EXPECT_EQ(app.session.email, email);
        EXPECT_GT(app.session.id, 0);
        EXPECT_EQ(app.session.credits, 240);
        EXPECT_FALSE(app.session.developer_user);
        EXPECT_FALSE(app.accountBusy);
        EXPECT_TRUE(app.timeAligned);
        EXPECT_EQ(app.statusText, L"软件已连接，正在准备本次使用");
        EXPECT_EQ(app.detailText, L"");
        EXPECT_EQ(app.session.modalPanel, ModalPanelKind::Purpose) << "the purpose is asked for after preparation";
    }
    EXPECT_GE(harness_->Received(MSG_TIME_ALIGNED), 1);
    EXPECT_TRUE(IsPrivacyAccepted()) << "the agreement marker is written after a successful answer";
    EXPECT_FALSE(SavedLoginExists()) << "a login without the remember box deletes the saved login";
    EXPECT_EQ(dialogs_.Count(), 0u);
}

TEST_F(LoginFlow, NoFreedBlockKeepsThePasswordAfterAFailedOrAGoodSignIn) {
    const std::string email = "wipe" + UniqueTestSuffix() + "@example.test";
    ASSERT_TRUE(CreateTestEmailAccount(email, "Wipe-Probe-7Qz9x", 0));
    TickAgreement();
    const struct {
        const char* typed;
        bool signedIn;
    } cases[] = {{"Wipe-Probe-7Qz9y", false}, {"Wipe-Probe-7Qz9x", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.typed);
        Fill(Utf8ToUtf16(email), Utf8ToUtf16(c.typed));
        WatchFreedBlocksFor(c.typed);
        LoginAndWait();
        const int left = StopWatching();
        EXPECT_EQ(LoggedInNow(), c.signedIn) << Utf16ToUtf8(DetailTextNow());
        EXPECT_EQ(left, 0) << "freed blocks that still held the password";
    }
}

// Watches the password field: each time it is emptied, the text it held just before must no longer be
// the password (the field was overwritten first), or the freed buffer of the control keeps it.
struct EmptyingWatch {
    static inline WNDPROC original = nullptr;
    static inline std::wstring secret;
    static inline int emptied = 0, emptiedOverTheSecret = 0;
    static LRESULT CALLBACK Procedure(HWND field, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_SETTEXT && lParam && *reinterpret_cast<const wchar_t*>(lParam) == L'\0') {
            wchar_t held[256] = {};
            CallWindowProcW(original, field, WM_GETTEXT, 256, reinterpret_cast<LPARAM>(held));
            ++emptied;
            if (!secret.empty() && std::wstring(held).find(secret) != std::wstring::npos) ++emptiedOverTheSecret;
        }
        return CallWindowProcW(original, field, message, wParam, lParam);
    }
    explicit EmptyingWatch(const std::wstring& typed) : field_(FormFieldControl(FormField::Password)) {
        secret = typed;
        emptied = emptiedOverTheSecret = 0;
        original = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrW(field_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&EmptyingWatch::Procedure)));
    }
    ~EmptyingWatch() {
        if (IsWindow(field_)) SetWindowLongPtrW(field_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(original));
    }
    HWND field_;
};

TEST_F(LoginFlow, APasswordFieldIsOverwrittenBeforeItIsEmptiedOnEveryPath) {
    const std::string email = "over" + UniqueTestSuffix() + "@example.test";
    ASSERT_TRUE(CreateTestEmailAccount(email, "Over-Probe-4Kq8m", 0));
    TickAgreement();
    struct Case {
        const char* what;
        void (*act)(MainWindowHarness&);
    };
    const Case cases[] = {
        {"a login that is sent", [](MainWindowHarness&) { StartLogin(); }},
        {"a registration that is sent",
         [](MainWindowHarness&) {
             SwitchAuthForm(AuthFormMode::Register);
             MainWindowHarness::SetText(FormFieldControl(FormField::Password), L"Over-Probe-4Kq8m");
             MainWindowHarness::SetText(FormFieldControl(FormField::EmailCode), L"123456");
             SubmitAccountForm();
         }},
        {"another form chosen", [](MainWindowHarness&) { SwitchAuthForm(AuthFormMode::ResetPassword); }},
        {"signed in by another path",
         [](MainWindowHarness& harness) {
             harness.ChangeState([](AppState& app) { app.session.logged_in = true; });
             UpdateChildControls();
         }},
        {"the window closed", [](MainWindowHarness& harness) { DestroyWindow(harness.window()); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (!harness_ || !harness_->Alive()) {
            harness_ = std::make_unique<MainWindowHarness>();
            ASSERT_TRUE(harness_->WaitForStartupCheck());
            TickAgreement();
        }
        harness_->ChangeState([](AppState& app) {
            app.session = Session{};
            app.authFormMode = AuthFormMode::Login;
        });
        Fill(Utf8ToUtf16(email), L"Over-Probe-4Kq8m");
        {
            EmptyingWatch watch(L"Over-Probe-4Kq8m");
            c.act(*harness_);
            EXPECT_GT(EmptyingWatch::emptied, 0) << "the field was emptied";
            EXPECT_EQ(EmptyingWatch::emptiedOverTheSecret, 0) << "emptied while it still held the password";
        }
        PumpUntil([] { return !AccountBusyNow(); }, 15000);
        PumpUntil([] { return false; }, 100);
        if (harness_->Alive()) EndSession(L"", L"");
    }
}

TEST_F(LoginFlow, DeveloperLoginSendsTheDeviceId) {
    const std::string user = "dev" + UniqueTestSuffix();
    ASSERT_TRUE(CreateTestDeveloperAccount(user, "developer-pass-1"));
    TickAgreement();
    Fill(Utf8ToUtf16(user), L"developer-pass-1");
    LoginAndWait();

    const std::string deviceId = FirstToken(ReadFileBytes(DataFolder() / "device-id.txt"));
    ASSERT_EQ(deviceId.size(), 32u);
    EXPECT_EQ(LastRequestBody("auth.developer_login"),
              "{\"username\":\"" + user + "\",\"password\":\"developer-pass-1\",\"device_id\":\"" + deviceId +
                  "\",\"client_platform\":\"windows\",\"privacy_notice_accepted\":true}");
    AppState& app = App();
    std::lock_guard<std::mutex> lock(app.stateMutex);
    EXPECT_TRUE(app.session.logged_in);
    EXPECT_TRUE(app.session.developer_user);
    EXPECT_EQ(app.session.email, user);
}

TEST_F(LoginFlow, WrongPasswordShowsTheServiceMessage) {
    const std::string email = "wrong" + UniqueTestSuffix() + "@example.test";
    ASSERT_TRUE(CreateTestEmailAccount(email, "Password-123", 0));
    ASSERT_TRUE(WriteSavedLogin(L"kept@example.test", L"kept-password"));
    TickAgreement();
    Fill(Utf8ToUtf16(email), L"Password-124");
    LoginAndWait();

    EXPECT_EQ(StatusTextNow(), L"登录失败");
    EXPECT_EQ(DetailTextNow(), L"邮箱或密码不正确；请重新输入密码后再登录");
    EXPECT_FALSE(LoggedInNow());
    EXPECT_FALSE(AccountBusyNow());
    EXPECT_EQ(MainWindowHarness::Text(FormFieldControl(FormField::Password)), L"");
    SavedLogin saved = ReadSavedLogin();
    EXPECT_TRUE(saved.found) << "a failed login leaves the saved login alone";
    EXPECT_EQ(saved.userName, L"kept@example.test");
    EXPECT_FALSE(IsPrivacyAccepted()) << "a failed login writes no agreement marker";
    EXPECT_EQ(harness_->Received(MSG_PREPARATION_DONE), 0);
}

TEST_F(LoginFlow, TransportFailureShowsTheTransportText) {
    TestServiceFault("{\"action\":\"auth.login\",\"drop\":true,\"times\":1}");
    TickAgreement();
    Fill(L"drop" + Utf8ToUtf16(UniqueTestSuffix()) + L"@example.test", L"whatever");
    LoginAndWait();
    EXPECT_EQ(StatusTextNow(), L"登录失败");
    EXPECT_EQ(DetailTextNow(), L"无法连接服务，请确认本机服务已经启动；请重新输入密码后再登录");
    EXPECT_FALSE(LoggedInNow());
}

TEST_F(LoginFlow, IncompleteAnswersDoNotCount) {
    const std::string email = "part" + UniqueTestSuffix() + "@example.test";
    ASSERT_TRUE(CreateTestEmailAccount(email, "Password-123", 0));
    const char* faults[] = {
        "\"omit\":[\"id\"]",
        "\"set\":{\"id\":0}",
        "\"omit\":[\"token\"]",
        "\"omit\":[\"sign_public_key\"]",
        "\"set\":{\"id\":\"abc\"}",
    };
    for (const char* fault : faults) {
        SCOPED_TRACE(fault);
        ResetAppStateForTest();
        {
            std::lock_guard<std::mutex> lock(App().stateMutex);
            App().serviceReady = true;
            App().rememberPassword = true;
        }
        DeleteSavedLogin();
        std::filesystem::remove(DataFolder() / "privacy-and-terms-v3.accepted");
        const int preparedBefore = harness_->Received(MSG_PREPARATION_DONE);
        ASSERT_TRUE(TestServiceFault(std::string("{\"action\":\"auth.login\",\"times\":1,") + fault + "}"));
        TickAgreement();
        Fill(Utf8ToUtf16(email), L"Password-123");
        LoginAndWait();
        PumpUntil([] { return false; }, 300);

        EXPECT_EQ(StatusTextNow(), L"登录结果有误");
        EXPECT_EQ(DetailTextNow(), L"后台没有返回完整的登录信息");
        EXPECT_FALSE(LoggedInNow());
        EXPECT_FALSE(AccountBusyNow());
        EXPECT_EQ(harness_->Received(MSG_PREPARATION_DONE), preparedBefore) << "no preparation without a session";
        // The answer was a success, so the marker and the saved login were already updated.
        EXPECT_TRUE(IsPrivacyAccepted()) << "the agreement marker is written after a successful answer";
        EXPECT_TRUE(ReadSavedLogin().found);
    }
}

TEST_F(LoginFlow, ServiceNotReadyRefusesTheLogin) {
    {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        App().serviceReady = false;
    }
    TickAgreement();
    Fill(L"ready@example.test", L"Password-123");
    StartLogin();
    ASSERT_TRUE(dialogs_.WaitForCount(1));
    const SeenDialog seen = dialogs_.Seen()[0];
    EXPECT_EQ(seen.caption, L"无法登录");
    EXPECT_EQ(seen.text, L"暂时无法连接登录服务，请稍后重试。");
    EXPECT_EQ(seen.icon, DialogIcon::Warning) << DialogIconName(seen.icon);
    EXPECT_EQ(seen.owner, harness_->window());
    EXPECT_FALSE(AccountBusyNow());
    EXPECT_EQ(MainWindowHarness::Text(FormFieldControl(FormField::Password)), L"Password-123") << "the form keeps its text";
    EXPECT_EQ(StatusTextNow(), kSignInReadyText) << "both fields still hold what was typed";
}

TEST_F(LoginFlow, AgreementMustBeTicked) {
    Fill(L"agree@example.test", L"Password-123");
    StartLogin();
    ASSERT_TRUE(dialogs_.WaitForCount(1));
    const SeenDialog seen = dialogs_.Seen()[0];
    EXPECT_EQ(seen.caption, L"需要同意使用协议");
    EXPECT_EQ(seen.text, L"首次登录或注册前，请先勾选“我已阅读并同意用户使用协议与隐私说明”。");
    EXPECT_EQ(seen.icon, DialogIcon::Information) << DialogIconName(seen.icon);
    EXPECT_EQ(seen.owner, harness_->window());
    EXPECT_FALSE(AccountBusyNow());
    EXPECT_EQ(MainWindowHarness::Text(FormFieldControl(FormField::Password)), L"Password-123");

    // The gate: reset always passes, register asks as login does; ticking the box lets it pass.
    EXPECT_TRUE(PrivacyGate(AuthFormMode::ResetPassword));
    EXPECT_FALSE(PrivacyGate(AuthFormMode::Register));
    ASSERT_TRUE(dialogs_.WaitForCount(2));
    ToggleAgreement();
    EXPECT_TRUE(PrivacyGate(AuthFormMode::Login));
    EXPECT_EQ(dialogs_.Count(), 2u);
    EXPECT_FALSE(IsPrivacyAccepted()) << "ticking the box is kept in memory only";
}

TEST_F(LoginFlow, LengthRulesDecideBeforeAnyRequest) {
    const std::wstring domain = L"@example.test";
    struct Case {
        std::wstring name;
        std::wstring password;
        bool sent;
    };
    const std::wstring unique = Utf8ToUtf16(UniqueTestSuffix());
    const Case cases[] = {
        {std::wstring(190 - domain.size(), L'a') + domain, L"p", true},
        {std::wstring(191 - domain.size(), L'a') + domain, L"p", false},
        {L"len" + unique + domain, std::wstring(200, L'p'), true},
        {L"len" + unique + domain, std::wstring(201, L'p'), false},
        {L"devx", std::wstring(12, L'p'), true},
        {L"dev", std::wstring(12, L'p'), false},
        {std::wstring(32, L'd'), std::wstring(128, L'p'), true},
        {std::wstring(33, L'd'), std::wstring(12, L'p'), false},
        {L"devx", std::wstring(11, L'p'), false},
        {L"devx", std::wstring(129, L'p'), false},
    };
    TickAgreement();
    size_t refusals = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "name length " << c.name.size() << ", password length " << c.password.size());
        Fill(c.name, c.password);
        StartLogin();
        if (c.sent) {
            EXPECT_EQ(MainWindowHarness::Text(FormFieldControl(FormField::Password)), L"");
            ASSERT_TRUE(PumpUntil([] { return !AccountBusyNow(); }, 15000));
            EXPECT_EQ(StatusTextNow(), L"登录失败") << "no such account on the service";
            EXPECT_EQ(dialogs_.Count(), refusals);
        } else {
            ++refusals;
            ASSERT_TRUE(dialogs_.WaitForCount(refusals));
            const SeenDialog seen = dialogs_.Seen().back();
            EXPECT_EQ(seen.caption, L"登录信息不完整");
            EXPECT_EQ(seen.text, L"请输入正确的邮箱/开发者用户名和密码。");
            EXPECT_EQ(seen.icon, DialogIcon::Warning) << DialogIconName(seen.icon);
            EXPECT_FALSE(AccountBusyNow());
            EXPECT_EQ(MainWindowHarness::Text(FormFieldControl(FormField::Account)), c.name);
            EXPECT_EQ(MainWindowHarness::Text(FormFieldControl(FormField::Password)), c.password);
        }
    }
}

TEST_F(LoginFlow, TwoQuickPressesSendOneRequest) {
    const std::string email = "twice" + UniqueTestSuffix() + "@example.test";
    ASSERT_TRUE(CreateTestEmailAccount(email, "Password-123", 0));
    // Only the first request fails (slowly); a second request would succeed and sign in.
    ASSERT_TRUE(TestServiceFault(
        "{\"action\":\"auth.login\",\"times\":1,\"delay_ms\":800,\"status\":500,\"ok\":false,\"message\":\"第一次请求\"}"));
    TickAgreement();
    Fill(Utf8ToUtf16(email), L"Password-123");
    StartLogin();
    MainWindowHarness::SetText(FormFieldControl(FormField::Password), L"Password-123");  // typed again at once
    StartLogin();
    ASSERT_TRUE(PumpUntil([] { return !AccountBusyNow(); }, 15000));
    PumpUntil([] { return LoggedInNow(); }, 2000);  // a second request would have signed in by now

    EXPECT_FALSE(LoggedInNow());
    EXPECT_EQ(StatusTextNow(), L"登录失败");
    EXPECT_EQ(DetailTextNow(), LoginFailureDetail(L"第一次请求"));
    EXPECT_EQ(dialogs_.Count(), 0u) << "the second press is refused silently";
}

TEST_F(LoginFlow, RememberedLoginStoresTheTypedTextsAndPreparationFailureStillFinishes) {
    const std::string email = "keep" + UniqueTestSuffix() + "@example.test";
    ASSERT_TRUE(CreateTestEmailAccount(email, "Pässwort-密码-1", 0));
    // No standard time anywhere: the SNTP responder drops every query and the service clock fails.
    ASSERT_TRUE(TestServiceFault("{\"action\":\"sntp\",\"drop\":true}"));
    ASSERT_TRUE(TestServiceFault("{\"action\":\"time\",\"status\":503,\"ok\":false,\"message\":\"时间服务维护中\"}"));
    TickAgreement();
    {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        App().rememberPassword = true;
    }
    // Typed in another letter case than the service keeps: stored exactly as typed.
    std::wstring typed = Utf8ToUtf16(email);
    typed[0] = L'K';
    Fill(typed, L"Pässwort-密码-1");
    LoginAndWait();

    const RawSavedLogin entry = ReadRawSavedLogin();
    ASSERT_TRUE(entry.found);
    EXPECT_EQ(entry.user, typed);
    EXPECT_EQ(entry.blob, Utf16Bytes(L"Pässwort-密码-1")) << "UTF-16 without terminator";
    EXPECT_EQ(entry.persist, static_cast<DWORD>(CRED_PERSIST_LOCAL_MACHINE));
    EXPECT_EQ(entry.type, static_cast<DWORD>(CRED_TYPE_GENERIC));

    EXPECT_TRUE(LoggedInNow());
    EXPECT_EQ(StatusTextNow(), L"软件已连接；标准时间暂时未对准");
    EXPECT_EQ(DetailTextNow(), L"时间服务维护中");
    EXPECT_EQ(harness_->Received(MSG_PREPARATION_DONE), 1);
    EXPECT_EQ(harness_->Received(MSG_TIME_ALIGNED), 0);
    std::lock_guard<std::mutex> lock(App().stateMutex);
    EXPECT_FALSE(App().timeAligned);
    EXPECT_EQ(App().session.modalPanel, ModalPanelKind::Purpose) << "the purpose is asked for all the same";
}

// The user changes the "保存账号和密码" box while the login is on its way: when the login lands, the
// box as it is then decides whether the login is kept.
class RememberChoice : public LoginFlow, public testing::WithParamInterface<bool> {};

TEST_P(RememberChoice, TheLastChoiceWinsOverTheOneWhenTheLoginLeft) {
    const bool tickedAtStart = GetParam();
    const std::string email = "mind" + UniqueTestSuffix() + "@example.test";
    ASSERT_TRUE(CreateTestEmailAccount(email, "Password-123", 0));
    ASSERT_TRUE(TestServiceFault(R"({"action":"auth.login","delay_ms":1000})"));
    TickAgreement();
    {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        App().rememberPassword = tickedAtStart;
    }
    Fill(Utf8ToUtf16(email), L"Password-123");
    StartLogin();
    ASSERT_TRUE(AccountBusyNow());
    ToggleRememberPassword();  // changed while the request is on its way
    ASSERT_TRUE(PumpUntil([] { return !AccountBusyNow(); }, 15000));
    ASSERT_TRUE(LoggedInNow());
    EXPECT_EQ(SavedLoginExists(), !tickedAtStart);
}

INSTANTIATE_TEST_SUITE_P(LoginFlow, RememberChoice, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool>& parameter) {
                             return parameter.param ? std::string("UntickedInFlight") : std::string("TickedInFlight");
                         });

TEST_F(LoginFlow, UnusableDataDirectory) {
    // APPDATA names a file, so the data directory cannot be created.
    const std::filesystem::path blocker = folder_.path() / "not-a-folder";
    WriteFileBytes(blocker, "x");
    ScopedEnvironment appData(L"APPDATA", blocker.wstring());
    TickAgreement();

    // A developer login needs the device id: it fails with a message instead of ending the program.
    Fill(L"devx" + Utf8ToUtf16(UniqueTestSuffix()), L"developer-pass-1");
    LoginAndWait();
    EXPECT_EQ(StatusTextNow(), L"登录失败");
    EXPECT_EQ(DetailTextNow(), LoginFailureDetail(L"无法读取本机设备标识，请检查用户数据目录"));
    EXPECT_FALSE(AccountBusyNow());

    // An e-mail login goes on without the agreement marker.
    const std::string email = "nodir" + UniqueTestSuffix() + "@example.test";
    ASSERT_TRUE(CreateTestEmailAccount(email, "Password-123", 0));
    Fill(Utf8ToUtf16(email), L"Password-123");
    LoginAndWait();
    EXPECT_TRUE(LoggedInNow());
}

}  // namespace
