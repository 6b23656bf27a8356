// The precise click executor: its arithmetic, its timer fallbacks, the thread priority it restores,
// and real clicks that reach a window of this program.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <limits>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "support/test_support.h"
#include "target/desktop_system.h"
#include "tasks/click_executor.h"

// ---- arithmetic ----------------------------------------------------------------------------

TEST(CounterToNanoseconds, MatchesTheSteadyClockConversionForCommonFrequencies) {
    struct Case {
        int64_t counter, frequency, expected;
    } cases[] = {
        {0, 10000000, 0},
        {123456789, 10000000, 12345678900},
        {24000000, 24000000, 1000000000},
        {24000001, 24000000, 1000000041},          // 1 s + 41.67 ns, truncated
        {3579545, 3579545, 1000000000},
        {3579546, 3579545, 1000000279},
        {int64_t{1} << 62, 3000000000, 1537228672809129301},  // a counter near the top does not overflow
    };
    for (const Case& c : cases)
        EXPECT_EQ(CounterToNanoseconds(c.counter, c.frequency), c.expected) << c.counter << " @ " << c.frequency;
}

TEST(ExecutorArithmetic, RemainingDeadlineCoarseWaitAndTimerUnits) {
    // Remaining µs = execute ms × 1000 − wall ticks / 10 − offset.
    EXPECT_EQ(RemainingUs(1785200000000, 17852000000000000 - 12345678, 0), 1234568);  // ticks / 10 truncates
    EXPECT_EQ(RemainingUs(1785200000000, 17852000000000000, 2500), -2500);
    EXPECT_EQ(RemainingUs(1785200000000, 17852000000000000, -2500), 2500);
    EXPECT_EQ(RemainingUs(std::numeric_limits<int64_t>::max(), 0, 0), std::numeric_limits<int64_t>::max());
    // The deadline never lies before the start.
    EXPECT_EQ(DeadlineNs(5000, -10), 5000);
    EXPECT_EQ(DeadlineNs(5000, 3), 8000);
    EXPECT_EQ(DeadlineNs(5000, std::numeric_limits<int64_t>::max()), std::numeric_limits<int64_t>::max());

    struct Coarse {
        const char* name;
        int64_t deadlineNs, nowNs, expectedUs;
    } coarse[] = {
        {"past", 1000, 2000, -1},
        {"29 ms to go", 29000000, 0, -1},
        {"exactly 30 ms to go", 30000000, 0, -1},
        {"30 ms and 1 ns", 30000001, 0, 0},
        {"31.5 ms", 31500000, 0, 1500},
        {"1 s", 1000000000, 0, 970000},
    };
    for (const Coarse& c : coarse) EXPECT_EQ(CoarseWaitUs(c.deadlineNs, c.nowNs), c.expectedUs) << c.name;

    EXPECT_EQ(TimerDueTime(970000), -9700000);  // 1 s to go: 970 ms in 100-ns units
    EXPECT_EQ(TimerDueTime(0), -1);             // at least one unit
    EXPECT_EQ(FallbackSleepMs(1500), 1u);
    EXPECT_EQ(FallbackSleepMs(1000), 0u);
    EXPECT_EQ(FallbackSleepMs(0), 0u);
    EXPECT_EQ(FallbackSleepMs(996000), 996u);
    EXPECT_EQ(MsToUsSaturated(std::numeric_limits<int64_t>::max()), std::numeric_limits<int64_t>::max());
    EXPECT_EQ(MsToUsSaturated(std::numeric_limits<int64_t>::min()), std::numeric_limits<int64_t>::min());
    EXPECT_EQ(MsToUsSaturated(-3), -3000);

    // The uncertainty shown for a click: the clock's plus the click's own lateness, at least 1 ms,
    // rounded up.
    struct Shown {
        int64_t clockMs, latenessUs, shownMs;
    } shown[] = {{0, 0, 1},         {4, 0, 5},         {16001, 0, 16002}, {-7, 0, 1},
                 {4, 1000, 5},      {4, 1001, 6},      {4, 4300, 9},      {4, -50, 5},
                 {std::numeric_limits<int64_t>::max(), 0, std::numeric_limits<int64_t>::max()},
                 {2, std::numeric_limits<int64_t>::max(), std::numeric_limits<int64_t>::max() / 1000 + 2}};
    for (const Shown& c : shown)
        EXPECT_EQ(ShownClickUncertaintyMs(c.clockMs, c.latenessUs), c.shownMs) << c.clockMs << " " << c.latenessUs;

    // The lateness kept: the worst of the last 16 clicks; an early one counts as on time.
    RecentLateness recent;
    EXPECT_EQ(WorstLatenessUs(recent), 0);
    recent = NextRecentLateness(recent, 4300);
    recent = NextRecentLateness(recent, -20);
    EXPECT_EQ(WorstLatenessUs(recent), 4300);
    for (int i = 0; i < RecentLateness::kKept - 1; ++i) recent = NextRecentLateness(recent, 200 + i);
    EXPECT_EQ(WorstLatenessUs(recent), 214);  // the 4.3 ms one has left the window
    EXPECT_EQ(recent.count, RecentLateness::kKept);
}

// ---- how late the coarse wait wakes, and the lead learned from it -----------------------------------

namespace {

OversleepEstimate Learn(OversleepEstimate estimate, std::initializer_list<int64_t> oversleepsUs, int repeat = 1,
                        int64_t spinOvershootUs = 0) {
    for (int i = 0; i < repeat; ++i)
        for (int64_t us : oversleepsUs)
            estimate = NextOversleepEstimate(estimate, us * 1000, spinOvershootUs < 0 ? -1 : spinOvershootUs * 1000);
    return estimate;
}

// How many on-time wakes (0.7 ms late, as an idle machine's timer wakes) it takes until the lead is
// back at its shortest.
int WakesUntilShortestLead(OversleepEstimate estimate) {
    for (int wakes = 0; wakes < 1000; ++wakes) {
        if (CoarseLeadNs(estimate) == kMinCoarseLeadNs) return wakes;
        estimate = NextOversleepEstimate(estimate, 700000);
    }
    return 1000;
}

}  // namespace

// The absolute move lands on exactly the chosen pixel as Windows maps it back (normalised × extent /
// 65536, rounded down), on every monitor layout, and the button follows the system's swap.
TEST(ClickInputs, AnAbsoluteMoveToThePixelThenThePrimaryButton) {
    const struct {
        const char* name;
        RECT desktop;
    } layouts[] = {
        {"one 1280 x 800", {0, 0, 1280, 800}},
        {"1366 x 768", {0, 0, 1366, 768}},
        {"a second monitor to the left", {-1920, 0, 1920, 1080}},
        {"three 4K side by side", {0, -2160, 11520, 2160}},
        {"one pixel", {5, 5, 6, 6}},
    };
    for (const auto& l : layouts) {
        const int32_t width = l.desktop.right - l.desktop.left, height = l.desktop.bottom - l.desktop.top;
        for (int32_t x = l.desktop.left; x < l.desktop.right; x += std::max(1, width / 997)) {
            const LONG n = NormalisedCoordinate(x, l.desktop.left, width);
            ASSERT_LE(n, 65535) << l.name;
            ASSERT_EQ(l.desktop.left + static_cast<int64_t>(n) * width / 65536, x) << l.name;
        }
        const ClickInputs last = BuildClickInputs(l.desktop.right - 1, l.desktop.bottom - 1, l.desktop, false);
        for (const INPUT& record : last.records)
            EXPECT_EQ(l.desktop.top + static_cast<int64_t>(record.mi.dy) * height / 65536, l.desktop.bottom - 1)
                << l.name;
    }
    EXPECT_EQ(NormalisedCoordinate(-10, 0, 1280), 0) << "off the desktop: its edge";
    EXPECT_EQ(NormalisedCoordinate(5000, 0, 1280), NormalisedCoordinate(1279, 0, 1280));
    constexpr DWORD kMove = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_VIRTUALDESK;
    const ClickInputs left = BuildClickInputs(10, 20, {0, 0, 1280, 800}, false);
    EXPECT_EQ(left.records[0].mi.dwFlags, kMove | MOUSEEVENTF_LEFTDOWN);
    EXPECT_EQ(left.records[1].mi.dwFlags, kMove | MOUSEEVENTF_LEFTUP);
    const ClickInputs right = BuildClickInputs(10, 20, {0, 0, 1280, 800}, true);
    EXPECT_EQ(right.records[0].mi.dwFlags, kMove | MOUSEEVENTF_RIGHTDOWN);
    EXPECT_EQ(right.records[1].mi.dwFlags, kMove | MOUSEEVENTF_RIGHTUP);
    for (const INPUT& record : right.records) {
        EXPECT_EQ(record.type, static_cast<DWORD>(INPUT_MOUSE));
        EXPECT_EQ(record.mi.dx, left.records[0].mi.dx) << "both at the point";
        EXPECT_EQ(record.mi.dy, left.records[0].mi.dy);
    }
}

// How late a spinner saw the deadline, which tells whether it was taken off the processor: the time its
// own last look took past the deadline does not count (it was busy, and the click waited for the verdict).
TEST(CoarseLead, TheLastLooksOwnTimeIsNotTakenForASpinOffTheProcessor) {
    const int64_t deadline = 5000000000;
    const struct {
        const char* name;
        bool tookLook;
        int64_t lookEnd, now, seenLate;
    } cases[] = {
        {"no look: as it saw it", false, 0, deadline + 300000, 300000},
        {"its look ended before the deadline", true, deadline - 500000, deadline + 1000, 1000},
        {"its look ran 1 ms past the deadline, seen at once after", true, deadline + 1000000, deadline + 1000500, 500},
        {"its look ran past, then the spinner was off the processor", true, deadline + 1000000, deadline + 3000000, 2000000},
        {"the other spinner's look ran past: this one's lateness stands", false, deadline + 1000000, deadline + 1000500, 1000500},
    };
    for (const auto& c : cases) EXPECT_EQ(SeenLateNs(c.tookLook, c.lookEnd, deadline, c.now), c.seenLate) << c.name;
}

TEST(CoarseLead, FollowsHowLateTheTimerWakesWithinItsBounds) {
    const OversleepEstimate nothing;
    const OversleepEstimate idle = Learn(nothing, {700}, 50);
    const OversleepEstimate afterOneLateWake = Learn(idle, {35000});
    struct Case {
        const char* name;
        OversleepEstimate estimate;
        int64_t minLeadUs, maxLeadUs;
    } cases[] = {
        {"nothing learned: the shortest lead", nothing, 30000, 30000},
        {"one on-time wake", Learn(nothing, {700}), 30000, 30000},
        {"an idle machine's wakes", idle, 30000, 30000},
        {"a wake 35 ms late: the next coarse wait ends earlier than that", afterOneLateWake, 35001, 50000},
        {"steadily 40 ms late: that and the margin", Learn(nothing, {40000}, 60), 40999, 41001},
        {"a busy machine, now on time, now 40 ms late", Learn(idle, {800, 40000}, 20), 45000, 50000},
        {"steadily very late: never more than 50 ms", Learn(nothing, {500000}, 100), 50000, 50000},
        {"early wakes count as on time", Learn(nothing, {-3000}, 10), 30000, 30000},
        {"late wakes, but spins cut short by other programs: a short spin after a sleep", Learn(idle, {40000}, 20, 3000),
         4000, 4000},
        {"spins that began after the deadline say nothing about preemption", Learn(idle, {40000}, 20, -1), 40000,
         50000},
        {"one spin cut short among many: the lead still follows the wakes",
         Learn(Learn(idle, {40000}, 1, 3000), {40000}, 20), 40000, 50000},
    };
    for (const Case& c : cases) {
        EXPECT_GE(CoarseLeadNs(c.estimate), c.minLeadUs * 1000) << c.name;
        EXPECT_LE(CoarseLeadNs(c.estimate), c.maxLeadUs * 1000) << c.name;
    }
    EXPECT_EQ(afterOneLateWake.samples, 51);
}

TEST(CoarseLead, NarrowsAgainAfterLateWakesAndAfterAStalledMachine) {
    const OversleepEstimate idle = Learn(OversleepEstimate{}, {700}, 50);
    // One late wake guards the next few clicks, not the rest of the session.
    const int afterLateWake = WakesUntilShortestLead(Learn(idle, {35000}));
    EXPECT_GE(afterLateWake, 3);
    EXPECT_LE(afterLateWake, 15);
    // A wake two seconds late (the machine stalled or slept) counts as 60 ms: the lead is at its
    // limit at once and back within a bounded number of clicks.
    const OversleepEstimate stalled = Learn(idle, {2000000});
    EXPECT_EQ(CoarseLeadNs(stalled), kMaxCoarseLeadNs);
    EXPECT_LE(WakesUntilShortestLead(stalled), 30);
    EXPECT_EQ(stalled.meanNs, NextOversleepEstimate(idle, kOversleepSampleCapNs).meanNs);
    // Once other programs stop cutting spins short, a longer lead comes back within a bounded number of
    // clicks.
    OversleepEstimate calming = Learn(idle, {40000}, 40, 3000);
    int clicks = 0;
    ASSERT_EQ(CoarseLeadNs(calming), kBusyMachineLeadNs);
    EXPECT_GE(CoarseLeadNs(calming, false), kMinCoarseLeadNs) << "where priorities take effect: never under 30 ms";
    EXPECT_TRUE(ThreadPrioritiesIgnored()) << "these tests run under wine";
    while (CoarseLeadNs(calming) == kBusyMachineLeadNs && clicks < 100) {
        calming = NextOversleepEstimate(calming, 40000000, 0);
        ++clicks;
    }
    EXPECT_GE(clicks, 10);
    EXPECT_LE(clicks, 30);
}

TEST(CoarseLead, WhatTheProcessLearnedIsSafeToUpdateFromSeveralThreads) {
    ForgetLearnedOversleepForTesting();
    constexpr int kThreads = 4, kWakes = 500000;
    std::atomic<int> leadsOutOfBounds{0}, ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&leadsOutOfBounds, &ready] {
            // All threads start together, so that their updates really overlap.
            ++ready;
            while (ready < kThreads) YieldProcessor();
            for (int i = 0; i < kWakes; ++i) {
                LearnOversleep(700000);
                if (i % 10000 == 0) {
                    const int64_t lead = CoarseLeadNs(LearnedOversleep());
                    if (lead < kMinCoarseLeadNs || lead > kMaxCoarseLeadNs) ++leadsOutOfBounds;
                }
            }
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(leadsOutOfBounds, 0);
    const OversleepEstimate learned = LearnedOversleep();
    EXPECT_EQ(learned.samples, kThreads * kWakes);  // no wake lost to a race
    EXPECT_EQ(learned.meanNs, 700000);
    EXPECT_EQ(CoarseLeadNs(learned), kMinCoarseLeadNs);
    ForgetLearnedOversleepForTesting();
}

// ---- the real thing and its fallbacks -------------------------------------------------------------

namespace {

// A window of this program that records the clicks it receives (client coordinates).
struct ClickTarget {
    static constexpr int kLeft = 200, kTop = 150, kSize = 300;
    HWND window = nullptr;
    static inline int downs = 0, ups = 0, rightDowns = 0;
    static inline POINT lastDown{-1, -1};

    static LRESULT CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_RBUTTONDOWN) ++rightDowns;
        if (message == WM_LBUTTONDOWN || message == WM_RBUTTONDOWN) {
            ++downs;
            lastDown = {static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
            return 0;
        }
        if (message == WM_LBUTTONUP) {
            ++ups;
            return 0;
        }
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }

    ClickTarget() {
        WNDCLASSW wc{};
        wc.lpfnWndProc = Procedure;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"ClickExecutorTestTarget";
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        RegisterClassW(&wc);
        window = CreateWindowExW(WS_EX_TOPMOST, wc.lpszClassName, L"target", WS_POPUP | WS_VISIBLE, kLeft, kTop, kSize,
                                 kSize, nullptr, nullptr, wc.hInstance, nullptr);
        SetForegroundWindow(window);
        PumpUntil([] { return false; }, 100);
        downs = ups = 0;
    }
    ~ClickTarget() {
        if (window) DestroyWindow(window);
    }
    bool WaitForClick() { return PumpUntil([] { return downs >= 1 && ups >= 1; }, 5000); }
};

// Counting wrappers around the real functions; single entries can be made to fail.
struct Calls {
    int timerEx = 0, timer = 0, setTimer = 0, sleep = 0, sendInput = 0;
    BOOL manualReset = FALSE;
    int64_t dueTime = 0;
    DWORD sleptMs = 0;
    int priorityAtSendInput = -100, priorityAtSetTimer = -100;
    bool failTimerEx = false, failTimer = false, failSetTimer = false, refuseInput = false;
    DWORD oversleepMs = 0;  // the fallback sleep wakes this much late (a stalled machine)
};
Calls g_calls;

HANDLE WINAPI CountTimerEx(LPSECURITY_ATTRIBUTES a, LPCWSTR n, DWORD f, DWORD access) {
    ++g_calls.timerEx;
    return g_calls.failTimerEx ? nullptr : CreateWaitableTimerExW(a, n, f, access);
}
HANDLE WINAPI CountTimer(LPSECURITY_ATTRIBUTES a, BOOL manualReset, LPCWSTR n) {
    ++g_calls.timer;
    g_calls.manualReset = manualReset;
    return g_calls.failTimer ? nullptr : CreateWaitableTimerW(a, manualReset, n);
}
BOOL WINAPI CountSetTimer(HANDLE h, const LARGE_INTEGER* due, LONG period, PTIMERAPCROUTINE r, LPVOID arg, BOOL resume) {
    ++g_calls.setTimer;
    g_calls.priorityAtSetTimer = GetThreadPriority(GetCurrentThread());
    g_calls.dueTime = due->QuadPart;
    return g_calls.failSetTimer ? FALSE : SetWaitableTimer(h, due, period, r, arg, resume);
}
void WINAPI CountSleep(DWORD ms) {
    ++g_calls.sleep;
    g_calls.sleptMs = ms;
    Sleep(ms + g_calls.oversleepMs);
}
UINT WINAPI CountSendInput(UINT count, LPINPUT inputs, int size) {
    ++g_calls.sendInput;
    g_calls.priorityAtSendInput = GetThreadPriority(GetCurrentThread());
    return g_calls.refuseInput ? 0 : SendInput(count, inputs, size);
}

const ClickPlatform kCounting{CountTimerEx, CountTimer, CountSetTimer, CountSleep, SetCursorPos, CountSendInput};

// A last look that takes `lookCostUs` (window queries on a loaded machine) and allows the click or not.
struct Looks {
    int taken = 0;
    int64_t lastAtNs = 0;
    int64_t lookCostUs = 0;
    bool allow = true;
};
Looks g_looks;
BOOL CountLook(void*) {
    ++g_looks.taken;
    g_looks.lastAtNs = SteadyNowNs();
    for (const int64_t until = g_looks.lastAtNs + g_looks.lookCostUs * 1000; SteadyNowNs() < until;) YieldProcessor();
    return g_looks.allow ? TRUE : FALSE;
}

// An execute time `aheadUs` from now, in unified ms, with the offset that makes it exact.
struct Instant {
    int64_t executeAtMs, offsetUs;
};
Instant Ahead(int64_t aheadUs) {
    const int64_t target = WallClockUs() + aheadUs;
    // Round the ms up and shift the offset so the instant is exactly `aheadUs` away.
    const int64_t ms = target / 1000 + 1;
    return {ms, ms * 1000 - target};
}

constexpr int kTargetX = ClickTarget::kLeft + 37, kTargetY = ClickTarget::kTop + 59;

}  // namespace

class ExecuteClickAtTest : public testing::Test {
protected:
    // One target window for the whole suite (creating windows under wine is slow).
    static void SetUpTestSuite() { shared = new ClickTarget; }
    static void TearDownTestSuite() {
        delete shared;
        shared = nullptr;
    }
    void SetUp() override {
        ForgetLearnedOversleepForTesting();
        g_calls = Calls{};
        PumpUntil([] { return false; }, 20);  // drop anything left from the previous test
        ClickTarget::downs = ClickTarget::ups = ClickTarget::rightDowns = 0;
    }
    static inline ClickTarget* shared = nullptr;
    ClickTarget& target = *shared;
};

TEST_F(ExecuteClickAtTest, APastInstantClicksAtOnceOnTheTargetPosition) {
    ClickTiming timing;
    const int64_t before = SteadyNowNs();
    EXPECT_TRUE(ExecuteClickAt({WallClockMs() - 5000, 0, kTargetX, kTargetY}, &kCounting, &timing));
    EXPECT_EQ(timing.coarseUs, -1);
    EXPECT_FALSE(timing.timerUsed);
    EXPECT_LE(timing.deadlineNs, timing.sendInputNs);
    EXPECT_GE(timing.deadlineNs, before);  // the deadline is the start, not 5 s back
    EXPECT_EQ(g_calls.timerEx + g_calls.timer + g_calls.sleep, 0);
    ASSERT_TRUE(target.WaitForClick());
    EXPECT_EQ(ClickTarget::downs, 1);
    EXPECT_EQ(ClickTarget::ups, 1);
    EXPECT_EQ(ClickTarget::lastDown.x, kTargetX - ClickTarget::kLeft);
    EXPECT_EQ(ClickTarget::lastDown.y, kTargetY - ClickTarget::kTop);
    POINT cursor{};
    GetCursorPos(&cursor);
    EXPECT_EQ(cursor.x, kTargetX);
    EXPECT_EQ(cursor.y, kTargetY);
}

TEST_F(ExecuteClickAtTest, ThreeMillisecondsAheadUsesNoTimerAndSpinsToTheDeadline) {
    const Instant at = Ahead(3000);
    ClickTiming timing;
    EXPECT_TRUE(ExecuteClickAt({at.executeAtMs, at.offsetUs, kTargetX, kTargetY}, &kCounting, &timing));
    EXPECT_EQ(g_calls.timerEx + g_calls.timer + g_calls.setTimer + g_calls.sleep, 0);
    EXPECT_EQ(timing.coarseUs, -1);
    EXPECT_GE(timing.sendInputNs, timing.deadlineNs);
    EXPECT_EQ(g_calls.priorityAtSendInput, THREAD_PRIORITY_HIGHEST);
    ASSERT_TRUE(target.WaitForClick());
}

TEST_F(ExecuteClickAtTest, FurtherAheadAHighResolutionTimerWakesThirtyMillisecondsEarly) {
    const Instant at = Ahead(100000);
    ClickTiming timing;
    EXPECT_TRUE(ExecuteClickAt({at.executeAtMs, at.offsetUs, kTargetX, kTargetY}, &kCounting, &timing));
    EXPECT_EQ(g_calls.timerEx, 1);
    EXPECT_EQ(g_calls.timer, 0);
    EXPECT_EQ(g_calls.setTimer, 1);
    EXPECT_TRUE(timing.timerUsed);
    // 100 ms minus the 30 ms lead, minus what passed before the timer was set.
    EXPECT_LE(g_calls.dueTime, -1);
    EXPECT_GE(g_calls.dueTime, -700000);
    EXPECT_EQ(g_calls.dueTime, -timing.coarseUs * 10);
    EXPECT_EQ(g_calls.priorityAtSetTimer, THREAD_PRIORITY_HIGHEST) << "raised before the coarse wait, not after";
    EXPECT_GE(timing.sendInputNs, timing.deadlineNs);
    ASSERT_TRUE(target.WaitForClick());
    EXPECT_EQ(ClickTarget::lastDown.x, kTargetX - ClickTarget::kLeft);
}

// Two spinners share the final stretch; each click is sent once, by whichever saw the deadline first,
// at raised priority and not before the deadline.
TEST_F(ExecuteClickAtTest, APartnerSpinsBesideTheCallerAndTheClickIsSentOnce) {
    constexpr int kClicks = 12;
    int byPartner = 0;
    for (int i = 0; i < kClicks; ++i) {
        ForgetLearnedOversleepForTesting();  // the 30 ms lead, whatever a loaded machine taught the last click
        const Instant at = Ahead(32000 + 1000 * i);
        ClickTiming timing;
        EXPECT_TRUE(ExecuteClickAt({at.executeAtMs, at.offsetUs, kTargetX, kTargetY}, &kCounting, &timing));
        EXPECT_TRUE(timing.partnerSpun) << i;
        EXPECT_GE(timing.sendInputNs, timing.deadlineNs) << i;
        EXPECT_EQ(g_calls.priorityAtSendInput, THREAD_PRIORITY_HIGHEST) << i;
        byPartner += timing.partnerSent;
        EXPECT_EQ(g_calls.sendInput, i + 1) << i;
    }
    ASSERT_TRUE(PumpUntil([] { return ClickTarget::ups >= kClicks; }, 5000));
    PumpUntil([] { return false; }, 50);
    EXPECT_EQ(ClickTarget::downs, kClicks);
    EXPECT_EQ(ClickTarget::ups, kClicks);
    std::printf("partner sent %d of %d clicks\n", byPartner, kClicks);
}

// The last look is taken once, in the final stretch before the deadline, so that what it costs is not
// carried into the click; only an instant already past has it taken at the deadline. A look
// that forbids the click stops it, and a click that was sent adds its lateness to what the screen shows.
TEST_F(ExecuteClickAtTest, TheLastLookIsTakenBeforeTheDeadlineAndCanStopTheClick) {
    constexpr auto npos = std::string::npos;
    struct Case {
        const char* name;
        int64_t aheadUs, lookCostUs;
        bool allow, lookBeforeDeadline;
    } cases[] = {
        {"with a coarse wait", 40000, 0, true, true},
        {"a slow look still ends before the deadline", 40000, 1200, true, true},
        {"a look slower than its head start: the click waits for it", 40000, 3000, true, true},
        {"spin only, begun inside the last stretch", 1500, 0, true, true},
        {"an instant already past: the look, then the click", -5000, 0, true, false},
        {"the look forbids the click", 40000, 0, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_calls = Calls{};
        g_looks = Looks{};
        g_looks.lookCostUs = c.lookCostUs;
        g_looks.allow = c.allow;
        ForgetClickLatenessForTesting();
        ForgetLearnedOversleepForTesting();
        const int downsBefore = ClickTarget::downs;
        const Instant at = Ahead(c.aheadUs);
        ClickTiming timing;
        ClickOrder order{at.executeAtMs, at.offsetUs, kTargetX, kTargetY};
        order.checks.last = CountLook;
        EXPECT_EQ(ExecuteClickAt(order, &kCounting, &timing), c.allow);
        EXPECT_EQ(g_looks.taken, 1);
        // (A spin that a loaded machine let begin only after the deadline has the look at the deadline.)
        if (c.lookBeforeDeadline && timing.spinStartNs < timing.deadlineNs) {
            EXPECT_LT(g_looks.lastAtNs, timing.deadlineNs);
            EXPECT_GE(g_looks.lastAtNs, timing.deadlineNs - kLastLookNs);
        } else {
            EXPECT_GE(g_looks.lastAtNs, timing.deadlineNs);
        }
        EXPECT_EQ(g_calls.sendInput, c.allow ? 1 : 0);
        // The look's moments are kept for the timing line (µs from the deadline), which says whether a click was sent.
        EXPECT_GE(timing.lookEndNs - timing.lookStartNs, c.lookCostUs * 1000);
        const std::string line = ClickTimingLine(timing, 1700000000123456);
        EXPECT_EQ(line.rfind("click wall_deadline_us=1700000000123456 ", 0), 0u) << line;  // what the room benchmark reads
        EXPECT_NE(line.find(" looked_us=" + std::to_string((timing.lookEndNs - timing.deadlineNs) / 1000) + " "), npos);
        EXPECT_NE(line.find(std::string(" sent=") + (c.allow ? "1\n" : "0\n")), npos) << line;
        if (c.allow) {
            EXPECT_GE(timing.sendInputNs, timing.deadlineNs);
            EXPECT_GE(timing.sentNs, timing.sendInputNs);
            EXPECT_GE(timing.doneNs, timing.sentNs);
            EXPECT_EQ(WorstRecentClickLatenessUs(), (timing.sentNs - timing.deadlineNs) / 1000);
            ASSERT_TRUE(PumpUntil([&] { return ClickTarget::downs > downsBefore; }, 3000));
        } else {
            EXPECT_EQ(timing.sentNs, 0);
            EXPECT_EQ(WorstRecentClickLatenessUs(), 0);  // no click, nothing learned
            PumpUntil([] { return false; }, 100);
            EXPECT_EQ(ClickTarget::downs, downsBefore);
        }
    }
}

// A click that could go out only later than the order's limit after the instant is not sent at all: an
// instant long past (an instruction that came late) or a wait that overran (a machine that stalled).
TEST_F(ExecuteClickAtTest, AClickLaterThanItsLimitIsNotSent) {
    const struct {
        const char* name;
        int64_t aheadUs;
        DWORD oversleepMs;  // through the fallback sleep, timers refused
        int64_t limitUs;
        bool sent;
    } cases[] = {
        {"the instant 5 s past", -5000000, 0, 50000, false},
        {"the instant 20 ms past, within the limit", -20000, 0, 50000, true},
        {"the wait overran by 200 ms", 80000, 200, 50000, false},
        {"no limit: the same overrun still clicks", 80000, 200, kNoLateLimit, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        g_calls = Calls{};
        g_calls.failTimerEx = g_calls.failTimer = true;
        g_calls.oversleepMs = c.oversleepMs;
        ClickTarget::downs = ClickTarget::ups = 0;
        const Instant at = Ahead(c.aheadUs);
        ClickOrder order{at.executeAtMs, at.offsetUs, kTargetX, kTargetY};
        order.lateLimitUs = c.limitUs;
        ClickTiming timing;
        EXPECT_EQ(ExecuteClickAt(order, &kCounting, &timing), c.sent);
        EXPECT_EQ(timing.tooLate, !c.sent);
        EXPECT_EQ(g_calls.sendInput, c.sent ? 1 : 0);
        if (!c.sent) {
            EXPECT_GT(timing.lateByNs, 50000000) << "the lateness is measured from the instant itself";
            EXPECT_EQ(timing.sentNs, 0);
            PumpUntil([] { return false; }, 100);
            EXPECT_EQ(ClickTarget::downs, 0);
        } else {
            EXPECT_TRUE(target.WaitForClick());
        }
    }
}

// The move to the point travels in the same SendInput call as the press: a pointer moved away after
// the executor placed it (the person's hand, a program that recentres the pointer) does not take the
// press elsewhere. Here the early look moves it away, right after the executor's own move.
TEST_F(ExecuteClickAtTest, APointerMovedAwayBeforeTheInstantDoesNotMoveTheClick) {
    ClickOrder order;
    const Instant at = Ahead(60000);
    order.executeAtMs = at.executeAtMs;
    order.offsetUs = at.offsetUs;
    order.x = kTargetX;
    order.y = kTargetY;
    order.checks.early = [](void*) { SetCursorPos(ClickTarget::kLeft + ClickTarget::kSize + 40, 20); };
    EXPECT_TRUE(ExecuteClickAt(order, &kCounting));
    ASSERT_TRUE(target.WaitForClick());
    EXPECT_EQ(ClickTarget::lastDown.x, kTargetX - ClickTarget::kLeft);
    EXPECT_EQ(ClickTarget::lastDown.y, kTargetY - ClickTarget::kTop);
}

// SendInput's buttons are the physical ones, which Windows swaps for a left-handed mouse: then the right
// one makes the primary click. Wine sets SM_SWAPBUTTON but swaps no injected input, so under wine the
// window sees the physical button that was sent.
TEST_F(ExecuteClickAtTest, SwappedButtonsSendTheRightButton) {
    ASSERT_FALSE(SwapMouseButton(TRUE));
    const bool swapped = RealDesktopSystem().buttonsSwapped();
    SwapMouseButton(FALSE);
    EXPECT_TRUE(swapped) << "the system's swap is read";
    EXPECT_FALSE(RealDesktopSystem().buttonsSwapped());
    for (bool swap : {true, false}) {
        ClickTarget::downs = ClickTarget::ups = ClickTarget::rightDowns = 0;
        const Instant at = Ahead(3000);
        ClickOrder order{at.executeAtMs, at.offsetUs, kTargetX, kTargetY};
        order.buttonsSwapped = swap;
        EXPECT_TRUE(ExecuteClickAt(order, &kCounting));
        ASSERT_TRUE(PumpUntil([] { return ClickTarget::downs >= 1; }, 3000)) << swap;
        EXPECT_EQ(ClickTarget::rightDowns, swap ? 1 : 0) << swap;
    }
    PumpUntil([] { return false; }, 100);
}

TEST_F(ExecuteClickAtTest, ALearnedLateWakeEndsTheCoarseWaitEarlierAndEachWaitIsLearned) {
    for (int i = 0; i < 3; ++i) LearnOversleep(40000000);
    const int64_t expectedLeadNs = CoarseLeadNs(LearnedOversleep());
    ASSERT_GT(expectedLeadNs, 40000000);
    const int64_t samplesBefore = LearnedOversleep().samples;

    const Instant at = Ahead(100000);
    ClickTiming timing;
    EXPECT_TRUE(ExecuteClickAt({at.executeAtMs, at.offsetUs, kTargetX, kTargetY}, &kCounting, &timing));
    EXPECT_EQ(timing.leadNs, expectedLeadNs);
    EXPECT_EQ(g_calls.setTimer, 1);
    EXPECT_EQ(g_calls.dueTime, -timing.coarseUs * 10);
    // The timer was set to wake the learned lead, not 30 ms, before the deadline.
    EXPECT_LE(timing.coarseUs, (100000000 - expectedLeadNs) / 1000);
    EXPECT_GE(timing.oversleepNs, 0);
    EXPECT_EQ(LearnedOversleep().samples, samplesBefore + 1);
    EXPECT_GE(timing.sendInputNs, timing.deadlineNs);
    ASSERT_TRUE(target.WaitForClick());

    // Without a coarse wait there is nothing to learn.
    const Instant soon = Ahead(2000);
    EXPECT_TRUE(ExecuteClickAt({soon.executeAtMs, soon.offsetUs, kTargetX, kTargetY}, &kCounting, &timing));
    EXPECT_EQ(timing.coarseUs, -1);
    EXPECT_EQ(timing.oversleepNs, -1);
    EXPECT_EQ(LearnedOversleep().samples, samplesBefore + 1);
    ASSERT_TRUE(target.WaitForClick());
}

TEST_F(ExecuteClickAtTest, TimerFallbacksStillClickAtOrAfterTheDeadline) {
    struct Case {
        const char* name;
        bool failTimerEx, failTimer, failSetTimer;
        int timerCalls, setTimerCalls, sleepCalls;
        bool timerUsed;
    } cases[] = {
        {"no high-resolution timer: manual-reset timer", true, false, false, 1, 1, 0, true},
        {"no timer at all: one Sleep", true, true, false, 1, 0, 1, false},
        {"timer cannot be set: spin only", false, false, true, 0, 1, 0, false},
    };
    for (const Case& c : cases) {
        g_calls = Calls{};
        g_calls.failTimerEx = c.failTimerEx;
        g_calls.failTimer = c.failTimer;
        g_calls.failSetTimer = c.failSetTimer;
        ClickTarget::downs = ClickTarget::ups = 0;
        const Instant at = Ahead(80000);
        ClickTiming timing;
        EXPECT_TRUE(ExecuteClickAt({at.executeAtMs, at.offsetUs, kTargetX, kTargetY}, &kCounting, &timing)) << c.name;
        EXPECT_EQ(g_calls.timerEx, 1) << c.name;
        EXPECT_EQ(g_calls.timer, c.timerCalls) << c.name;
        if (c.timerCalls) {
            EXPECT_TRUE(g_calls.manualReset) << c.name;
        }
        EXPECT_EQ(g_calls.setTimer, c.setTimerCalls) << c.name;
        EXPECT_EQ(g_calls.sleep, c.sleepCalls) << c.name;
        if (c.sleepCalls) {
            EXPECT_EQ(g_calls.sleptMs, static_cast<DWORD>(timing.coarseUs / 1000)) << c.name;
        }
        EXPECT_EQ(timing.timerUsed, c.timerUsed) << c.name;
        EXPECT_GE(timing.sendInputNs, timing.deadlineNs) << c.name;
        EXPECT_TRUE(target.WaitForClick()) << c.name;
    }
}

TEST_F(ExecuteClickAtTest, ThePriorityBeforeTheCallIsRestoredAlsoWhenTheClickIsRefused) {
    for (int before : {THREAD_PRIORITY_BELOW_NORMAL, THREAD_PRIORITY_NORMAL, THREAD_PRIORITY_ABOVE_NORMAL}) {
        for (bool refuse : {false, true}) {
            g_calls = Calls{};
            g_calls.refuseInput = refuse;
            ASSERT_TRUE(SetThreadPriority(GetCurrentThread(), before));
            const Instant at = Ahead(refuse ? 8000 : 2000);
            EXPECT_EQ(ExecuteClickAt({at.executeAtMs, at.offsetUs, kTargetX, kTargetY}, &kCounting), !refuse);
            EXPECT_EQ(g_calls.sendInput, 1);
            EXPECT_EQ(g_calls.priorityAtSendInput, THREAD_PRIORITY_HIGHEST);
            EXPECT_EQ(GetThreadPriority(GetCurrentThread()), before) << before << (refuse ? " refused" : "");
        }
    }
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
    PumpUntil([] { return false; }, 200);
}

TEST_F(ExecuteClickAtTest, TheRealSystemFunctionsClickOnAWorkerThread) {
    // As the task pipeline calls it: on a worker, with the default (real) functions.
    const Instant at = Ahead(25000);
    bool accepted = false;
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    struct Job {
        Instant at;
        bool* accepted;
        HANDLE done;
    } job{at, &accepted, done};
    HANDLE worker = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            auto* j = static_cast<Job*>(p);
            *j->accepted = ExecuteClickAt({j->at.executeAtMs, j->at.offsetUs, kTargetX, kTargetY});
            SetEvent(j->done);
            return 0;
        },
        &job, 0, nullptr);
    ASSERT_NE(worker, nullptr);
    EXPECT_TRUE(PumpUntil([&] { return WaitForSingleObject(done, 0) == WAIT_OBJECT_0; }, 5000));
    WaitForSingleObject(worker, INFINITE);
    CloseHandle(worker);
    CloseHandle(done);
    EXPECT_TRUE(accepted);
    ASSERT_TRUE(target.WaitForClick());
    EXPECT_EQ(ClickTarget::lastDown.x, kTargetX - ClickTarget::kLeft);
    EXPECT_EQ(ClickTarget::lastDown.y, kTargetY - ClickTarget::kTop);
}
