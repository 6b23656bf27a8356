// The main window's screens as the user sees them: colours at points well inside filled shapes of a
// screen copy of the real window, the texts each frame drew, the click regions under real pointer
// input, the keyboard, the agreement dialog, and no GDI object lost over thousands of paints.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>
#include <set>

#include "account/credits.h"
#include "core/app_state.h"
#include "core/clock.h"
#include "core/form_fields.h"
#include "core/holders.h"
#include "core/line_breaks.h"
#include "net/json_text.h"
#include "support/dialog_watcher.h"
#include "support/main_window_harness.h"
#include "support/pixels.h"
#include "support/real_input.h"
#include "support/test_support.h"
#include "ui/agreement_dialog.h"
#include "ui/child_controls.h"
#include "ui/click_regions.h"
#include "ui/keyboard_navigation.h"
#include "ui/screen_layout.h"
#include "ui/screen_paint.h"
#include "timesync/service_time.h"
#include "ui/screen_state.h"
#include "ui/ui_resources.h"

namespace {

// Palette entries the tables below look for.
constexpr Argb kHeader = 0xFF0C1726;
constexpr Argb kLeftColumn = 0xFF0B1523;
constexpr Argb kCard = 0xFF131F31;
constexpr Argb kFormHalf = 0xFF111D2E;
constexpr Argb kPrimary = 0xFF2A66EC;
constexpr Argb kSecondary = 0xFF1D2D44;
constexpr Argb kFieldFill = 0xFF18293F;
constexpr Argb kFocusOutline = 0xFF4D93FF;
constexpr Argb kUnticked = 0xFF1F324A;
constexpr Argb kBackground = 0xFF080E18;
constexpr Argb kPanel = 0xFF101C2D;
constexpr Argb kDim = 0xE2040911;

class Screens : public testing::Test {
protected:
    void SetUp() override {
        appData_ = std::make_unique<ScopedEnvironment>(L"APPDATA", folder_.path().wstring());
        harness_ = std::make_unique<MainWindowHarness>(MainWindowHarness::Run::Offline);
        ASSERT_TRUE(harness_->Alive());
        Ui().recordFrameTexts = true;
        window_ = harness_->window();
    }
    void TearDown() override {
        Ui().recordFrameTexts = false;
        harness_.reset();
        appData_.reset();
    }

    // Changes the state as a worker would (under the lock), then lets the window follow.
    void Set(const std::function<void(AppState&)>& change) {
        {
            std::lock_guard<std::mutex> lock(App().stateMutex);
            change(App());
        }
        UpdateChildControls();
        InvalidateRect(window_, nullptr, FALSE);
    }
    void SignIn(bool developer, bool purposeSaved = true) {
        Set([&](AppState& app) {
            app.session.logged_in = true;
            app.session.token = "token";
            app.session.id = 7;
            app.session.credits = 240;
            app.session.email = developer ? "" : "tester@example.com";
            app.session.developer_user = developer;
            app.session.purposeSaved = purposeSaved;
        });
    }
    PixelImage Look() {
        harness_->ShowInFront();
        return CaptureClientArea(window_);
    }
    // The texts the last frame drew.
    std::vector<DrawnText> Texts() const { return Ui().lastFrameTexts; }
    bool Drew(const std::wstring& text) const {
        const auto texts = Texts();
        return std::any_of(texts.begin(), texts.end(), [&](const DrawnText& t) { return t.text == text; });
    }
    const DrawnText* Find(const std::wstring& text) const {
        static std::vector<DrawnText> kept;
        kept = Texts();
        for (const DrawnText& t : kept)
            if (t.text == text) return &t;
        return nullptr;
    }
    POINT At(int x, int y) const { return harness_->ScreenPoint(x, y); }
    AuthFormMode Mode() const {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        return App().authFormMode;
    }
    ModalPanelKind Panel() const {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        return App().session.modalPanel;
    }

    TempFolder folder_;
    std::unique_ptr<ScopedEnvironment> appData_;
    std::unique_ptr<MainWindowHarness> harness_;
    HWND window_ = nullptr;
};

// ---- the painter through real pixels -----------------------------------------------------------

TEST_F(Screens, SignedOutFormsInPixels) {
    Set([](AppState& app) {
        app.serviceReady = true;
        app.rememberPassword = true;
        app.privacyAccepted = false;
    });
    PixelImage image = Look();
    const uint32_t banner = image.At(205, 407);
    ExpectColours(image, {
        {600, 10, kHeader, "header bar"},
        {980, 400, kFormHalf, "form half of the card"},
        {200, 150, 0xFF255BDE, "banner gradient, top-left colour", 14},
        {212, 407, Blend(0x2AFFFFFF, banner), "a pill on the banner"},
        {560, 170, kPrimary, "the login tab is the chosen one"},
        {760, 170, kSecondary, "the register tab"},
        {545, 349, kFieldFill, "frame of the account field"},
        {545, 429, kFieldFill, "frame of the password field"},
        {553, 496, kPrimary, "remember box ticked"},
        {553, 536, kUnticked, "agreement box not ticked"},
        {630, 598, kPrimary, "login button while the service is ready"},
        {1065, 50, kSecondary, "exit button"},
    });
    EXPECT_TRUE(Drew(L"账号登录"));
    EXPECT_TRUE(Drew(L"忘记密码？"));
    EXPECT_TRUE(Drew(L"Orvane · 协同测试"));

    Set([](AppState& app) {
        app.authFormMode = AuthFormMode::Register;
        app.serviceReady = false;
        app.privacyAccepted = true;
    });
    image = Look();
    ExpectColours(image, {
        {560, 170, kSecondary, "login tab in the register form"},
        {760, 170, kPrimary, "register tab chosen"},
        {545, 509, kFieldFill, "frame of the e-mail code field"},
        {755, 509, kSecondary, "send-code button while the service is not ready"},
        {553, 536, kPrimary, "agreement box ticked"},
        {630, 598, kSecondary, "submit button while the service is not ready"},
    });
    EXPECT_TRUE(Drew(L"邮箱注册"));
    EXPECT_TRUE(Drew(L"完成注册"));
    EXPECT_FALSE(Drew(L"保存账号和密码")) << "no remember box in the register form";
    EXPECT_FALSE(Drew(L"忘记密码？"));

    Set([](AppState& app) {
        app.authFormMode = AuthFormMode::ResetPassword;
        app.serviceReady = true;
        app.codeRequestBusy = true;
    });
    image = Look();
    ExpectColours(image, {
        {560, 170, kSecondary, "the way back to the login form"},
        {760, 170, kFormHalf, "no register tab in the reset form"},
        {556, 548, kFormHalf, "no agreement box in the reset form"},
        {545, 509, kFieldFill, "frame of the e-mail code field"},
        {755, 509, kSecondary, "send-code button while a code request runs"},
        {630, 598, kPrimary, "submit button"},
    });
    EXPECT_TRUE(Drew(L"←  返回登录"));
    EXPECT_TRUE(Drew(L"正在发送…"));
    EXPECT_FALSE(Drew(L"我已阅读并同意《用户使用协议与隐私说明》"));
}

TEST_F(Screens, DashboardOfAUserAndOfADeveloperInPixels) {
    SignIn(false);
    Set([](AppState& app) {
        app.session.alipayAvailable = true;
        app.timeAligned = true;
        app.timeSourceLabel = L"本机直连标准时间";
        app.timeUncertaintyMs = 4;
    });
    SetFocus(FormFieldControl(FormField::RoomCode));
    PixelImage image = Look();
    ExpectColours(image, {
        {600, 10, kHeader, "header bar"},
        {10, 600, kLeftColumn, "left status column"},
        {25, 245, 0xFF152337, "position box"},
        {25, 296, kPrimary, "position button"},
        {25, 500, 0xFF142134, "progress box (time aligned: 125 high)"},
        {25, 515, kLeftColumn, "below the progress box"},
        {535, 171, 0xFF144248, "purpose pill"},
        {695, 171, kSecondary, "change-purpose button"},
        {318, 400, kCard, "card A"},
        {605, 400, kCard, "card B"},
        {885, 400, kCard, "card C"},
        {625, 460, 0xFF112A45, "hint box of card B"},
        {340, 532, kPrimary, "create-room button"},
        {340, 398, kSecondary, "room-code button"},
        {625, 532, kSecondary, "join-room button"},
        {905, 532, kPrimary, "sync-test button"},
        {795, 50, kPrimary, "top-up button (a payment method is offered)"},
        {925, 50, kSecondary, "personal-centre button"},
        {450, 322, kFocusOutline, "focused frame of the room code field", 12},
        {320, 650, kBackground, "no developer card for a user"},
    });
    EXPECT_GT(CountNear(image, RECT{730, 322, 740, 324}, 0xFF2A3F58, 12), 0) << "unfocused frame of the join code field";
    EXPECT_EQ(CountNear(image, RECT{730, 322, 740, 324}, kFocusOutline, 12), 0);
    EXPECT_GT(CountNear(image, RECT{560, 28, 770, 72}, 0xFF79B9FF, 8), 10) << "the balance in the header";
    EXPECT_TRUE(Drew(L"剩余 240 积分"));
    EXPECT_TRUE(Drew(L"尚未选择点击位置"));
    EXPECT_TRUE(Drew(L"本机直连标准时间 · 预计相差 5 毫秒"));  // 4 ms for the clock, 1 ms for the click itself

    SignIn(true);
    Set([](AppState& app) {
        app.session.alipayAvailable = false;
        app.session.target.target_confirmed = true;
        app.session.target.check_ok = true;
        app.session.target.executable_name = L"demo.exe";
        app.session.target.click_point = {-12, 800};
    });
    image = Look();
    ExpectColours(image, {
        {320, 650, kCard, "developer card"},
        {340, 700, kSecondary, "pick-target button"},
        {955, 700, kPrimary, "blacklist-code button"},
        {505, 698, kFieldFill, "frame of the software name field"},
        {795, 50, kHeader, "no top-up button without a payment method"},
    });
    EXPECT_TRUE(Drew(L"demo.exe · -12,800"));
    EXPECT_TRUE(Drew(L"重新选择位置"));
}

TEST_F(Screens, CountdownColoursAndAPassedTarget) {
    SignIn(false);
    const RECT remainingArea = layout::kRemainingTimeLabel;
    Set([](AppState& app) { app.countdownTargetMs = WallClockMs() + 60000; });
    PixelImage image = Look();
    ExpectColours(image, {{25, 540, 0xFF142134, "progress box while a countdown runs (170 high)"}});
    EXPECT_GT(CountNear(image, remainingArea, 0xFF66AAFF, 6), 20) << "blue while more than 3 s are left";
    EXPECT_EQ(CountNear(image, remainingArea, 0xFFFFB74D, 6), 0);

    Set([](AppState& app) { app.countdownTargetMs = WallClockMs() + 2500; });
    image = Look();
    EXPECT_GT(CountNear(image, remainingArea, 0xFFFFB74D, 6), 20) << "amber for the last 3 s";
    EXPECT_EQ(CountNear(image, remainingArea, 0xFF66AAFF, 6), 0);

    Set([](AppState& app) { app.countdownTargetMs = WallClockMs() - 5000; });
    image = Look();
    const DrawnText* remaining = Find(L"00:00:00.000");
    ASSERT_NE(remaining, nullptr) << "a passed target shows zero";
    EXPECT_EQ(remaining->colour, 0xFFFFB74Du);
    EXPECT_GT(CountNear(image, remainingArea, 0xFFFFB74D, 6), 20);

    // The timer's repaint draws the remaining time into its line and leaves every other pixel.
    {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        App().countdownTargetMs = WallClockMs() + 60000;  // no message: only the timer repaints
    }
    SendMessageW(window_, WM_TIMER, 1, 0);
    UpdateWindow(window_);
    PumpUntil([] { return false; }, 100);
    const PixelImage ticked = CaptureClientArea(window_);
    EXPECT_GT(CountNear(ticked, remainingArea, 0xFF66AAFF, 6), 20) << "the new remaining time";
    int changedOutside = 0;
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x)
            if ((x < remainingArea.left || x >= remainingArea.right || y < remainingArea.top + 2 ||
                 y >= remainingArea.bottom) &&
                image.At(x, y) != ticked.At(x, y))
                ++changedOutside;
    EXPECT_EQ(changedOutside, 0);
    Set([](AppState& app) { app.countdownTargetMs = 0; });
}

TEST_F(Screens, PanelsInPixels) {
    SignIn(false);
    Set([](AppState& app) {
        app.session.modalPanel = ModalPanelKind::Purpose;
        app.session.pendingPurpose = 0;
    });
    PixelImage image = Look();
    ExpectColours(image, {
        {100, 700, Blend(kDim, kLeftColumn & 0xFFFFFF), "the dimming layer over the left column"},
        {260, 400, kPanel, "panel"},
        {866, 150, 0xFF1C2C42, "close box"},
        {310, 330, 0xFF18375B, "selected option"},
        {605, 330, 0xFF16253A, "other option"},
        {325, 290, kPrimary, "badge of the selected option"},
        {620, 290, 0xFF1F3149, "badge of another option"},
        {420, 552, kPrimary, "save button"},
    });
    EXPECT_TRUE(Drew(L"选择本次使用用途"));

    Set([](AppState& app) {
        app.session.modalPanel = ModalPanelKind::TopUp;
        app.session.alipayAvailable = true;
        app.session.wxpayAvailable = true;
        app.session.paymentMethod = PaymentMethod::WeChatPay;
        app.session.pointsPerYuan = 100;
    });
    WriteFormField(FormField::Amount, L"10.5");
    image = Look();
    ExpectColours(image, {
        {305, 280, 0xFF133142, "balance box"},
        {645, 270, 0xFF18486A, "rate pill"},
        {595, 340, 0xFF144248, "estimate pill of a valid amount"},
        {355, 480, 0xFF17273C, "Alipay option, not chosen"},
        {605, 480, 0xFF164842, "WeChat Pay option, chosen"},
        {601, 458, 0xFF3FD591, "its outline", 20},
        {415, 547, kPrimary, "order button"},
        {345, 358, kFieldFill, "frame of the amount field"},
    });
    EXPECT_TRUE(Drew(L"预计到账 +1050 积分"));
    EXPECT_TRUE(Drew(L"1 元 = 100 积分"));
    WriteFormField(FormField::Amount, L"0.5");
    image = Look();
    ExpectColours(image, {{595, 340, 0xFF372A24, "estimate pill of an invalid amount"}});
    EXPECT_TRUE(Drew(L"请输入 1–9999.9 元"));

    Set([](AppState& app) {
        app.session.modalPanel = ModalPanelKind::PersonalCentre;
        app.rememberPassword = false;
        app.session.email.clear();
    });
    image = Look();
    ExpectColours(image, {
        {305, 453, 0xFF18273B, "credential row"},
        {305, 500, 0xFF142A41, "hotkey row"},
        {655, 500, kPrimary, "hotkey button"},
        {355, 557, kSecondary, "logout button"},
        {600, 557, 0xFF4B2330, "account deletion button"},
    });
    EXPECT_TRUE(Drew(L"开发者账号")) << "an empty account name";
    EXPECT_TRUE(Drew(L"本机未保存账号密码"));
    EXPECT_TRUE(Drew(L"Ctrl + Alt + Q"));
}

TEST_F(Screens, PurposePillShowsTheNearestPurposeForAnIndexOutOfRange) {
    SignIn(false);
    Set([](AppState& app) { app.session.savedPurpose = -3; });
    Look();
    EXPECT_TRUE(Drew(L"当前用途 · 软件测试"));
    Set([](AppState& app) { app.session.savedPurpose = 9; });
    Look();
    EXPECT_TRUE(Drew(L"当前用途 · 内部培训"));
}

// ---- rules ----------------------------------------------------------------------------------------

// Status and detail lines break at phrase ends, keep words, numbers and closing punctuation whole,
// and leave no one or two characters alone on the last line. Widths here: a Chinese character or
// full-width sign 2, anything else 1.
TEST(ScreenRules, StatusLinesBreakBetweenPhrasesNeverLeavingACharacterAlone) {
    const TextMeasure measure = [](const std::wstring& text) {
        float width = 0;
        for (wchar_t c : text) width += c >= 0x2E80 ? 2.0f : 1.0f;
        return width;
    };
    struct Case {
        const char* what;
        const wchar_t* text;
        float width;
        std::vector<std::wstring> lines;
    } cases[] = {
        {"fits", L"登录失败", 30, {L"登录失败"}},
        {"empty", L"", 30, {}},
        {"at the comma, not inside the phrase after it", L"触发测试已完成，与预定时间相差 3 毫秒", 30,
         {L"触发测试已完成，", L"与预定时间相差 3 毫秒"}},
        {"at the blank before a number, never inside it", L"预计相差 1001 毫秒", 10, {L"预计相差", L"1001 毫秒"}},
        {"after the separating dot", L"本机时间（可能不准） · 预计相差 1001 毫秒", 30,
         {L"本机时间（可能不准） ·", L"预计相差 1001 毫秒"}},
        {"a comma stays with its phrase", L"时间错误，请重试", 10, {L"时间错误，", L"请重试"}},
        {"no lone character at the end", L"请检查系统默认浏览器设置", 22, {L"请检查系统默认浏览", L"器设置"}},
        {"no two lone characters at the end", L"后台没有返回支付页面地址", 20, {L"后台没有返回支付页", L"面地址"}},
        {"an address stays whole", L"无法连接 sync.example.cn 请稍后重试", 30,
         {L"无法连接 sync.example.cn", L"请稍后重试"}},
        {"a time stays whole", L"点击时间 14:15:16 已过", 14, {L"点击时间", L"14:15:16 已过"}},
        {"a word wider than the line is the only one broken", L"abcdefghijkl", 5, {L"abcde", L"fghi", L"jkl"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<std::wstring> lines = BreakIntoLines(c.text, c.width, measure);
        EXPECT_EQ(lines, c.lines);
        for (const std::wstring& line : lines) {
            if (line.size() > 1) {
                EXPECT_LE(measure(line), c.width) << Utf16ToUtf8(line);
            }
            EXPECT_TRUE(line.empty() || (line.front() != L'，' && line.front() != L'。' && line.front() != L' '))
                << Utf16ToUtf8(line);
        }
    }
}

TEST(ScreenRules, TopUpEstimate) {
    struct Case {
        const wchar_t* amount;
        int32_t price;
        bool valid;
        int64_t points;
        const wchar_t* hint;  // invalid only
    } cases[] = {
        {L"10.5", 100, true, 1050, L""}, {L"10.1", 5, true, 50, L""},  // 50.5 rounds half to even
        {L"10.3", 5, true, 52, L""},     {L"1", 10, true, 10, L""},    {L"9999.9", 10, true, 99999, L""},
        {L"  12", 10, true, 120, L""},   {L"1e3", 10, true, 10000, L""},
        {L"0.5", 10, false, 0, kAmountRangeHint},     {L"10000", 10, false, 0, kAmountRangeHint},
        {L"10 ", 10, false, 0, kAmountRangeHint},     {L"", 10, false, 0, kAmountRangeHint},
        {L"   ", 10, false, 0, kAmountRangeHint},     {L"0x10", 10, false, 0, kAmountRangeHint},
        {L"inf", 10, false, 0, kAmountRangeHint},     {L"nan", 10, false, 0, kAmountRangeHint},
        {L"１０", 10, false, 0, kAmountRangeHint},
        // The order takes one decimal at most: no estimate for an amount it would refuse.
        {L"10.555", 10, false, 0, kAmountOneDecimalHint}, {L"10.55", 10, false, 0, kAmountOneDecimalHint},
        {L"9999.99", 10, false, 0, kAmountOneDecimalHint}, {L"0.55", 10, false, 0, kAmountRangeHint},
        {L"10.5.5", 10, false, 0, kAmountRangeHint},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Utf16ToUtf8(c.amount));
        const TopUpEstimate estimate = EstimateTopUp(c.amount, c.price);
        EXPECT_EQ(estimate.valid, c.valid);
        EXPECT_EQ(estimate.valid, IsValidTopUpAmount(c.amount)) << "the estimate follows the order's rule";
        if (c.valid) EXPECT_EQ(estimate.points, c.points);
        else EXPECT_EQ(estimate.hint, c.hint);
    }
    EXPECT_EQ(RoundHalfToEven(50.5), 50);
    EXPECT_EQ(RoundHalfToEven(51.5), 52);
    EXPECT_EQ(RoundHalfToEven(50.5000001), 51);
    EXPECT_EQ(RoundHalfToEven(0.4999999), 0);
}

TEST(ScreenRules, PositionLineAndSyncLine) {
    ScreenSnapshot s;
    EXPECT_EQ(PositionLine(s).text, L"尚未选择点击位置");
    EXPECT_EQ(PositionLine(s).colour, 0xFFB6C2D2u);
    s.blocked = true;
    EXPECT_EQ(PositionLine(s).colour, 0xFFFF7E8Fu);
    s.targetConfirmed = true;
    s.executableName = L"game.exe";
    EXPECT_EQ(PositionLine(s).text, L"game.exe · 黑名单软件");
    s.blocked = false;
    EXPECT_EQ(PositionLine(s).text, L"game.exe · 正在检查");
    EXPECT_EQ(PositionLine(s).colour, 0xFFB6C2D2u);
    s.checkOk = true;
    s.clickPoint = {-5, 12};
    EXPECT_EQ(PositionLine(s).text, L"game.exe · -5,12");
    EXPECT_EQ(PositionLine(s).colour, 0xFF5BE0A4u);

    EXPECT_EQ(SyncLine(s), L"正在对准标准时间");
    EXPECT_EQ(ProgressBoxHeight(s), 90);
    s.timeAligned = true;
    s.timeSourceLabel = L"服务时间";
    s.timeUncertaintyMs = 12;
    EXPECT_EQ(SyncLine(s), L"服务时间 · 预计相差 12 毫秒");
    // The service's unchecked clock in words, its uncertainty in seconds once it is that large.
    s.timeSourceLabel = TimeSourceLabel("system_fallback");
    for (const auto& [ms, line] : {std::pair<int64_t, const wchar_t*>{16002, L"服务器时钟未校准 · 或差 16.1 秒"},
                                   {16000, L"服务器时钟未校准 · 或差 16.0 秒"},
                                   {1000, L"服务器时钟未校准 · 或差 1.0 秒"},
                                   {999, L"服务器时钟未校准 · 或差 999 毫秒"}}) {
        s.timeUncertaintyMs = ms;
        EXPECT_EQ(SyncLine(s), line) << ms;
    }
    s.timeSourceLabel = L"服务时间";
    s.timeUncertaintyMs = 12;
    EXPECT_EQ(ProgressBoxHeight(s), 125);
    s.countdownTargetMs = 1;
    EXPECT_EQ(ProgressBoxHeight(s), 170);
    EXPECT_EQ(RemainingColour(3001), 0xFF66AAFFu);
    EXPECT_EQ(RemainingColour(3000), 0xFFFFB74Du);
}

// ---- click regions --------------------------------------------------------------------------------

TEST(ClickRegions, CornersJustInsideAndOutside) {
    ClickConditions signedOut;
    ClickConditions user;
    user.loggedIn = true;
    ClickConditions developer = user;
    developer.developer = true;
    ClickConditions topUpPanel = user;
    topUpPanel.panel = ModalPanelKind::TopUp;
    topUpPanel.alipayAvailable = true;

    struct Case {
        const ClickConditions& when;
        RECT region;
        const char* name;
    } cases[] = {
        {signedOut, layout::kExitButton, "退出"},
        {user, layout::kExitButton, "退出"},
        {user, layout::kPositionButton, "选择点击位置"},
        {developer, layout::kBlacklistCodeButton, "生成并复制名单码"},
        {user, layout::kSyncTestButton, "开始同步测试"},
        {signedOut, layout::kAgreementBox, "同意协议"},
        {signedOut, layout::kSubmitButton, "提交"},
        {topUpPanel, layout::kPanelCloseBox, "×"},
        {topUpPanel, layout::kAlipayOption, "支付宝"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const RECT& r = c.region;
        for (POINT inside : {POINT{r.left, r.top}, POINT{r.right - 1, r.top}, POINT{r.left, r.bottom - 1},
                             POINT{r.right - 1, r.bottom - 1}})
            EXPECT_STREQ(ClickRowName(HitTestClick(c.when, inside.x, inside.y)), c.name)
                << "inside at " << inside.x << "," << inside.y;
        for (POINT outside : {POINT{r.left - 1, r.top}, POINT{r.left, r.top - 1}, POINT{r.right, r.bottom - 1},
                              POINT{r.right - 1, r.bottom}})
            EXPECT_STRNE(ClickRowName(HitTestClick(c.when, outside.x, outside.y)), c.name)
                << "outside at " << outside.x << "," << outside.y;
    }
}

TEST(ClickRegions, ConditionsOrderAndOddPositions) {
    ClickConditions user;
    user.loggedIn = true;
    // Developer rows do nothing for other accounts; the top-up row needs an offered payment method.
    EXPECT_EQ(HitTestClick(user, 960, 700).table, ClickTable::None);
    EXPECT_EQ(HitTestClick(user, 800, 50).table, ClickTable::None);
    user.wechatAvailable = true;
    EXPECT_STREQ(ClickRowName(HitTestClick(user, 800, 50)), "积分获取");
    // "更改用途" reacts while it is not drawn; signed-out rows do not react for a signed-in user.
    EXPECT_STREQ(ClickRowName(HitTestClick(user, 700, 160)), "更改用途");
    EXPECT_EQ(HitTestClick(user, 630, 590).table, ClickTable::None);

    ClickConditions signedOut;
    // "忘记密码？" and the send-code button react in every form.
    for (AuthFormMode mode : {AuthFormMode::Login, AuthFormMode::Register, AuthFormMode::ResetPassword}) {
        signedOut.authMode = mode;
        EXPECT_STREQ(ClickRowName(HitTestClick(signedOut, 800, 470)), "忘记密码？");
        EXPECT_STREQ(ClickRowName(HitTestClick(signedOut, 800, 500)), "发送验证码");
    }
    // The agreement box and text do nothing in the reset form; the remember box only in the login form.
    EXPECT_EQ(HitTestClick(signedOut, 560, 540).table, ClickTable::None);
    EXPECT_EQ(HitTestClick(signedOut, 700, 540).table, ClickTable::None);
    signedOut.authMode = AuthFormMode::Register;
    EXPECT_STREQ(ClickRowName(HitTestClick(signedOut, 700, 540)), "用户使用协议与隐私说明");
    EXPECT_EQ(HitTestClick(signedOut, 560, 500).table, ClickTable::None);

    // Negative positions (a release left of or above the window, read as signed 16-bit values).
    for (POINT p : {POINT{-1, 40}, POINT{1100, -1}, POINT{-32768, -32768}})
        EXPECT_EQ(HitTestClick(user, p.x, p.y).table, ClickTable::None) << p.x << "," << p.y;

    // While a panel is open no dashboard row reacts, not even "退出".
    user.panel = ModalPanelKind::Purpose;
    EXPECT_EQ(HitTestClick(user, 1100, 50).table, ClickTable::None);
    EXPECT_EQ(HitTestClick(user, 340, 532).table, ClickTable::None);
    EXPECT_STREQ(ClickRowName(HitTestClick(user, 400, 400)), "教学实验");
}

TEST_F(Screens, ClicksActOnReleaseInTheRegionWhereThePressBegan) {
    Set([](AppState& app) { app.serviceReady = true; });
    harness_->ShowInFront();
    // A full click on "注册" switches the form.
    ClickAt(At(800, 180));
    EXPECT_EQ(Mode(), AuthFormMode::Register);
    EXPECT_EQ(StatusTextNow(), L"填写邮箱、密码和收到的验证码");
    // Pressed on "登录", released on "注册": nothing.
    MovePointer(At(600, 180));
    PressLeftButton();
    MovePointer(At(800, 180));
    ReleaseLeftButton();
    EXPECT_EQ(Mode(), AuthFormMode::Register);
    // Pressed on "登录", dragged off and back onto it: the click counts.
    MovePointer(At(600, 180));
    PressLeftButton();
    MovePointer(At(600, 300));
    MovePointer(At(590, 170));
    ReleaseLeftButton();
    EXPECT_EQ(Mode(), AuthFormMode::Login);

    // A press in another window that ends over the main window starts nothing.
    // (A plain window: it takes the press without capturing the pointer, as most windows do.)
    WNDCLASSW plain{};
    plain.lpfnWndProc = DefWindowProcW;
    plain.hInstance = GetModuleHandleW(nullptr);
    plain.lpszClassName = L"OrvanePlainTestWindow";
    RegisterClassW(&plain);
    HWND other = CreateWindowExW(WS_EX_TOPMOST, L"OrvanePlainTestWindow", L"other", WS_POPUP | WS_VISIBLE, 0, 0, 120,
                                 60, nullptr, nullptr, plain.hInstance, nullptr);
    const POINT origin = At(0, 0);
    SetWindowPos(other, HWND_TOPMOST, origin.x + 760, origin.y + 100, 120, 40, SWP_SHOWWINDOW);
    PumpUntil([] { return false; }, 50);
    MovePointer(At(800, 120));
    PressLeftButton();
    MovePointer(At(800, 180));
    ReleaseLeftButton();
    EXPECT_EQ(Mode(), AuthFormMode::Login);
    DestroyWindow(other);
}

TEST_F(Screens, AReleaseOnARegionThatAppearedDuringThePressStartsNothing) {
    SignIn(false, /*purposeSaved=*/false);
    Set([](AppState& app) {
        app.session.modalPanel = ModalPanelKind::Purpose;
        app.session.pendingPurpose = 0;
    });
    harness_->ShowInFront();
    // The press lands on the third purpose option; before the release the panel goes away (as when
    // the first click of a double-click changed the screen), and the release lands on
    // "自动生成房间号" below, whose purpose gate would open the panel again.
    MovePointer(At(400, 400));
    PressLeftButton();
    Set([](AppState& app) { app.session.modalPanel = ModalPanelKind::None; });
    ReleaseLeftButton();
    EXPECT_EQ(Panel(), ModalPanelKind::None);
    EXPECT_NE(StatusTextNow(), L"正在打开本次使用设置");
    // A whole click there passes the gate and opens the purpose panel.
    ClickAt(At(400, 400));
    EXPECT_EQ(Panel(), ModalPanelKind::Purpose);
    EXPECT_EQ(StatusTextNow(), L"正在打开本次使用设置");
}

TEST_F(Screens, PurposePanelChoosesAndSavesWithThePointer) {
    SignIn(false, /*purposeSaved=*/false);
    harness_->ShowInFront();
    ClickAt(At(100, 296));  // the position button: the purpose gate opens the panel
    ASSERT_EQ(Panel(), ModalPanelKind::Purpose);
    // Each option in turn, by the middle of its card; the last one clicked is the one saved.
    const struct {
        POINT at;
        int32_t purpose;
    } options[] = {{{432, 291}, 0}, {{727, 291}, 1}, {{432, 423}, 2}, {{727, 423}, 3}};
    for (const auto& option : options) {
        ClickAt(At(option.at.x, option.at.y));
        std::lock_guard<std::mutex> lock(App().stateMutex);
        EXPECT_EQ(App().session.pendingPurpose, option.purpose) << "the card at " << option.at.x << "," << option.at.y;
    }
    ClickAt(At(580, 550));  // "保存用途并开始使用"
    PumpUntil([] { return false; }, 50);
    {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        EXPECT_TRUE(App().session.purposeSaved);
        EXPECT_EQ(App().session.savedPurpose, 3);
        EXPECT_EQ(App().session.modalPanel, ModalPanelKind::None);
        EXPECT_EQ(App().statusText, L"当前用途已保存，可以选择点击位置");
    }
    EXPECT_EQ(SendMessageW(Ui().purposeCombo, CB_GETCURSEL, 0, 0), 3);
    EXPECT_TRUE(IsWindowEnabled(FormFieldControl(FormField::RoomCode))) << "the dashboard fields are usable now";
    Look();
    EXPECT_TRUE(Drew(L"当前用途 · 内部培训"));

    // Personal centre and its close box; the top-up button with the offer gone shows a notice.
    ClickAt(At(980, 50));
    EXPECT_EQ(Panel(), ModalPanelKind::PersonalCentre);
    ClickAt(At(880, 164));
    EXPECT_EQ(Panel(), ModalPanelKind::None);
    Set([](AppState& app) { app.session.alipayAvailable = true; });
    ClickAt(At(845, 50));
    EXPECT_EQ(Panel(), ModalPanelKind::TopUp);
    EXPECT_EQ(GetFocus(), FormFieldControl(FormField::Amount)) << "the amount field takes the focus";
    ClickAt(At(700, 460));  // WeChat Pay is not offered: nothing
    {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        EXPECT_EQ(App().session.paymentMethod, PaymentMethod::Alipay);
    }
    PressKey(VK_ESCAPE);  // from the amount field
    EXPECT_EQ(Panel(), ModalPanelKind::None);
    ClickAt(At(980, 50));
    PressKey(VK_ESCAPE);  // with the focus on the window itself
    EXPECT_EQ(Panel(), ModalPanelKind::None);
}

// Before a purpose is saved the dashboard's fields are disabled: their boxes keep the field colour
// (a disabled edit asks for other colours than an enabled one) and their text is dimmed.
TEST_F(Screens, DisabledFieldsAreDrawnAsDisabledNotAsWhiteBoxes) {
    SignIn(false, /*purposeSaved=*/false);
    ASSERT_FALSE(IsWindowEnabled(FormFieldControl(FormField::RoomCode)));
    const PixelImage image = Look();
    for (FormField field : {FormField::RoomCode, FormField::ClickTime, FormField::Participants, FormField::JoinCode,
                            FormField::TestTime}) {
        RECT box{};
        HWND control = FormFieldControl(field);
        GetWindowRect(control, &box);
        MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&box), 2);
        SCOPED_TRACE(static_cast<int>(field));
        EXPECT_EQ(CountNear(image, box, 0xFFFFFFFF, 16), 0) << "no white inside the disabled field";
        EXPECT_TRUE(ColourNear(image.At(box.right - 3, box.top + 2), kFieldFill, 6))
            << ColourText(image.At(box.right - 3, box.top + 2));
    }
    // Its text is drawn, dimmer than that of an enabled field.
    RECT time{};
    GetWindowRect(FormFieldControl(FormField::ClickTime), &time);
    MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&time), 2);
    EXPECT_EQ(CountNear(image, time, 0xFFF2F7FE, 40), 0) << "no bright text";
    EXPECT_GT(CountNear(image, time, 0xFF6A7A90, 30), 5) << "dimmed text";
}

// A press anywhere inside a drawn box, also above or below its control, puts the caret into the field:
// what is typed next lands there.
TEST_F(Screens, APressAnywhereInAFieldsBoxFocusesTheField) {
    SignIn(false);
    harness_->ShowInFront();
    struct Case {
        const char* what;
        FormField field;
        int dx, dy;  // from the frame's top-left corner; negative: from its right and bottom
    };
    const Case cases[] = {
        {"the upper band of the room code box", FormField::RoomCode, 30, 4},
        {"the lower band of the room code box", FormField::RoomCode, 30, -4},
        {"the lower band of the join code box", FormField::JoinCode, 60, -3},
        {"the right end of the participants box", FormField::Participants, -5, 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteFormField(c.field, L"");
        SetFocus(window_);
        const RECT frame = FieldFrame(c.field);
        const int x = c.dx >= 0 ? frame.left + c.dx : frame.right + c.dx;
        const int y = c.dy >= 0 ? frame.top + c.dy : frame.bottom + c.dy;
        ClickAt(At(x, y));
        EXPECT_EQ(GetFocus(), FormFieldControl(c.field));
        TypeText(L"42");
        EXPECT_EQ(MainWindowHarness::Text(FormFieldControl(c.field)), L"42") << "what was typed is in the field";
    }
    // Just outside a box the focus stays where it was.
    SetFocus(FormFieldControl(FormField::JoinCode));
    const RECT frame = FieldFrame(FormField::RoomCode);
    ClickAt(At(frame.left + 30, frame.bottom + 3));
    EXPECT_EQ(GetFocus(), FormFieldControl(FormField::JoinCode));
}

// ---- a display of 150 % -------------------------------------------------------------------------

// The DPI the prefix gives the programs started while this object lives (wine reads it at a
// program's start); the previous setting comes back afterwards.
class PrefixDpi {
public:
    explicit PrefixDpi(DWORD dpi) {
        RegCreateKeyExW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                        &key_, nullptr);
        DWORD size = sizeof previous_;
        hadPrevious_ = RegQueryValueExW(key_, L"LogPixels", nullptr, nullptr, reinterpret_cast<BYTE*>(&previous_),
                                        &size) == ERROR_SUCCESS;
        RegSetValueExW(key_, L"LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dpi), sizeof dpi);
    }
    ~PrefixDpi() {
        if (hadPrevious_)
            RegSetValueExW(key_, L"LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&previous_), sizeof previous_);
        else
            RegDeleteValueW(key_, L"LogPixels");
        RegCloseKey(key_);
    }
    PrefixDpi(const PrefixDpi&) = delete;
    PrefixDpi& operator=(const PrefixDpi&) = delete;

private:
    HKEY key_ = nullptr;
    DWORD previous_ = 96;
    bool hadPrevious_ = false;
};

int VisibleEdits(HWND window) {
    int count = 0;
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t name[16] = {};
        GetClassNameW(child, name, 16);
        if (_wcsicmp(name, L"Edit") == 0 && IsWindowVisible(child)) ++count;
    }
    return count;
}

// Orvane.exe on a display of 144 DPI: its window is the layout at 150 % as far as the screen allows (the
// test display, 1600 × 1000, is shorter than the window at 150 %: 127 %, wholly on the screen), and presses
// at the scaled places of a tab and of a field's box reach them.
TEST(HighDpi, At144DpiTheWindowIsTheLayoutAt150PercentAndTakesPressesWhereItShowsThem) {
    TempFolder appData;
    ScopedEnvironment appDataVariable(L"APPDATA", appData.path().wstring());
    std::unique_ptr<RunningProgram> program;
    HWND window = nullptr;
    {
        PrefixDpi dpi(144);
        program = std::make_unique<RunningProgram>(ProgramFolder() / "Orvane.exe", L"");
        ASSERT_TRUE(program->started());
        for (int i = 0; i < 400 && !window; ++i) {
            window = FindTopLevelWindowOf(program->id(), L"BriskodeskMain", true);
            if (!window) Sleep(50);
        }
    }
    ASSERT_NE(window, nullptr) << "no window within 20 s";
    RECT client{}, placed{};
    GetClientRect(window, &client);
    GetWindowRect(window, &placed);
    EXPECT_EQ(client.right, 1499) << "1180 layout pixels at 127 %";
    EXPECT_EQ(client.bottom, 965) << "760 layout pixels at 127 %";
    EXPECT_TRUE(placed.left >= 0 && placed.top >= 0 && placed.right <= 1600 && placed.bottom <= 1000)
        << placed.left << "," << placed.top << " " << placed.right << "," << placed.bottom;
    const double scale = client.right / 1180.0;

    SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW);
    SetForegroundWindow(window);
    const auto at = [window, scale](int x, int y) {
        POINT point{static_cast<LONG>(std::lround(x * scale)), static_cast<LONG>(std::lround(y * scale))};
        ClientToScreen(window, &point);
        return point;
    };
    ASSERT_TRUE(PumpUntil([window] { return VisibleEdits(window) == 2; }, 5000)) << "the login form's two fields";
    // The register tab, at its scaled place: the form gains its code field.
    const RECT tab = layout::kRegisterTab;
    ClickAt(at((tab.left + tab.right) / 2, (tab.top + tab.bottom) / 2));
    EXPECT_TRUE(PumpUntil([window] { return VisibleEdits(window) == 3; }, 5000)) << "the press reached the tab";
    // The account field, pressed in the lower band of its scaled box: what is typed lands in it.
    const RECT frame = FieldFrame(FormField::Account);
    ClickAt(at(frame.left + 40, frame.bottom - 4));
    TypeText(L"dpi@example.test");
    HWND field = nullptr;
    EXPECT_TRUE(PumpUntil(
        [&] {
            POINT inside = at((frame.left + frame.right) / 2, (frame.top + frame.bottom) / 2);
            ScreenToClient(window, &inside);
            field = ChildWindowFromPointEx(window, inside, CWP_SKIPINVISIBLE);
            wchar_t text[64] = {};
            if (field) SendMessageW(field, WM_GETTEXT, 64, reinterpret_cast<LPARAM>(text));
            return std::wstring(text) == L"dpi@example.test";
        },
        5000))
        << "the typed text is in the account field";

    PostMessageW(window, WM_CLOSE, 0, 0);
    DWORD exitCode = 1;
    EXPECT_TRUE(program->WaitExit(20000, exitCode));
}

// ---- keyboard ----------------------------------------------------------------------------------

// What has the keyboard focus, named as the screen shows it: a field, or a painted control.
std::string FocusName() {
    HWND focus = GetFocus();
    const std::pair<FormField, const char*> fields[] = {
        {FormField::RoomCode, "RoomCode"},         {FormField::ClickTime, "ClickTime"},
        {FormField::Participants, "Participants"}, {FormField::JoinCode, "JoinCode"},
        {FormField::TestTime, "TestTime"},         {FormField::SoftwareName, "SoftwareName"},
        {FormField::BlacklistReason, "BlacklistReason"}, {FormField::Account, "Account"},
        {FormField::Password, "Password"},         {FormField::EmailCode, "EmailCode"},
        {FormField::Amount, "Amount"}};
    for (const auto& [field, name] : fields)
        if (focus && focus == FormFieldControl(field)) return name;
    if (focus == App().mainWindow.load() && FocusedControl()) return ClickRowName(*FocusedControl());
    return "<nothing>";
}

// Tab from `first` once round: the names in the order the keyboard reached them.
std::vector<std::string> TabRound(const std::string& first, size_t count) {
    for (int i = 0; i < 40 && FocusName() != first; ++i) PressKey(VK_TAB);
    std::vector<std::string> names{FocusName()};
    for (size_t i = 1; i < count; ++i) {
        PressKey(VK_TAB);
        names.push_back(FocusName());
    }
    PressKey(VK_TAB);
    EXPECT_EQ(FocusName(), names.front()) << "Tab wraps around";
    PressKey(VK_TAB, /*shift=*/true);
    EXPECT_EQ(FocusName(), names.back()) << "Shift+Tab goes back";
    PressKey(VK_TAB);
    return names;
}

TEST_F(Screens, TabReachesEveryControlInReadingOrder) {
    harness_->ShowInFront();
    // The login form: the header's button, the tabs, the fields, the link, the two boxes and the link
    // beside the second, the login button.
    SetFocus(FormFieldControl(FormField::Account));
    const std::vector<std::string> login = {"退出", "登录", "注册", "Account", "Password", "忘记密码？",
                                            "保存账号和密码", "同意协议", "用户使用协议与隐私说明", "提交"};
    EXPECT_EQ(TabRound(login.front(), login.size()), login);

    // The register form has the code field and its button instead of the link and the remember box.
    Set([](AppState& app) { app.authFormMode = AuthFormMode::Register; });
    const std::vector<std::string> registration = {"退出", "登录", "注册", "Account", "Password", "EmailCode",
                                                   "发送验证码", "同意协议", "用户使用协议与隐私说明", "提交"};
    EXPECT_EQ(TabRound(registration.front(), registration.size()), registration);

    // A developer's dashboard: header, purpose, position, the three cards row by row, the developer card.
    Set([](AppState& app) { app.authFormMode = AuthFormMode::Login; });
    SignIn(true);
    const std::vector<std::string> dashboard = {
        "个人中心", "退出", "更改用途", "选择点击位置", "RoomCode", "JoinCode", "TestTime", "自动生成房间号",
        "ClickTime", "Participants", "创建房间", "加入房间", "开始同步测试", "选择目标程序", "SoftwareName",
        "BlacklistReason", "生成并复制名单码"};
    EXPECT_EQ(TabRound(dashboard.front(), dashboard.size()), dashboard);

    // The purpose panel: the close box, the four cards, the save button; nothing of the dashboard.
    Set([](AppState& app) {
        app.session.modalPanel = ModalPanelKind::Purpose;
        app.session.pendingPurpose = 0;
    });
    KeepFocusOnVisibleField(window_);
    const std::vector<std::string> purpose = {"×", "软件测试", "展厅演示", "教学实验", "内部培训", "保存用途并开始使用"};
    EXPECT_EQ(TabRound(purpose.front(), purpose.size()), purpose);
}

TEST_F(Screens, SpaceTogglesABoxEnterPressesAButtonAndTheFocusIsAlwaysShown) {
    harness_->ShowInFront();
    SetFocus(FormFieldControl(FormField::Password));
    PressKey(VK_TAB);  // 忘记密码？
    PressKey(VK_TAB);  // 保存账号和密码
    ASSERT_EQ(FocusName(), "保存账号和密码");
    const PixelImage image = Look();
    const RECT box = layout::kRememberBox;
    const RECT ringTop{box.left - 4, box.top - 4, box.right + 4, box.top - 1};
    EXPECT_GT(CountNear(image, ringTop, kFocusRingColour, 10), 30) << "the ring shows which control has the focus";
    const auto remembered = [] {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        return App().rememberPassword;
    };
    PressKey(VK_SPACE);
    EXPECT_TRUE(remembered());
    PressKey(VK_SPACE);
    EXPECT_FALSE(remembered());
    PressKey(VK_TAB);  // 同意协议
    PressKey(VK_SPACE);
    {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        EXPECT_TRUE(App().privacyAccepted);
    }

    // Enter on the register tab switches the form; the focus stays on the tab, ring and all.
    for (int i = 0; i < 20 && FocusName() != "注册"; ++i) PressKey(VK_TAB);
    ASSERT_EQ(FocusName(), "注册");
    PressKey(VK_RETURN);
    EXPECT_EQ(Mode(), AuthFormMode::Register);
    EXPECT_EQ(FocusName(), "注册");

    // A click with the pointer puts the ring away and the focus back into a field.
    ClickAt(At(640, 181));  // 登录 tab
    EXPECT_EQ(Mode(), AuthFormMode::Login);
    EXPECT_FALSE(FocusedControl().has_value());
    EXPECT_NE(FocusName(), "<nothing>");

    // The purpose panel by keyboard alone: a card chosen with Space, saved with Enter.
    SignIn(false, false);
    Set([](AppState& app) {
        app.session.modalPanel = ModalPanelKind::Purpose;
        app.session.pendingPurpose = 0;
    });
    KeepFocusOnVisibleField(window_);
    SetFocus(window_);
    for (int i = 0; i < 20 && FocusName() != "教学实验"; ++i) PressKey(VK_TAB);
    PressKey(VK_SPACE);
    {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        EXPECT_EQ(App().session.pendingPurpose, 2);
    }
    PressKey(VK_TAB);
    PressKey(VK_TAB);
    ASSERT_EQ(FocusName(), "保存用途并开始使用");
    PressKey(VK_RETURN);
    EXPECT_EQ(Panel(), ModalPanelKind::None);
    std::lock_guard<std::mutex> lock(App().stateMutex);
    EXPECT_TRUE(App().session.purposeSaved);
    EXPECT_EQ(App().session.savedPurpose, 2);
}

// The agreement dialog, reached and opened with the keyboard, closes with Esc.
TEST_F(Screens, EscClosesTheAgreementDialogOpenedWithTheKeyboard) {
    harness_->ShowInFront();
    std::atomic<HWND> shown{nullptr};
    std::atomic<bool> closedByEsc{false};
    DialogWatcher dialogs([&](HWND dialog, const SeenDialog&) {
        shown = dialog;
        SetForegroundWindow(dialog);
        PressKey(VK_ESCAPE);
        for (int i = 0; i < 60 && IsWindow(dialog); ++i) Sleep(50);
        closedByEsc = !IsWindow(dialog);
        // Never leave the test waiting on a dialog that Esc did not close.
        if (!closedByEsc) PostMessageW(dialog, WM_COMMAND, IDCLOSE, 0);
    });
    SetFocus(FormFieldControl(FormField::Password));
    for (int i = 0; i < 20 && FocusName() != "用户使用协议与隐私说明"; ++i) PressKey(VK_TAB);
    PressKey(VK_RETURN);
    ASSERT_TRUE(dialogs.WaitForCount(1));
    EXPECT_EQ(dialogs.Seen()[0].caption, L"用户使用协议与隐私说明");
    EXPECT_TRUE(PumpUntil([&] { return !IsWindow(shown.load()); }, 5000));
    EXPECT_TRUE(closedByEsc.load()) << "Esc closed it";
    std::lock_guard<std::mutex> lock(App().stateMutex);
    EXPECT_FALSE(App().privacyAccepted) << "reading it ticks nothing";
}

TEST_F(Screens, EnterInTheLoginFormPressesTheLoginButton) {
    DialogWatcher dialogs;
    harness_->ShowInFront();
    EXPECT_EQ(GetFocus(), FormFieldControl(FormField::Account)) << "the form starts in its first field";
    TypeText(L"enter@example.test");
    PressKey(VK_TAB);
    TypeText(L"Password-123");
    EXPECT_EQ(MainWindowHarness::Text(FormFieldControl(FormField::Account)), L"enter@example.test");
    PressKey(VK_RETURN);
    // The agreement box is not ticked: the login button's first check answers.
    ASSERT_TRUE(dialogs.WaitForCount(1));
    EXPECT_EQ(dialogs.Seen()[0].caption, L"需要同意使用协议");
    EXPECT_EQ(MainWindowHarness::Text(FormFieldControl(FormField::Password)), L"Password-123");
}

// ---- the agreement dialog ------------------------------------------------------------------------

// The names the program's import table takes from `dll` (lower case) when it starts.
std::set<std::string> StartupImportsFrom(const std::filesystem::path& program, const std::string& dll) {
    std::set<std::string> names;
    const std::string image = ReadFileBytes(program);
    auto at = [&](size_t offset, size_t size) { return offset + size <= image.size(); };
    if (!at(0x3C, 4)) return names;
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image.data());
    if (!at(dos->e_lfanew, sizeof(IMAGE_NT_HEADERS64))) return names;
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(image.data() + dos->e_lfanew);
    const auto* sections = IMAGE_FIRST_SECTION(nt);
    auto fileOffset = [&](DWORD rva) -> size_t {
        for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i)
            if (rva >= sections[i].VirtualAddress && rva < sections[i].VirtualAddress + sections[i].SizeOfRawData)
                return rva - sections[i].VirtualAddress + sections[i].PointerToRawData;
        return std::string::npos;
    };
    const DWORD importRva = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    for (size_t d = fileOffset(importRva); d != std::string::npos && at(d, sizeof(IMAGE_IMPORT_DESCRIPTOR));
         d += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        const auto* descriptor = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(image.data() + d);
        if (descriptor->Name == 0) break;
        std::string name = image.c_str() + fileOffset(descriptor->Name);
        std::transform(name.begin(), name.end(), name.begin(), ::tolower);
        if (name != dll) continue;
        for (size_t t = fileOffset(descriptor->OriginalFirstThunk ? descriptor->OriginalFirstThunk
                                                                  : descriptor->FirstThunk);
             t != std::string::npos && at(t, 8); t += 8) {
            const uint64_t thunk = *reinterpret_cast<const uint64_t*>(image.data() + t);
            if (thunk == 0) break;
            if (thunk & IMAGE_ORDINAL_FLAG64) continue;
            names.insert(image.c_str() + fileOffset(static_cast<DWORD>(thunk)) + 2);
        }
    }
    return names;
}

TEST_F(Screens, TheAgreementLinkOpensTheDialogWithoutTickingTheBox) {
    DialogWatcher dialogs(IDCLOSE);
    harness_->ShowInFront();
    ClickAt(At(700, 544));
    ASSERT_TRUE(dialogs.WaitForCount(1));
    const SeenDialog seen = dialogs.Seen()[0];
    EXPECT_EQ(seen.caption, L"用户使用协议与隐私说明");
    EXPECT_EQ(seen.owner, window_);
    PumpUntil([] { return false; }, 100);
    std::lock_guard<std::mutex> lock(App().stateMutex);
    EXPECT_FALSE(App().privacyAccepted) << "reading the agreement does not tick the box";
}

// The dialog as it shows: its one button reads "关闭", and each written line of the content stays one
// line on the screen (the content's control is as tall as its written lines, no more).
TEST_F(Screens, TheAgreementDialogKeepsItsLinesAndReadsClose) {
    struct Found {
        std::wstring button;
        int contentLines = 0, shownLines = 0;
    };
    static Found found;
    found = Found{};
    DialogWatcher dialogs([](HWND dialog, const SeenDialog&) {
        EnumChildWindows(
            dialog,
            [](HWND child, LPARAM) -> BOOL {
                wchar_t text[2048] = {};
                GetWindowTextW(child, text, 2048);
                const std::wstring shown = text;
                RECT r{};
                GetWindowRect(child, &r);
                if (GetDlgCtrlID(child) == IDCLOSE) found.button = shown;
                if (shown.find(L"使用规则") != std::wstring::npos) {
                    found.contentLines = static_cast<int>(std::count(shown.begin(), shown.end(), L'\n')) + 1;
                    HDC dc = GetDC(child);
                    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(child, WM_GETFONT, 0, 0)));
                    TEXTMETRICW metrics{};
                    GetTextMetricsW(dc, &metrics);
                    SelectObject(dc, old);
                    ReleaseDC(child, dc);
                    found.shownLines = (r.bottom - r.top) / std::max(1L, metrics.tmHeight);
                }
                return TRUE;
            },
            0);
        PostMessageW(dialog, WM_COMMAND, IDCLOSE, 0);
    });
    harness_->ShowInFront();
    ClickAt(At(700, 544));
    ASSERT_TRUE(dialogs.WaitForCount(1));
    EXPECT_EQ(found.button, L"关闭");
    EXPECT_EQ(found.contentLines, 12);
    EXPECT_EQ(found.shownLines, found.contentLines) << "a written line broken in two shows as more lines";
}

TEST_F(Screens, WithoutTheTaskDialogTheAgreementStillShows) {
    // The program resolves the task dialog at run time only, so it starts where it is missing...
    // (comctl32.dll itself is loaded at its first use, after start-up, so its names are not among what
    // the program needs to start at all; the table is read right, as user32.dll's names show.)
    const std::filesystem::path program = ProgramFolder() / "Orvane.exe";
    EXPECT_FALSE(StartupImportsFrom(program, "user32.dll").empty()) << "Orvane.exe's import table";
    EXPECT_EQ(StartupImportsFrom(program, "comctl32.dll").count("TaskDialogIndirect"), 0u);
    EXPECT_NE(FindTaskDialog(), nullptr) << "and finds it where it is there";
    // ...and shows the same texts in a message box there.
    DialogWatcher dialogs;
    ShowAgreementDialog(window_, nullptr);
    ASSERT_EQ(dialogs.Count(), 1u);
    const SeenDialog seen = dialogs.Seen()[0];
    EXPECT_EQ(seen.caption, L"用户使用协议与隐私说明");
    EXPECT_EQ(seen.text, std::wstring(kAgreementInstruction) + L"\n\n" + kAgreementContent);
    EXPECT_EQ(seen.owner, window_);
}

// ---- no GDI object lost ------------------------------------------------------------------------

TEST_F(Screens, FiveThousandCountdownPaintsGiveBackEveryGdiObject) {
    SignIn(true);
    Set([](AppState& app) {
        app.countdownTargetMs = WallClockMs() + 3600000;
        app.timeAligned = true;
        app.detailText = L"倒计时期间的提示";
    });
    harness_->ShowInFront();
    const GdiUsage before = GdiUsageNow();
    size_t texts = 0;
    for (int i = 0; i < 5000; ++i) {
        // As the 50 ms timer does: the remaining time only; every 50th frame the whole window.
        if (i % 50 == 0) InvalidateRect(window_, nullptr, FALSE);
        else SendMessageW(window_, WM_TIMER, 1, 0);
        UpdateWindow(window_);
        texts = Ui().lastFrameTexts.size();
    }
    const GdiUsage after = GdiUsageNow();
    EXPECT_EQ(after.holders, before.holders);
    EXPECT_EQ(after.system, before.system);
    EXPECT_GT(texts, 40u) << "each paint composed the whole dashboard";
    Set([](AppState& app) { app.countdownTargetMs = 0; });
}

}  // namespace
