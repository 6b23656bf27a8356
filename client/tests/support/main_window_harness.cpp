#include "support/main_window_harness.h"

#include <map>
#include <mutex>

#include "account/login.h"
#include "account/saved_login.h"
#include "app/startup.h"
#include "core/app_state.h"
#include "core/form_fields.h"
#include "core/globals.h"
#include "core/worker.h"
#include "net/json_text.h"
#include "support/service_control.h"
#include "support/test_support.h"
#include "timesync/time_of_day.h"
#include "ui/countdown_overlay.h"
#include "ui/modal_panels.h"
#include "ui/ui_resources.h"

namespace {

std::mutex countsLock;
std::map<UINT, int> counts;
WNDPROC originalProc = nullptr;

LRESULT CALLBACK CountingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    {
        std::lock_guard<std::mutex> guard(countsLock);
        ++counts[message];
    }
    return CallWindowProcW(originalProc, window, message, wParam, lParam);
}

template <typename T>
T ReadState(T AppState::*member) {
    AppState& app = App();
    std::lock_guard<std::mutex> lock(app.stateMutex);
    return app.*member;
}

}  // namespace

void ResetAppStateForTest() {
    AppState& app = App();
    std::lock_guard<std::mutex> lock(app.stateMutex);
    app.statusText = L"正在连接服务…";
    app.detailText.clear();
    app.session = Session{};
    app.serviceReady = false;
    app.accountBusy = false;
    app.codeRequestBusy = false;
    app.rememberPassword = false;
    app.privacyAccepted = false;
    app.authFormMode = AuthFormMode::Login;
    app.timeOffsetMs = 0;
    app.timeUncertaintyMs = 0;
    app.timeSourceLabel = L"正在获取准确时间";
    app.timeAligned = false;
    app.clickTimeEdited = false;
    app.testTimeEdited = false;
    app.countdownTargetMs = 0;
    app.hotkeyRegistered = false;
}

MainWindowHarness::MainWindowHarness(Run run) {
    ResetAppStateForTest();
    static bool registered = false;
    HINSTANCE instance = GetModuleHandleW(nullptr);
    Globals().instance = instance;
    Globals().selfTest = run == Run::Offline;
    if (!registered) {
        RegisterWindowClasses(instance);
        registered = true;
    }
    {
        std::lock_guard<std::mutex> guard(countsLock);
        counts.clear();
    }
    window_ = CreateMainWindow(instance);
    if (window_) {
        originalProc = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrW(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(CountingProc)));
    }
}

MainWindowHarness::~MainWindowHarness() {
    if (Alive()) DestroyWindow(window_);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    App().mainWindow = nullptr;
    Globals().selfTest = false;
}

HWND MainWindowHarness::AddCountdownOverlay() const {
    if (!App().countdownWindow.load()) App().countdownWindow = CreateCountdownWindow(GetModuleHandleW(nullptr));
    return App().countdownWindow.load();
}

void MainWindowHarness::ShowInFront() const {
    SetWindowPos(window_, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOSIZE | SWP_SHOWWINDOW);
    SetForegroundWindow(window_);
    RedrawWindow(window_, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    PumpUntil([] { return false; }, 100);
}

POINT MainWindowHarness::ScreenPoint(int x, int y) const {
    POINT point{x, y};
    ClientToScreen(window_, &point);
    return point;
}

int MainWindowHarness::Received(UINT message) const {
    std::lock_guard<std::mutex> guard(countsLock);
    auto it = counts.find(message);
    return it == counts.end() ? 0 : it->second;
}

bool MainWindowHarness::PumpUntilState(const std::function<bool()>& done, DWORD timeoutMs) const {
    return PumpUntil(done, timeoutMs);
}

bool MainWindowHarness::WaitForStartupCheck(DWORD timeoutMs) const {
    return PumpUntil([] { return ServiceReadyNow() || StatusTextNow() != kConnectingStatus; }, timeoutMs);
}

void MainWindowHarness::ChangeState(const std::function<void(AppState&)>& change) const {
    {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        change(App());
    }
    PostMessageW(window_, MSG_STATE_CHANGED, 0, 0);
    PumpUntil([] { return false; }, 30);
}

::testing::AssertionResult MainWindowHarness::SignInWithTheForm(const std::string& account, const std::string& password,
                                                                bool remember) const {
    const int preparations = Received(MSG_PREPARATION_DONE);
    ChangeState([remember](AppState& app) {
        app.privacyAccepted = true;
        app.rememberPassword = remember;
        app.authFormMode = AuthFormMode::Login;
    });
    WriteFormField(FormField::Account, Utf8ToUtf16(account));
    WriteFormField(FormField::Password, Utf8ToUtf16(password));
    StartLogin();
    if (!PumpUntil([&] { return Received(MSG_PREPARATION_DONE) > preparations; }, 20000) || !LoggedInNow())
        return ::testing::AssertionFailure()
               << "not signed in: " << Utf16ToUtf8(StatusTextNow() + L" / " + DetailTextNow());
    PumpUntil([] { return false; }, 50);
    SavePurpose();
    PumpUntil([] { return false; }, 50);
    return ::testing::AssertionSuccess();
}

bool FrameDrew(const std::wstring& text) {
    for (const DrawnText& drawn : Ui().lastFrameTexts)
        if (drawn.text == text) return true;
    return false;
}

void MainWindowHarness::SetText(HWND control, const std::wstring& text) { SetWindowTextW(control, text.c_str()); }

std::wstring MainWindowHarness::Text(HWND control) {
    const int length = GetWindowTextLengthW(control);
    std::wstring text(static_cast<size_t>(length > 0 ? length : 0) + 1, L'\0');
    const int copied = GetWindowTextW(control, text.data(), static_cast<int>(text.size()));
    text.resize(copied > 0 ? static_cast<size_t>(copied) : 0);
    return text;
}

std::wstring StatusTextNow() { return ReadState(&AppState::statusText); }
std::wstring DetailTextNow() { return ReadState(&AppState::detailText); }
bool ServiceReadyNow() { return ReadState(&AppState::serviceReady); }
bool AccountBusyNow() { return ReadState(&AppState::accountBusy); }
bool CodeRequestBusyNow() { return ReadState(&AppState::codeRequestBusy); }
bool LoggedInNow() {
    AppState& app = App();
    std::lock_guard<std::mutex> lock(app.stateMutex);
    return app.session.logged_in;
}

void AccountWindowTest::UseTheService() {
    if (TestServiceEndpoint().empty()) GTEST_SKIP() << "needs the reference service of the test run";
    AimClientAtTestService();
    DeleteSavedLogin();
    appData_ = std::make_unique<ScopedEnvironment>(L"APPDATA", folder_.path().wstring());
}

void AccountWindowTest::OpenOfflineWindow() {
    appData_ = std::make_unique<ScopedEnvironment>(L"APPDATA", folder_.path().wstring());
    harness_ = std::make_unique<MainWindowHarness>(MainWindowHarness::Run::Offline);
    ASSERT_TRUE(harness_->Alive());
    harness_->ShowInFront();
}

void AccountWindowTest::CloseWindowAndData() {
    WorkersRefusedForTesting() = false;
    if (harness_) {
        PumpUntil([] { return !AccountBusyNow() && !CodeRequestBusyNow(); }, 15000);
        if (LoggedInNow()) PumpUntil([this] { return harness_->Received(MSG_PREPARATION_DONE) > 0; }, 15000);
    }
    harness_.reset();
    appData_.reset();
    DeleteSavedLogin();
}

std::unique_ptr<MainWindowHarness> OpenWindowAtService() {
    auto harness = std::make_unique<MainWindowHarness>();
    if (!harness->Alive()) {
        ADD_FAILURE() << "the main window could not be created";
        return nullptr;
    }
    Ui().recordFrameTexts = true;
    if (!harness->WaitForStartupCheck() || !ServiceReadyNow()) {
        ADD_FAILURE() << "the start-up check did not find the service ready: " << Utf16ToUtf8(DetailTextNow());
        return nullptr;
    }
    harness->ShowInFront();
    return harness;
}

int64_t WaitBeforeClickTimeMs(int64_t localMsOfDay, int64_t aheadMs) {
    constexpr int64_t kDayMs = 86400000;
    constexpr int64_t kTypingAndSendingMs = 5000;
    if (localMsOfDay + aheadMs + kTypingAndSendingMs < kDayMs) return 0;
    return kDayMs - localMsOfDay + 1000;
}

void KeepClickTimeToday(int64_t aheadMs) {
    // "HH:MM:SS.mmm", the local time of day as the client's own fields read it.
    const std::wstring now = FormatLocalTimeOfDayMs(UnifiedNowMs());
    const int64_t msOfDay = ((std::stoll(now.substr(0, 2)) * 60 + std::stoll(now.substr(3, 2))) * 60 +
                             std::stoll(now.substr(6, 2))) * 1000 + std::stoll(now.substr(9, 3));
    const int64_t waitMs = WaitBeforeClickTimeMs(msOfDay, aheadMs);
    if (waitMs > 0) PumpUntil([] { return false; }, static_cast<DWORD>(waitMs));
}
