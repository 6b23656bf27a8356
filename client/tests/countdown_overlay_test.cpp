// The countdown badge: its text and place as pure functions, its picture as pixels, and the real
// overlay window: when it shows and hides, that it follows every state change, that clicks pass
// through it, and that its 50 ms redraws leave no GDI object behind.
#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <vector>

#include "core/app_state.h"
#include "core/clock.h"
#include "core/globals.h"
#include "support/main_window_harness.h"
#include "support/pixels.h"
#include "support/real_input.h"
#include "support/test_support.h"
#include "ui/countdown_overlay.h"

namespace {

TEST(CountdownBadge, TextOfTheTimeLeft) {
    struct Case {
        int64_t remainingMs;
        const wchar_t* text;
    };
    const Case cases[] = {
        {83456, L"澄序  01:23.456"},   {3725004, L"澄序  62:05.004"}, {1, L"澄序  00:00.001"},
        {6000000, L"澄序  100:00.000"}, {59999, L"澄序  00:59.999"},   {60000, L"澄序  01:00.000"},
    };
    for (const Case& c : cases) EXPECT_EQ(CountdownBadgeText(c.remainingMs), c.text) << c.remainingMs;
}

TEST(CountdownBadge, TimeLeftOnTheUnifiedClock) {
    const int64_t wall = 1785200000000;
    struct Case {
        const char* what;
        int64_t target, offset, remaining;
    };
    const Case cases[] = {
        {"no countdown", 0, 0, 0},
        {"a negative target", -5, 0, 0},
        {"exactly due", wall + 250, 250, 0},
        {"one millisecond left", wall + 1, 0, 1},
        {"the offset counts", wall + 60000, -2000, 62000},
        {"passed", wall - 10, 0, 0},
        {"far beyond the limits", INT64_MAX, INT64_MIN, INT64_MAX},
    };
    for (const Case& c : cases) EXPECT_EQ(BadgeRemainingMs(c.target, wall, c.offset), c.remaining) << c.what;
}

TEST(CountdownBadge, TheCountdownWhileItRunsThenTheOutcomeForItsTime) {
    const int64_t wall = 1785200000000, mono = 5000000000;
    struct Case {
        const char* what;
        int64_t target;
        const wchar_t* outcome;
        bool clicked;
        int64_t until;
        bool shown;
        std::wstring text;
        BadgeMark mark;
    };
    const Case cases[] = {
        {"nothing at all", 0, L"", false, 0, false, L"", BadgeMark::Countdown},
        {"a countdown", wall + 1500, L"", false, 0, true, L"澄序  00:01.500", BadgeMark::Countdown},
        {"a countdown wins over an old outcome", wall + 1500, L"已点击，相差 2 毫秒", true, mono + 1, true,
         L"澄序  00:01.500", BadgeMark::Countdown},
        {"the outcome of a click", 0, L"已点击，相差 2 毫秒", true, mono + 1, true, L"已点击，相差 2 毫秒",
         BadgeMark::Clicked},
        {"the outcome without a click", 0, L"本次未点击，请查看窗口", false, mono + 10000000, true,
         L"本次未点击，请查看窗口", BadgeMark::NotClicked},
        {"an instant passed, the task not ended yet", wall - 5, L"", false, 0, false, L"", BadgeMark::Countdown},
        {"its time is up", 0, L"已点击，相差 2 毫秒", true, mono, false, L"", BadgeMark::Countdown},
        {"no words", 0, L"", true, mono + 1000, false, L"", BadgeMark::Countdown},
    };
    for (const Case& c : cases) {
        const BadgeView view = DecideBadge(c.target, wall, 0, c.outcome, c.clicked, c.until, mono);
        EXPECT_EQ(view.shown, c.shown) << c.what;
        EXPECT_EQ(view.text, c.text) << c.what;
        EXPECT_EQ(view.mark, c.mark) << c.what;
    }
}

TEST(CountdownBadge, CentredAtTheTopOfTheWorkArea) {
    struct Case {
        const char* what;
        RECT work;
        POINT origin;
    };
    const Case cases[] = {
        {"primary, taskbar below", {0, 0, 1600, 960}, {675, 10}},
        {"secondary with its taskbar on top", {1600, 40, 3520, 1080}, {2435, 50}},
        {"left of and above the primary", {-1920, -200, 0, 880}, {-1085, -190}},
        {"odd width truncates", {-1921, 0, 0, 1080}, {-1086, 10}},
        {"narrower than the badge", {0, 0, 200, 100}, {-25, 10}},
        {"one pixel narrower: toward zero", {0, 0, 249, 100}, {0, 10}},
    };
    for (const Case& c : cases) {
        const POINT origin = CountdownBadgeOrigin(c.work);
        EXPECT_EQ(origin.x, c.origin.x) << c.what;
        EXPECT_EQ(origin.y, c.origin.y) << c.what;
    }
}

bool PixelIs(const std::vector<uint32_t>& frame, int x, int y, uint32_t expected, int tolerance = 6) {
    return PremultipliedPixelIs(frame, kBadgeWidth, x, y, expected, tolerance);
}

TEST(CountdownBadge, PillBadgeAndText) {
    std::vector<uint32_t> frame(kBadgeWidth * kBadgeHeight, 0);
    RenderCountdownBadge(L"澄序  01:23.456", frame.data());
    EXPECT_TRUE(PixelIs(frame, 0, 0, 0)) << "the rounded corner is transparent";
    EXPECT_TRUE(PixelIs(frame, 249, 47, 0));
    EXPECT_TRUE(PixelIs(frame, 4, 24, 0xF6101D30, 8)) << "the pill's left end";
    EXPECT_TRUE(PixelIs(frame, 245, 24, 0xF61A2F4D, 8)) << "the pill's right end";
    EXPECT_TRUE(PixelIs(frame, 24, 15, 0xFF477CFF)) << "the round badge";
    int bright = 0;
    for (int y = 8; y < 40; ++y)
        for (int x = 60; x < 230; ++x)
            if ((frame[static_cast<size_t>(y) * kBadgeWidth + x] & 0xFF) > 0xC0) ++bright;
    EXPECT_GT(bright, 150) << "the countdown text";
}

TEST(CountdownBadge, AnOutcomeWithoutAClickCarriesAWarningSign) {
    std::vector<uint32_t> clicked(kBadgeWidth * kBadgeHeight, 0), missed(kBadgeWidth * kBadgeHeight, 0);
    RenderCountdownBadge(L"已点击，相差 2 毫秒", clicked.data(), nullptr, BadgeMark::Clicked);
    RenderCountdownBadge(L"本次未点击，请查看窗口", missed.data(), nullptr, BadgeMark::NotClicked);
    EXPECT_TRUE(PixelIs(clicked, 24, 15, 0xFF477CFF)) << "the blue badge of a click";
    EXPECT_TRUE(PixelIs(missed, 24, 15, 0xFFE8873A)) << "the orange badge of no click";
    int bright = 0;
    for (int y = 8; y < 40; ++y)
        for (int x = 60; x < 230; ++x)
            if ((missed[static_cast<size_t>(y) * kBadgeWidth + x] & 0xFF) > 0xC0) ++bright;
    EXPECT_GT(bright, 150) << "the words";
}

// ---- the real overlay ---------------------------------------------------------------------------

int64_t SetCountdownState(int64_t targetMs, POINT clickPoint) {
    std::lock_guard<std::mutex> lock(App().stateMutex);
    App().countdownTargetMs = targetMs;
    App().timeOffsetMs = 0;
    App().session.target.click_point = clickPoint;
    return targetMs;
}

RECT WorkAreaAt(POINT point) {
    MONITORINFO info{};
    info.cbSize = sizeof info;
    GetMonitorInfoW(MonitorFromPoint(point, MONITOR_DEFAULTTONEAREST), &info);
    return info.rcWork;
}

class CountdownOverlayWindow : public testing::Test {
protected:
    void SetUp() override {
        harness_ = std::make_unique<MainWindowHarness>(MainWindowHarness::Run::Offline);
        ASSERT_TRUE(harness_->Alive());
        overlay_ = harness_->AddCountdownOverlay();
        ASSERT_NE(overlay_, nullptr);
    }
    void TearDown() override {
        SetCountdownState(0, {0, 0});
        harness_.reset();
    }
    bool Visible() const { return IsWindowVisible(overlay_) != FALSE; }

    std::unique_ptr<MainWindowHarness> harness_;
    HWND overlay_ = nullptr;
};

TEST_F(CountdownOverlayWindow, ShownAtTheTopOfTheClickPointsMonitorAndHiddenWhenCleared) {
    EXPECT_FALSE(Visible()) << "hidden from the start";
    const LONG exStyle = GetWindowLongW(overlay_, GWL_EXSTYLE);
    EXPECT_EQ(exStyle & 0x080800A8, 0x080800A8) << "topmost, click-through, tool window, layered, never activated";

    const POINT point{800, 500};
    SetCountdownState(WallClockMs() + 60000, point);
    RefreshCountdownOverlay(overlay_);
    ASSERT_TRUE(Visible());
    RECT placed{};
    GetWindowRect(overlay_, &placed);
    const POINT origin = CountdownBadgeOrigin(WorkAreaAt(point));
    EXPECT_EQ(placed.left, origin.x);
    EXPECT_EQ(placed.top, origin.y);
    EXPECT_EQ(placed.right - placed.left, kBadgeWidth);
    EXPECT_EQ(placed.bottom - placed.top, kBadgeHeight);
    EXPECT_NE(GetForegroundWindow(), overlay_) << "never activated";

    SetCountdownState(0, point);
    RefreshCountdownOverlay(overlay_);
    EXPECT_FALSE(Visible());
}

// Every state change refreshes the badge, also while it is hidden: a countdown that becomes known
// after the task started brings it up. The 50 ms timer alone does not.
TEST_F(CountdownOverlayWindow, FollowsEveryStateChangeEvenWhileHidden) {
    SetCountdownState(WallClockMs() + 60000, {800, 500});
    PumpUntil([] { return false; }, 300);
    EXPECT_FALSE(Visible()) << "the timer does not bring up a hidden badge";

    SetCountdownTarget(WallClockMs() + 60000);  // what a claim answer does
    ASSERT_TRUE(PumpUntil([this] { return Visible(); }, 2000)) << "the state change brought it up";

    // While shown, the timer keeps it current: the instant passes and the badge goes.
    {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        App().countdownTargetMs = WallClockMs() + 300;
    }
    EXPECT_TRUE(PumpUntil([this] { return !Visible(); }, 2000)) << "hidden by the timer once the instant passed";

    SetCountdownTarget(WallClockMs() + 60000);
    ASSERT_TRUE(PumpUntil([this] { return Visible(); }, 2000));
    SetCountdownTarget(0);
    EXPECT_TRUE(PumpUntil([this] { return !Visible(); }, 2000)) << "a cleared countdown takes it down at once";
}

TEST_F(CountdownOverlayWindow, TaskStartedMinimisesTheWindowAndShowsTheBadge) {
    Globals().selfTest = false;
    ShowWindow(harness_->window(), SW_SHOW);
    SetCountdownState(0, {800, 500});
    PostMessageW(harness_->window(), MSG_TASK_STARTED, 0, 0);
    ASSERT_TRUE(PumpUntil([this] { return IsIconic(harness_->window()) != FALSE; }, 2000));
    PumpUntil([] { return false; }, 100);
    EXPECT_FALSE(Visible()) << "no countdown set: no badge, even after the task-started message";

    ShowWindow(harness_->window(), SW_RESTORE);
    SetCountdownState(WallClockMs() + 60000, {800, 500});
    PostMessageW(harness_->window(), MSG_TASK_STARTED, 0, 0);
    ASSERT_TRUE(PumpUntil([this] { return Visible(); }, 2000));
    EXPECT_TRUE(IsIconic(harness_->window()));

    // Opened again while the task waits (the wake hotkey): seconds before the click it goes down again.
    ShowWindow(harness_->window(), SW_RESTORE);
    ASSERT_FALSE(IsIconic(harness_->window()));
    PostMessageW(harness_->window(), MSG_CLICK_COMING, 0, 0);
    EXPECT_TRUE(PumpUntil([this] { return IsIconic(harness_->window()) != FALSE; }, 2000));

    // The self-test run leaves the window as it is.
    ShowWindow(harness_->window(), SW_RESTORE);
    Globals().selfTest = true;
    PostMessageW(harness_->window(), MSG_TASK_STARTED, 0, 0);
    PumpUntil([] { return false; }, 200);
    EXPECT_FALSE(IsIconic(harness_->window()));
}

// A task's end: the badge shows its outcome (the main window told of the end stays minimised, out of
// the way of the program just clicked), and the 50 ms timer takes the badge down when its time is up.
TEST_F(CountdownOverlayWindow, AnEndedTasksOutcomeStaysUpForItsTimeWhileTheWindowStaysDown) {
    Globals().selfTest = false;
    SetCountdownState(0, {800, 500});
    ShowWindow(harness_->window(), SW_MINIMIZE);
    {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        App().taskOutcomeText = L"本次未点击，请查看窗口";
        App().taskOutcomeClicked = false;
        App().taskOutcomeUntilUs = MonotonicUs() + 800000;
    }
    SetCountdownTarget(0);  // what the end of a task does
    PostMessageW(harness_->window(), MSG_TASK_ENDED, 0, 0);
    ASSERT_TRUE(PumpUntil([this] { return Visible(); }, 2000)) << "the outcome brought the badge up";
    EXPECT_TRUE(IsIconic(harness_->window())) << "the window was not brought over the clicked program";
    EXPECT_NE(GetForegroundWindow(), harness_->window());
    EXPECT_TRUE(PumpUntil([this] { return !Visible(); }, 3000)) << "gone once its time is up";
    {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        App().taskOutcomeText.clear();
        App().taskOutcomeUntilUs = 0;
    }
}

// A window under the badge, counting the clicks it receives.
struct UnderBadge {
    static inline int downs = 0;
    HWND window = nullptr;
    static LRESULT CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_LBUTTONDOWN) ++downs;
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
    explicit UnderBadge(const RECT& area) {
        WNDCLASSW wc{};
        wc.lpfnWndProc = Procedure;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        wc.lpszClassName = L"UnderTheBadge";
        RegisterClassW(&wc);
        window = CreateWindowExW(WS_EX_TOPMOST, wc.lpszClassName, L"under", WS_POPUP | WS_VISIBLE, area.left, area.top,
                                 area.right - area.left, area.bottom - area.top, nullptr, nullptr, wc.hInstance,
                                 nullptr);
    }
    ~UnderBadge() {
        if (window) DestroyWindow(window);
    }
};

TEST_F(CountdownOverlayWindow, ClicksOnTheBadgeReachTheWindowBelow) {
    const POINT point{800, 500};
    const POINT origin = CountdownBadgeOrigin(WorkAreaAt(point));
    UnderBadge under({origin.x - 50, origin.y - 5, origin.x + kBadgeWidth + 50, origin.y + kBadgeHeight + 50});
    ASSERT_NE(under.window, nullptr);
    PumpUntil([] { return false; }, 100);
    SetCountdownState(WallClockMs() + 60000, point);
    RefreshCountdownOverlay(overlay_);
    ASSERT_TRUE(Visible());
    UnderBadge::downs = 0;
    ClickAt({origin.x + kBadgeWidth / 2, origin.y + kBadgeHeight / 2});
    EXPECT_TRUE(PumpUntil([] { return UnderBadge::downs == 1; }, 2000)) << "the click passed through the badge";
}

// Ten minutes of a countdown is 12 000 redraws: none may keep a GDI object.
TEST_F(CountdownOverlayWindow, RedrawsKeepNoGdiObject) {
    SetCountdownState(WallClockMs() + 600000, {800, 500});
    RefreshCountdownOverlay(overlay_);
    const GdiUsage before = GdiUsageNow();
    for (int i = 0; i < 300; ++i) RefreshCountdownOverlay(overlay_);
    EXPECT_EQ(GdiUsageNow(), before);
    EXPECT_TRUE(Visible());
}

}  // namespace
