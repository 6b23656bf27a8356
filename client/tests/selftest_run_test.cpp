// The self-test run inside a test program: the program's real main window (hidden, as the run creates
// it), its countdown badge and picker, and what the run leaves behind; and the codes it ends with when
// one of those windows cannot be had. And the figures of the precision measurement (--measure), whose
// run from the portable package the install test makes.
#include <gtest/gtest.h>

#include <windows.h>

#include "app/startup.h"
#include "core/app_state.h"
#include "selftest/measure.h"
#include "selftest/self_test.h"
#include "support/main_window_harness.h"
#include "target/picker.h"
#include "ui/countdown_overlay.h"

namespace {

RECT PrimaryMonitorAt(POINT point, RECT* workArea = nullptr) {
    MONITORINFO info{};
    info.cbSize = sizeof info;
    GetMonitorInfoW(MonitorFromPoint(point, MONITOR_DEFAULTTONEAREST), &info);
    if (workArea) *workArea = info.rcWork;
    return info.rcMonitor;
}

class SelfTestRunTest : public testing::Test {
protected:
    MainWindowHarness harness{MainWindowHarness::Run::Offline};
    const POINT start{200, 150};
    void SetUp() override {
        ASSERT_TRUE(harness.Alive());
        SetCursorPos(start.x, start.y);
    }
    void TearDown() override { DestroyPicker(); }
};

}  // namespace

TEST_F(SelfTestRunTest, PassesAndLeavesTheTopLeftCornerConfirmedWithNothingShown) {
    HWND badge = harness.AddCountdownOverlay();
    ASSERT_NE(badge, nullptr);
    RECT work{};
    const RECT monitor = PrimaryMonitorAt(start, &work);

    ASSERT_EQ(RunSelfTest(), kSelfTestPassed);

    EXPECT_EQ(PickerWindow(), nullptr) << "the picker was closed by its confirm button";
    EXPECT_FALSE(IsWindowVisible(harness.window()));
    EXPECT_FALSE(IsWindowVisible(badge)) << "the badge is down once its click was cleared";
    // It was placed where a click at the pointer would have it: centred at the top of that monitor.
    RECT placed{};
    GetWindowRect(badge, &placed);
    const POINT origin = CountdownBadgeOrigin(work);
    EXPECT_EQ(placed.left, origin.x);
    EXPECT_EQ(placed.top, origin.y);

    AppState& app = App();
    std::lock_guard<std::mutex> lock(app.stateMutex);
    EXPECT_EQ(app.countdownTargetMs, 0);
    EXPECT_TRUE(app.session.target.target_confirmed);
    EXPECT_EQ(app.session.target.click_point.x, monitor.left);
    EXPECT_EQ(app.session.target.click_point.y, monitor.top);
    EXPECT_TRUE(app.session.logged_in && app.session.developer_user) << "the last screen the controls were checked on";
}

// The badge stands on the monitor of the running task's point, and the self-test checks it on the
// monitor of the pointer, which may be a second one. Here every point but the pointer's lies on a
// second monitor far away (the virtual display has one).
TEST_F(SelfTestRunTest, TheBadgeIsCheckedOnThePointersMonitorAlsoWhenThatIsNotThePrimary) {
    HWND badge = harness.AddCountdownOverlay();
    ASSERT_NE(badge, nullptr);
    {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        App().countdownPoint = {0, 0};  // where an earlier task's badge stood
    }
    SetBadgeMonitorLookupForTesting([](POINT point, MONITORINFO& monitor) {
        monitor.cbSize = sizeof monitor;
        if (!GetMonitorInfoW(MonitorFromPoint(point, MONITOR_DEFAULTTONEAREST), &monitor)) return false;
        if (point.x < 100 || point.y < 100) monitor.rcMonitor = monitor.rcWork = {4000, 0, 5920, 1080};
        return true;
    });
    const int code = RunSelfTest();
    SetBadgeMonitorLookupForTesting(nullptr);
    EXPECT_EQ(code, kSelfTestPassed);
}

TEST_F(SelfTestRunTest, WithoutTheCountdownBadgeItEndsWithForty) {
    // Everything before the badge passes; the badge that cannot be shown is the first failure.
    ASSERT_EQ(App().countdownWindow.load(), nullptr);
    EXPECT_EQ(RunSelfTest(), kSelfTestOverlayShown);
    EXPECT_EQ(PickerWindow(), nullptr) << "the picker checks come later and never ran";
}

TEST_F(SelfTestRunTest, APickerThatCannotOpenEndsWithTwentySix) {
    harness.AddCountdownOverlay();
    HINSTANCE instance = GetModuleHandleW(nullptr);
    ASSERT_TRUE(UnregisterClassW(L"BriskodeskOverlay", instance));
    const int code = RunSelfTest();
    RegisterWindowClasses(instance);  // for the tests that follow
    EXPECT_EQ(code, kSelfTestPickerSweep);
    EXPECT_EQ(PickerWindow(), nullptr);
}

// The measurement's figures: the median of an even count is the mean of the middle two, p99 the
// nearest rank (the 198th of 200), and a report says what it could not measure and why clicks stopped.
TEST(MeasureReport, FiguresAndWhatTheReportSays) {
    struct Case {
        std::vector<double> values;
        double median, p99, max;
    };
    std::vector<double> twoHundred;
    for (int i = 200; i >= 1; --i) twoHundred.push_back(i);
    const Case cases[] = {
        {{5}, 5, 5, 5},
        {{4, 1, 3, 2}, 2.5, 4, 4},
        {twoHundred, 100.5, 198, 200},
        {{-3, 7, 0}, 0, 7, 7},
    };
    for (const Case& c : cases) {
        const Spread s = SpreadOf(c.values);
        EXPECT_EQ(s.median, c.median);
        EXPECT_EQ(s.p99, c.p99);
        EXPECT_EQ(s.max, c.max);
        EXPECT_EQ(s.count, c.values.size());
    }
    EXPECT_EQ(SpreadOf({}).count, 0u);

    MeasureReport report;
    report.version = L"1.2.3";
    report.clicksAsked = 3;
    report.clicksSent = 2;
    report.callUs = {10, 30};
    report.stoppedBecause = L"测量窗口被遮住";
    report.standardTime = L"无法对时：没有回答";
    report.serviceTime = L"对时误差 ±3 毫秒";
    const std::string text = FormatMeasureReport(report);
    for (const char* line : {"（版本 1.2.3）\r\n", "Windows 版本：无法读取\r\n", "系统定时器周期：无法读取（请求 1 毫秒）\r\n",
                             "点击：在本程序自己的测量窗口内点击 3 次，发出 2 次，窗口收到 0 次\r\n",
                             "  点击提前停止：测量窗口被遮住\r\n",
                             "  SendInput 调用 − 预定时刻（微秒）：中位数 20，p99 30，最大 30（2 次）\r\n",
                             "  按下到达窗口 − 预定时刻：没有数据\r\n", "标准时间服务器：无法对时：没有回答\r\n",
                             "服务时钟：对时误差 ±3 毫秒\r\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
}
