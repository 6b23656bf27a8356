// The self-test run inside a test program: the program's real main window (hidden, as the run creates
// it), its countdown badge and picker, and what the run leaves behind; and the codes it ends with when
// one of those windows cannot be had.
#include <gtest/gtest.h>

#include <windows.h>

#include "app/startup.h"
#include "core/app_state.h"
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
