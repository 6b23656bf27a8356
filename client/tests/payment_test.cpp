// Credits and payments against the reference service: one table of amount texts for the client's
// rule and the service's order; the payment page handed to a real "browser" (a recorder program of
// this suite, registered for https addresses in the test prefix) that opens it, after which the
// dashboard's balance rises on the fast rhythm; answers that are not web pages never reach it; the
// refresh's rhythm and an answer that comes back after its session has ended.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "account/credits.h"
#include "account/login.h"
#include "account/session_end.h"
#include "core/app_state.h"
#include "core/clipboard.h"
#include "core/clock.h"
#include "core/form_fields.h"
#include "core/worker.h"
#include "net/json_text.h"
#include "net/service_api.h"
#include "support/dialog_watcher.h"
#include "support/main_window_harness.h"
#include "support/real_input.h"
#include "support/service_control.h"
#include "support/test_support.h"
#include "ui/modal_panels.h"
#include "ui/payment_address_dialog.h"
#include "ui/ui_resources.h"

namespace {

struct AmountRow {
    std::string expected;  // fen, or "refused"
    std::string text;      // UTF-8
};

// The shared table (testdata/top-up-amounts.txt) that the service's tests read too.
std::vector<AmountRow> AmountTable() {
    std::ifstream in(SharedTestDataFile("top-up-amounts.txt"), std::ios::binary);
    std::vector<AmountRow> rows;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        const size_t tab = line.find('\t');
        if (tab == std::string::npos) continue;
        AmountRow row{line.substr(0, tab), {}};
        for (size_t i = tab + 1; i < line.size(); ++i) {
            if (line[i] != '\\' || i + 1 == line.size()) {
                row.text += line[i];
                continue;
            }
            const char escaped = line[++i];
            row.text += escaped == 't' ? '\t' : escaped == 'n' ? '\n' : escaped == 'v' ? '\v' : escaped == 'f' ? '\f'
                        : escaped == 'r'                                                     ? '\r'
                                                                                             : escaped;
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

// "10", "10.5", "1.23" for an amount in fen, as the service writes it.
std::string YuanOf(int64_t fen) {
    char text[32];
    const long long whole = fen / 100, rest = fen % 100;
    if (rest % 10) std::snprintf(text, sizeof text, "%lld.%02lld", whole, rest);
    else if (rest) std::snprintf(text, sizeof text, "%lld.%lld", whole, rest / 10);
    else std::snprintf(text, sizeof text, "%lld", whole);
    return text;
}

std::string LoginToken(const std::string& email, const std::string& password) {
    const ApiResponse response = PostServiceAction("auth.login", BuildLoginBody(email, password, true, ""), "", 8000);
    return JsonGetString(response.body, "token");
}

int64_t CreditsNow() {
    std::lock_guard<std::mutex> lock(App().stateMutex);
    return App().session.credits;
}

class Payments : public testing::Test {
protected:
    void SetUp() override {
        if (TestServiceEndpoint().empty()) GTEST_SKIP() << "needs the reference service of the test run";
        AimClientAtTestService();
        appData_ = std::make_unique<ScopedEnvironment>(L"APPDATA", folder_.path().wstring());
        record_ = folder_.path() / L"opened.txt";
        recordVariable_ = std::make_unique<ScopedEnvironment>(L"ORVANE_URL_RECORD", record_.wstring());
        handler_ = std::make_unique<HttpsHandler>(ProgramFolder() / L"url-recorder.exe");
        ASSERT_TRUE(handler_->Set()) << "the test prefix's https handler";
        email_ = "payer" + UniqueTestSuffix() + "@example.test";
        ASSERT_TRUE(CreateTestEmailAccount(email_, "Payer-pass-1", 240));
        ASSERT_TRUE(TestServiceConfig(R"({"alipay":true,"wxpay":true,"points_per_yuan":10})"));
    }
    void TearDown() override {
        WorkersRefusedForTesting() = false;
        Ui().recordFrameTexts = false;
        TestServiceClearFaults();
        TestServiceConfig(R"({"alipay":true,"wxpay":true,"points_per_yuan":10})");
        harness_.reset();
        handler_.reset();
        recordVariable_.reset();
        appData_.reset();
    }
    void OpenWindowSignedIn() {
        harness_ = std::make_unique<MainWindowHarness>();
        ASSERT_TRUE(harness_->Alive());
        Ui().recordFrameTexts = true;
        ASSERT_TRUE(harness_->WaitForStartupCheck());
        ASSERT_TRUE(harness_->SignInWithTheForm(email_, "Payer-pass-1"));
        // The preparation's refresh brings the payment offer.
        ASSERT_TRUE(OfferArrived(&Session::alipayAvailable, true));
        harness_->ShowInFront();
    }
    // Waits until a balance refresh has brought `method`'s offer as `offered`.
    static bool OfferArrived(bool Session::*method, bool offered) {
        return PumpUntil([=] {
            std::lock_guard<std::mutex> lock(App().stateMutex);
            return App().session.*method == offered && !App().session.accountRefreshBusy;
        }, 10000);
    }
    std::string Record() const { return ReadFileBytes(record_); }
    POINT At(int x, int y) const { return harness_->ScreenPoint(x, y); }

    TempFolder folder_;
    std::filesystem::path record_;
    std::unique_ptr<ScopedEnvironment> appData_, recordVariable_;
    std::unique_ptr<HttpsHandler> handler_;
    std::unique_ptr<MainWindowHarness> harness_;
    std::string email_;
};

TEST_F(Payments, TheClientAndTheServiceTakeTheSameAmounts) {
    const std::vector<AmountRow> rows = AmountTable();
    ASSERT_GT(rows.size(), 40u) << "the shared table";
    const std::string token = LoginToken(email_, "Payer-pass-1");
    ASSERT_FALSE(token.empty());
    for (const AmountRow& row : rows) {
        const bool accepted = row.expected != "refused";
        EXPECT_EQ(IsValidTopUpAmount(Utf8ToUtf16(row.text)), accepted) << "client rule: '" << row.text << "'";
        const ApiResponse answer =
            PostServiceAction("payment.create", BuildPaymentBody(row.text, PaymentMethod::Alipay), token, 8000);
        std::wstring message;
        EXPECT_EQ(EvaluateApiResponse(answer, message), accepted) << "service: '" << row.text << "' " << answer.body;
        if (accepted) {
            EXPECT_EQ(JsonGetString(answer.body, "amount_yuan"), YuanOf(std::stoll(row.expected))) << row.text;
        }
    }
}

// The shell takes the page, and its address is offered all the same (the shell cannot tell whether a
// browser showed it); once the points arrive, the status says so.
TEST_F(Payments, ThePaymentPageOpensInTheBrowserAndTheBalanceRisesOnTheFastRhythm) {
    OpenWindowSignedIn();
    std::mutex shownLock;
    std::wstring shown;
    DialogWatcher dialogs([&](HWND dialog, const SeenDialog&) {
        std::wstring texts;
        for (int i = 0; i < 60 && texts.find(L"/pay/") == std::wstring::npos; ++i, Sleep(50)) texts = DialogTexts(dialog);
        {
            std::lock_guard<std::mutex> guard(shownLock);
            shown = texts;
        }
        // A press that comes before the dialog is ready is lost: pressed until it has gone.
        for (int i = 0; i < 25 && IsWindow(dialog); ++i, Sleep(200)) ClickDialogButton(dialog, IDCLOSE);
    });
    EXPECT_TRUE(FrameDrew(L"积分获取")) << "offered, so the header has the button";
    EXPECT_EQ(CreditsNow(), 240);

    ClickAt(At(845, 50));
    {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        ASSERT_EQ(App().session.modalPanel, ModalPanelKind::TopUp);
        EXPECT_EQ(App().session.paymentMethod, PaymentMethod::Alipay) << "preselected";
    }
    EXPECT_EQ(GetFocus(), FormFieldControl(FormField::Amount));
    TypeText(L"12.5");  // replaces the selected "10"
    ClickAt(At(705, 458));  // 微信支付
    ClickAt(At(580, 547));  // 创建订单并打开支付页面
    {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        EXPECT_EQ(App().session.modalPanel, ModalPanelKind::None) << "the panel closed for the order";
    }
    ASSERT_TRUE(PumpUntil([] { return StatusTextNow() == L"支付页面已打开，到账后积分会自动更新"; }, 10000))
        << Utf16ToUtf8(StatusTextNow() + L" " + DetailTextNow());
    const int64_t openedAt = WallClockMs();
    EXPECT_EQ(LastRequestBody("payment.create"), "{\"amount\":\"12.5\",\"type\":\"wxpay\"}");
    {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        EXPECT_NEAR(static_cast<double>(App().session.fastRefreshUntilMs - openedAt), 300000.0, 2000.0);
        EXPECT_LE(App().session.accountRefreshDueMs - openedAt, 3000);
    }

    // The browser got the page and opened it; the service credited the order.
    ASSERT_TRUE(PumpUntil([this] { return Record().find("status ") != std::string::npos; }, 15000)) << Record();
    const std::string record = Record();
    EXPECT_EQ(record.rfind("open https://localhost:", 0), 0u) << record;
    EXPECT_NE(record.find("/pay/"), std::string::npos) << record;
    EXPECT_NE(record.find("status 200"), std::string::npos) << record;

    ASSERT_TRUE(dialogs.WaitForCount(1, 10000)) << "the address is offered also when the shell took the page";
    {
        std::lock_guard<std::mutex> guard(shownLock);
        EXPECT_NE(shown.find(kPaymentAddressOpenedInstruction), std::wstring::npos) << Utf16ToUtf8(shown);
        EXPECT_NE(shown.find(Utf8ToUtf16(record.substr(5, record.find('\n') - 5))), std::wstring::npos)
            << "the very page the browser got: " << Utf16ToUtf8(shown);
    }

    // The fast rhythm brings the new balance in seconds (the normal one would take 30).
    ASSERT_TRUE(PumpUntil([] { return CreditsNow() == 365; }, 10000)) << CreditsNow();
    PumpUntil([] { return false; }, 100);
    harness_->ShowInFront();
    EXPECT_TRUE(FrameDrew(L"剩余 365 积分"));
    EXPECT_EQ(StatusTextNow(), kPointsArrivedStatus);
    EXPECT_EQ(DetailTextNow(), L"现有 365 积分");
    std::lock_guard<std::mutex> guard(App().stateMutex);
    EXPECT_LE(App().session.accountRefreshDueMs - WallClockMs(), 3000) << "still the fast rhythm";
}

// An order the service refuses, or whose answer names no web page, fails with the service's own words
// or says that no page came; nothing reaches the browser and the fast refresh does not start.
TEST_F(Payments, AFailedOrderSaysWhyAndNothingReachesTheBrowser) {
    OpenWindowSignedIn();
    const std::wstring recorder = (ProgramFolder() / L"url-recorder.exe").wstring();
    std::wstring fileUrl = L"file:///" + recorder;
    for (wchar_t& c : fileUrl)
        if (c == L'\\') c = L'/';
    const auto payUrl = [](const std::wstring& address) {
        return "\"set\":{\"pay_url\":\"" + JsonEscape(Utf16ToUtf8(address)) + "\"}";
    };
    const struct {
        const char* what;
        std::string fault;  // members of the fault on payment.create
        const wchar_t* detail;
    } cases[] = {
        {"refused", R"("status":400,"ok":false,"message":"该支付方式暂未开放")", L"该支付方式暂未开放"},
        {"a program's path", payUrl(recorder), L"后台没有返回支付页面"},
        {"a file address", payUrl(fileUrl), L"后台没有返回支付页面"},
        {"a program's name", payUrl(L"url-recorder.exe"), L"后台没有返回支付页面"},
        {"no address", payUrl(L""), L"后台没有返回支付页面"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(TestServiceFault("{\"action\":\"payment.create\",\"times\":1," + c.fault + "}"));
        SetStatus(L"", L"");
        OpenTopUp();
        ClickAt(At(580, 547));
        ASSERT_TRUE(PumpUntil([] { return StatusTextNow() == L"充值订单创建失败"; }, 10000))
            << Utf16ToUtf8(StatusTextNow());
        EXPECT_EQ(DetailTextNow(), c.detail);
    }
    PumpUntil([] { return false; }, 1000);
    EXPECT_EQ(Record(), "") << "nothing was opened";
    std::lock_guard<std::mutex> lock(App().stateMutex);
    EXPECT_EQ(App().session.fastRefreshUntilMs, 0);
}


// No browser opens https addresses: the order is made all the same, and the person gets its address
// with a button that copies it.
TEST_F(Payments, WithoutABrowserTheAddressIsShownWithACopyButton) {
    OpenWindowSignedIn();
    HttpsHandler noBrowser(folder_.path() / L"no-such-browser.exe");
    ASSERT_TRUE(noBrowser.Set());
    std::mutex lock;
    std::wstring shown, afterCopy, copied, buttons;
    DialogWatcher dialogs([&](HWND dialog, const SeenDialog&) {
        const std::wstring before = DialogTexts(dialog);
        const std::wstring buttonTexts = MainWindowHarness::Text(GetDlgItem(dialog, kCopyAddressButton)) + L" | " +
                                         MainWindowHarness::Text(GetDlgItem(dialog, IDCLOSE));
        ClickDialogButton(dialog, kCopyAddressButton);
        std::wstring clipboard;
        for (int i = 0; i < 60 && clipboard.find(L"/pay/") == std::wstring::npos; ++i) {
            Sleep(50);
            clipboard = ClipboardText(nullptr);
        }
        Sleep(200);
        const std::wstring after = DialogTexts(dialog);
        {
            std::lock_guard<std::mutex> guard(lock);
            shown = before;
            afterCopy = after;
            copied = clipboard;
            buttons = buttonTexts;
        }
        ClickDialogButton(dialog, IDCLOSE);
    });
    ClickAt(At(845, 50));  // 积分获取
    ClickAt(At(580, 547));  // 创建订单并打开支付页面 (10 yuan)
    ASSERT_TRUE(dialogs.WaitForCount(1, 15000)) << Utf16ToUtf8(StatusTextNow() + L" " + DetailTextNow());
    ASSERT_TRUE(PumpUntil([&] {
        std::lock_guard<std::mutex> guard(lock);
        return !shown.empty();
    }, 10000));
    EXPECT_TRUE(PumpUntil([&] { return IsWindowEnabled(harness_->window()) != FALSE; }, 5000)) << "the dialog closed";
    const SeenDialog seen = dialogs.Seen()[0];
    EXPECT_EQ(seen.caption, kPaymentAddressTitle);
    EXPECT_EQ(seen.owner, harness_->window());
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_NE(shown.find(kPaymentAddressInstruction), std::wstring::npos) << Utf16ToUtf8(shown);
    // The close button reads Chinese whatever the system's language, as the agreement dialog's does.
    EXPECT_EQ(buttons, L"复制地址 | 关闭");
    const size_t at = shown.find(L"https://localhost:");
    ASSERT_NE(at, std::wstring::npos) << Utf16ToUtf8(shown);
    const std::wstring address = shown.substr(at, shown.find(L'\n', at) - at);
    EXPECT_NE(address.find(L"/pay/"), std::wstring::npos) << Utf16ToUtf8(address);
    EXPECT_EQ(copied, address) << "the copy button puts the address on the clipboard";
    EXPECT_NE(afterCopy.find(kAddressCopiedText), std::wstring::npos) << Utf16ToUtf8(afterCopy);
    EXPECT_EQ(StatusTextNow(), kPaymentPageNotOpenedStatus);
    EXPECT_EQ(Record(), "") << "no program opened the page";
    EXPECT_EQ(LastRequestBody("payment.create"), "{\"amount\":\"10\",\"type\":\"alipay\"}");
}

// An amount outside the rule is refused before any order, over the panel, which stays for a
// corrected amount.
TEST_F(Payments, AnAmountOutsideTheRuleIsRefusedOverThePanel) {
    OpenWindowSignedIn();
    const std::string before = TestServiceLastRequest("payment.create");
    // Whether the latest frame drew the text over the panel: after the panel's own last text (the
    // status column under the dimming is drawn before it).
    const auto overThePanel = [](const std::wstring& text) {
        int at = -1, panel = -1;
        for (size_t i = 0; i < Ui().lastFrameTexts.size(); ++i) {
            if (Ui().lastFrameTexts[i].text == text) at = static_cast<int>(i);
            if (Ui().lastFrameTexts[i].text == L"创建订单并打开支付页面") panel = static_cast<int>(i);
        }
        return panel >= 0 && at > panel;
    };
    for (const wchar_t* amount : {L"10.555", L"10.55", L"0.9", L"10000", L"abc", L"10元", L""}) {
        SCOPED_TRACE(Utf16ToUtf8(amount));
        OpenTopUp();
        WriteFormField(FormField::Amount, amount);
        UpdateWindow(harness_->window());
        // No estimate for an amount the order refuses: the pill says what to type instead.
        for (const DrawnText& drawn : Ui().lastFrameTexts)
            EXPECT_EQ(drawn.text.find(L"预计到账"), std::wstring::npos) << Utf16ToUtf8(drawn.text);
        EXPECT_FALSE(overThePanel(L"充值金额不正确")) << "nothing to report before the order button";
        ClickAt(At(580, 547));
        EXPECT_EQ(StatusTextNow(), L"充值金额不正确");
        EXPECT_EQ(DetailTextNow(), L"请输入 1 至 9999.9 元，最多保留一位小数");
        UpdateWindow(harness_->window());
        // The refusal is drawn over the panel, after (on top of) the panel's own texts.
        EXPECT_TRUE(overThePanel(L"充值金额不正确"));
        EXPECT_TRUE(overThePanel(L"请输入 1 至 9999.9 元，最多保留一位小数"));
        std::lock_guard<std::mutex> lock(App().stateMutex);
        EXPECT_EQ(App().session.modalPanel, ModalPanelKind::TopUp) << "the panel stays for a corrected amount";
    }
    // A good amount clears nothing by itself, but a panel opened afresh starts without the old notice.
    CloseModalPanel();
    OpenTopUp();
    WriteFormField(FormField::Amount, L"10.5");
    UpdateWindow(harness_->window());
    EXPECT_TRUE(FrameDrew(L"预计到账 +105 积分"));
    EXPECT_FALSE(overThePanel(L"充值金额不正确"));
    EXPECT_EQ(TestServiceLastRequest("payment.create"), before) << "no order was sent";
    EXPECT_EQ(Record(), "");
}

TEST_F(Payments, WithoutAnOfferThereIsNoButtonAndTheTopUpSaysSo) {
    OpenWindowSignedIn();
    ASSERT_TRUE(TestServiceConfig(R"({"alipay":false,"wxpay":true})"));
    RequestCreditsRefresh();
    ASSERT_TRUE(OfferArrived(&Session::alipayAvailable, false));
    // Only WeChat Pay: it is preselected and Alipay cannot be chosen.
    OpenTopUp();
    SelectPaymentMethod(PaymentMethod::Alipay);
    {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        EXPECT_EQ(App().session.paymentMethod, PaymentMethod::WeChatPay);
    }
    CloseModalPanel();

    ASSERT_TRUE(TestServiceConfig(R"({"alipay":false,"wxpay":false})"));
    RequestCreditsRefresh();
    ASSERT_TRUE(OfferArrived(&Session::wxpayAvailable, false));
    harness_->ShowInFront();
    EXPECT_FALSE(FrameDrew(L"积分获取")) << "no button without an offer";
    DialogWatcher dialogs;
    ClickAt(At(845, 50));
    PumpUntil([] { return false; }, 200);
    EXPECT_EQ(dialogs.Count(), 0u) << "where no button is drawn, nothing reacts";
    // The button's action when the offer went away after the button was drawn.
    OpenTopUp();
    ASSERT_TRUE(dialogs.WaitForCount(1));
    EXPECT_EQ(dialogs.Seen()[0].caption, L"积分获取");
    EXPECT_EQ(dialogs.Seen()[0].text, L"当前暂未开放在线积分获取。");
    EXPECT_EQ(dialogs.Seen()[0].icon, DialogIcon::Information);
    std::lock_guard<std::mutex> lock(App().stateMutex);
    EXPECT_EQ(App().session.modalPanel, ModalPanelKind::None);
}

TEST_F(Payments, ARefreshThatReturnsAfterItsSessionEndedChangesNothing) {
    // Account A's refresh is slow; A signs out and B signs in meanwhile.
    const std::string other = "other" + UniqueTestSuffix() + "@example.test";
    ASSERT_TRUE(CreateTestEmailAccount(other, "Other-pass-1", 777));
    harness_ = std::make_unique<MainWindowHarness>(MainWindowHarness::Run::Offline);
    const std::string tokenA = LoginToken(email_, "Payer-pass-1");
    ASSERT_FALSE(tokenA.empty());
    harness_->ChangeState([&](AppState& app) {
        app.session = Session{true, tokenA, "key", email_, 1, 240, false};
        app.session.alipayAvailable = false;
    });
    ASSERT_TRUE(TestServiceFault(R"({"action":"me","delay_ms":1500,"times":1})"));
    RequestCreditsRefresh();
    EndSession(L"已安全退出账号", L"");
    const ApiResponse loginB =
        PostServiceAction("auth.login", BuildLoginBody(other, "Other-pass-1", true, ""), "", 8000);
    ASSERT_TRUE(ApplyLoginResult(loginB));
    PumpUntil([] { return false; }, 2500);  // A's answer has come back by now
    std::lock_guard<std::mutex> lock(App().stateMutex);
    EXPECT_EQ(App().session.credits, 777) << "B's balance, not A's";
    EXPECT_FALSE(App().session.alipayAvailable) << "A's payment offer did not arrive in B's session";
    EXPECT_FALSE(App().session.accountRefreshBusy);
}

// ---- the refresh's rhythm and the amount rule, without the service ----------------------------

class CreditsRules : public testing::Test {
protected:
    void SetUp() override {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        App().session = Session{true, "rule-token", "key", "", 1, 100, false};
        App().session.accountRefreshBusy = true;
        App().session.alipayAvailable = App().session.wxpayAvailable = false;
        App().session.pointsPerYuan = 10;
        App().session.fastRefreshUntilMs = 0;
    }
    void TearDown() override {
        WorkersRefusedForTesting() = false;
        std::lock_guard<std::mutex> lock(App().stateMutex);
        App().session = Session{};
        App().session.accountRefreshBusy = false;
        App().session.fastRefreshUntilMs = 0;
    }
    template <typename T>
    static T Read(T Session::*member) {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        return App().session.*member;
    }
};

TEST_F(CreditsRules, AnswersAndTheRhythm) {
    const int64_t now = 1'700'000'000'000;
    ASSERT_TRUE(ApplyCreditsRefresh("rule-token", true, R"({"ok":true,"credits":55,"alipay":true,"points_per_yuan":0})", now));
    EXPECT_EQ(CreditsNow(), 55);
    EXPECT_TRUE(Read(&Session::alipayAvailable));
    EXPECT_FALSE(Read(&Session::wxpayAvailable)) << "absent: the previous value stays";
    EXPECT_EQ(Read(&Session::pointsPerYuan), 1) << "0 is stored as 1";
    EXPECT_FALSE(Read(&Session::accountRefreshBusy));
    EXPECT_EQ(Read(&Session::accountRefreshDueMs), now + 30000);

    {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        App().session.fastRefreshUntilMs = now + 1000;
    }
    ASSERT_TRUE(ApplyCreditsRefresh("rule-token", true, R"({"ok":true,"points_per_yuan":500000,"wxpay":true})", now));
    EXPECT_EQ(CreditsNow(), 55) << "no credits in the answer: the balance stays";
    EXPECT_EQ(Read(&Session::pointsPerYuan), 100000);
    EXPECT_TRUE(Read(&Session::wxpayAvailable));
    EXPECT_EQ(Read(&Session::accountRefreshDueMs), now + 3000) << "within the five fast minutes";

    ASSERT_TRUE(ApplyCreditsRefresh("rule-token", false, "", now));
    EXPECT_EQ(Read(&Session::accountRefreshDueMs), now + 15000) << "after a failure";
    EXPECT_EQ(CreditsNow(), 55);

    EXPECT_FALSE(ApplyCreditsRefresh("another-token", true, R"({"ok":true,"credits":1})", now));
    EXPECT_FALSE(ApplyCreditsRefresh("", true, R"({"ok":true,"credits":1})", now));
    EXPECT_EQ(CreditsNow(), 55);
}

TEST_F(CreditsRules, WithoutAWorkerTheRefreshAndTheOrderSaySoAndLeaveNothingBusy) {
    {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        App().session.accountRefreshBusy = false;
    }
    WorkersRefusedForTesting() = true;
    const int64_t before = WallClockMs();
    RequestCreditsRefresh();
    EXPECT_FALSE(Read(&Session::accountRefreshBusy));
    EXPECT_GE(Read(&Session::accountRefreshDueMs), before + 15000) << "tried again later";
    EXPECT_EQ(DetailTextNow(), L"无法启动积分刷新，稍后自动重试");

    TempFolder folder;
    ScopedEnvironment appData(L"APPDATA", folder.path().wstring());
    MainWindowHarness harness(MainWindowHarness::Run::Offline);
    harness.ChangeState([](AppState& app) { app.session = Session{true, "rule-token", "key", "", 1, 100, false}; });
    WriteFormField(FormField::Amount, L"10");
    EXPECT_TRUE(StartPayment());
    EXPECT_EQ(StatusTextNow(), L"充值订单创建失败");
    EXPECT_EQ(DetailTextNow(), L"无法启动后台任务，请稍后重试");
}

TEST(AmountRule, EdgesOfTheRule) {
    for (const wchar_t* text : {L"1", L"9999.9", L"10.5", L"10.0", L"1e3", L"99999e-1", L" 7", L"5."})
        EXPECT_TRUE(IsValidTopUpAmount(text)) << Utf16ToUtf8(text);
    for (const wchar_t* text : {L"0.9", L"10000", L"10.55", L"abc", L"10元", L"", L"1e", L"9999.95", L"0x10"})
        EXPECT_FALSE(IsValidTopUpAmount(text)) << Utf16ToUtf8(text);
    EXPECT_TRUE(IsValidTopUpAmount(std::wstring(62, L'0') + L"1")) << "63 characters";
    EXPECT_FALSE(IsValidTopUpAmount(std::wstring(63, L'0') + L"1")) << "64 characters";
    EXPECT_EQ(BuildPaymentBody("10.0", PaymentMethod::WeChatPay), "{\"amount\":\"10.0\",\"type\":\"wxpay\"}");
    EXPECT_EQ(BuildPaymentBody("1\"", PaymentMethod::Alipay), "{\"amount\":\"1\\\"\",\"type\":\"alipay\"}");
}

}  // namespace
