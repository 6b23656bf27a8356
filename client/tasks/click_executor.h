// The precise click executor: waits until a unified instant and injects one left click at a screen
// position. A coarse wait on a high-resolution waitable timer ends at least 30 ms early (earlier when
// the timer has been seen to wake late; only 4 ms early while spins are seen taken off the processor);
// a spin on the monotonic clock covers the rest, the thread at raised priority from before the coarse
// wait. A task clicks once, so a spin of a few tens of milliseconds is a small price for a click that a
// timer waking late cannot delay.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "core/saturating.h"  // MsToUsSaturated, used with the times below

// The system functions the executor calls for timers, waiting and input. The real ones are the
// default; test programs replace single entries to produce what the system cannot be made to do
// (a refused SendInput, timers that cannot be created).
struct ClickPlatform {
    HANDLE(WINAPI* createWaitableTimerExW)(LPSECURITY_ATTRIBUTES, LPCWSTR, DWORD, DWORD);
    HANDLE(WINAPI* createWaitableTimerW)(LPSECURITY_ATTRIBUTES, BOOL, LPCWSTR);
    BOOL(WINAPI* setWaitableTimer)(HANDLE, const LARGE_INTEGER*, LONG, PTIMERAPCROUTINE, LPVOID, BOOL);
    void(WINAPI* sleep)(DWORD);
    BOOL(WINAPI* setCursorPos)(int, int);
    UINT(WINAPI* sendInput)(UINT, LPINPUT, int);
};

// How long before the deadline the last look is taken: longer than it takes under load (a few window
// queries: a median of 0.2 ms, 1.5 ms at p99 under wine), short enough that what it saw is still there.
constexpr int64_t kLastLookNs = 2000000;

// What the caller checks on the way to the click, each with the caller's own `context`: a look when
// the pointer has been moved at the end of the coarse wait (time enough for slow queries), and the
// last look in the final stretch of the spin (kLastLookNs before the deadline, or at it when the spin
// began later), taken once so that its cost does not delay the click; FALSE and no click is sent.
struct ClickChecks {
    void* context = nullptr;
    void (*early)(void* context) = nullptr;
    BOOL (*last)(void* context) = nullptr;
};

// No limit on how late a click may go out (benchmarks and tests of the wait itself).
constexpr int64_t kNoLateLimit = INT64_MAX;

// One click: when, where, with which button, how late at most, and what to check first.
struct ClickOrder {
    int64_t executeAtMs = 0;  // the instant on the unified clock
    int64_t offsetUs = 0;     // unified minus this machine's wall clock
    int32_t x = 0;            // the point, virtual-screen pixels
    int32_t y = 0;
    // SendInput's MOUSEEVENTF_LEFTDOWN is the physical left button, which Windows turns into a
    // secondary click while the buttons are swapped (SM_SWAPBUTTON): then the right one is sent.
    bool buttonsSwapped = false;
    // A click that could go out only later than this after the instant is not sent at all (µs).
    int64_t lateLimitUs = kNoLateLimit;
    ClickChecks checks;
};

// The real system functions.
const ClickPlatform& SystemClickPlatform();

// What one call did, for measurements (all times on the monotonic clock, ns).
struct ClickTiming {
    int64_t deadlineNs = 0;      // the instant the click was due
    int64_t spinStartNs = 0;     // the monotonic clock when the busy-wait began (after the coarse wait)
    int64_t sendInputNs = 0;     // the monotonic clock right before SendInput
    int64_t sentNs = 0;          // and right after it returned (0 when no click was sent)
    int64_t doneNs = 0;          // when the click was done: sent, and the partner thread ended
    int64_t lookStartNs = 0;     // the last look at the window under the pointer began
    int64_t lookEndNs = 0;       // and ended (both 0 when none was taken)
    int64_t coarseUs = -1;       // the coarse wait asked for; -1 when none was needed
    int64_t leadNs = 0;          // how long before the deadline the coarse wait was meant to end
    int64_t oversleepNs = -1;    // how long after the coarse wait was due to end the spin began; -1 when
                                 // there was no coarse wait
    bool timerUsed = false;      // a waitable timer carried the coarse wait
    bool partnerSpun = false;    // a second thread spun beside this one
    bool partnerSent = false;    // and it was the one that saw the deadline first and sent the click
    bool tooLate = false;        // not sent: the deadline had passed by more than the order's limit
    int64_t lateByNs = 0;        // and how long after the instant (not the clamped deadline) that was
};

// Waits until the order's instant (the wall clock plus its offset), then sends, in one SendInput call,
// one press and release at the order's point, each record carrying its absolute move: input given to
// one call is not interleaved with other input (SendInput's documentation), so a pointer moved meanwhile
// by the person or another program cannot take the press elsewhere. The pointer is also moved to the point at
// the end of the coarse wait, so that the target sees it arrive as the person would move it. On a
// machine with more than one processor a partner thread spins beside the caller through the final
// stretch, and whichever of the two sees the deadline first sends the click: the scheduler now and then
// takes a spinning thread off its processor for a whole time slice, and two spinners are seldom both off
// at the deadline. True when the system accepted every input record. The wall clock is read once at
// the start; a time already past clicks at once, unless it is past by more than the order's late limit.
// The timer resolution request and the raised thread priority are undone on every path. Each coarse
// wait's overrun is learned (see LearnedOversleep); the learning is shared by every thread of the process.
bool ExecuteClickAt(const ClickOrder& order, const ClickPlatform* platform = nullptr, ClickTiming* timing = nullptr);

// The input records of one click: the primary button's press and its release, each carrying the
// absolute move over the whole virtual desktop to (x, y), so that the press is made where it moved to
// even where input from elsewhere could come between two records (wine queues them one by one).
// `desktop` is the virtual screen (SM_XVIRTUALSCREEN…).
struct ClickInputs {
    INPUT records[2] = {};
};
ClickInputs BuildClickInputs(int32_t x, int32_t y, const RECT& desktop, bool buttonsSwapped);

// A virtual-screen coordinate as SendInput's absolute scale (0…65535 over the desktop's extent), chosen
// so that Windows' mapping back (normalised × extent / 65536) lands on exactly that pixel.
LONG NormalisedCoordinate(int32_t pixel, int32_t origin, int32_t extent);

// One line of a click's figures for whoever studies the program's timing: `wallAtDeadlineUs` is this
// machine's wall clock (µs since 1970) at the deadline; every other figure is µs from the deadline
// (negative: before it). Read by the room benchmark, which compares them with the host's clock.
std::string ClickTimingLine(const ClickTiming& timing, int64_t wallAtDeadlineUs);

// What the click itself adds to the uncertainty a person is shown beside the clock's: at least the
// executor's aim on an idle machine (SendInput returned within 1 ms of the deadline) with the press's way
// into the target program (0.3–0.5 ms under wine as a rule), and more when this program's recent clicks
// were later than that. The alignment bounds only where the unified clock lies; a click sent this much
// after its deadline is still within what the screen promised.
constexpr int64_t kClickLatenessAllowanceUs = 1000;

// The uncertainty shown for a click, in whole ms: the clock's (already rounded up) plus the click's own
// lateness — `clickLatenessUs`, never less than the allowance — rounded up; saturating.
int64_t ShownClickUncertaintyMs(int64_t clockUncertaintyMs, int64_t clickLatenessUs);

// The lateness of this program's last clicks (SendInput returned minus the deadline, µs), a window of the
// most recent ones; the worst of them is what the screen adds for the click. What follows SendInput's
// return (the partner thread ending) does not move the press, and under wine a thread's end now and then
// takes a few milliseconds, which would widen the figure for nothing.
struct RecentLateness {
    static constexpr int kKept = 16;
    int64_t us[kKept] = {};
    int count = 0;  // how many are kept (up to kKept)
    int next = 0;   // where the next one goes
};
RecentLateness NextRecentLateness(const RecentLateness& recent, int64_t latenessUs);
int64_t WorstLatenessUs(const RecentLateness& recent);  // 0 when none is kept

// Process-wide: every click sent adds its lateness (ExecuteClickAt does); the worst recent one.
int64_t WorstRecentClickLatenessUs();
void ForgetClickLatenessForTesting();

// ---- the arithmetic, free of clocks and system calls --------------------------------------------

// A performance-counter reading in nanoseconds, converted as the standard library's steady clock
// does (exact for 10 MHz and 24 MHz counters, overflow-free for any frequency up to 9 GHz).
int64_t CounterToNanoseconds(int64_t counter, int64_t frequency);

// The monotonic clock now, in nanoseconds.
int64_t SteadyNowNs();

// executeAtMs × 1000 − wallTicks / 10 − offsetUs (µs; negative when the instant is past).
int64_t RemainingUs(int64_t executeAtMs, int64_t wallTicks, int64_t offsetUs);

// The deadline on the monotonic clock: start + max(remaining, 0) µs, in ns (saturating).
int64_t DeadlineNs(int64_t startNs, int64_t remainingUs);

// The shortest lead of the coarse wait, and the longest. A timer under load has been seen to wake
// 26 ms late, and a wake that late is not announced by the wakes before it, so every coarse wait ends
// 30 ms early; the spin after it burns CPU for about the lead, so the lead never passes 50 ms however
// late the timer has woken.
constexpr int64_t kMinCoarseLeadNs = 30000000;
constexpr int64_t kMaxCoarseLeadNs = 50000000;
// Where other programs keep the processors busy, a spin that long is taken off its processor more often
// than not (under wine, whose threads all run at one priority, 55% of 30 ms spins against 23% of 4 ms ones
// on a loaded machine), while a thread that has slept is run again at once: there the coarse wait ends
// only this much before the deadline. The rule comes from wine alone. Where thread priorities take effect
// (Windows), a woken thread is queued behind the ready threads of its priority and a raised spinner is
// seldom pre-empted, the opposite case; until the rule has been measured there, it applies only where
// priorities are ignored.
constexpr int64_t kBusyMachineLeadNs = 4000000;

// Whether this process runs where thread priorities are ignored (wine, which exports wine_get_version
// from ntdll), the only place the busy-machine rule was measured.
bool ThreadPrioritiesIgnored();

// The coarse wait in µs when more than `leadNs` remain before the deadline, otherwise -1 (no coarse
// wait).
int64_t CoarseWaitUs(int64_t deadlineNs, int64_t nowNs, int64_t leadNs = kMinCoarseLeadNs);

// The relative due time of the waitable timer: −max(coarse µs × 10, 1) in 100-ns units.
int64_t TimerDueTime(int64_t coarseUs);

// The fallback sleep when no timer exists: coarse µs / 1000 ms when more than 1 ms, otherwise 0.
DWORD FallbackSleepMs(int64_t coarseUs);

// ---- how far the coarse wait overruns, and the lead learned from it ------------------------------

// A timer wakes a thread some time after it was due, usually well under a millisecond, on a busy
// machine now and then several milliseconds; moving the pointer and raising the priority take a little
// more before the spin begins. A click is late by whatever this overrun exceeds the lead. The overrun
// is smoothed as a round-trip time is: a mean and a mean deviation.
//
// A longer lead is a longer spin, and where other programs keep the processor busy a spin is now and
// then taken off it for a whole time slice however high its priority was asked to be (wine does not
// pass thread priorities on). So the share of recent spins that ran past the deadline is kept too, and
// while it is high the lead stays at its shortest.
struct OversleepEstimate {
    int64_t meanNs = 0;
    int64_t deviationNs = 0;
    int64_t samples = 0;
    int64_t preemptedSpinsPermille = 0;  // smoothed share of spins kept off the processor, in ‰
};

// A wake later than this (a suspended or stalled machine) is learned as this much, so that one such
// wake raises the lead to its limit for a few clicks instead of for hundreds.
constexpr int64_t kOversleepSampleCapNs = 60000000;
// A spin that began before the deadline and let it pass by more than this was off the processor.
constexpr int64_t kPreemptedSpinNs = 200000;
// From this share of such spins on, the lead is not lengthened.
constexpr int64_t kBusyMachinePermille = 50;

// How late a spinner that saw the deadline at `nowNs` saw it, as far as being off the processor goes:
// when its own last look (`tookLook`) ran past the deadline, it was busy, and only what came after the
// look counts.
int64_t SeenLateNs(bool tookLook, int64_t lookEndNs, int64_t deadlineNs, int64_t nowNs);

// The estimate after one more coarse wait whose spin began `oversleepNs` after the wait was due to
// end (an early wake counts as on time) and called SendInput `spinOvershootNs` after the deadline
// (-1: the spin began after the deadline, so it tells nothing about preemption).
OversleepEstimate NextOversleepEstimate(const OversleepEstimate& estimate, int64_t oversleepNs,
                                        int64_t spinOvershootNs = 0);

// The lead for the next coarse wait: mean + 4 deviations + 1 ms, kept within
// [kMinCoarseLeadNs, kMaxCoarseLeadNs]; the shortest without samples; kBusyMachineLeadNs while spins
// are cut short, where `busyRuleApplies` (ThreadPrioritiesIgnored()).
int64_t CoarseLeadNs(const OversleepEstimate& estimate, bool busyRuleApplies = true);

// What this process has learned so far, and one more click to learn from. Safe from any thread.
OversleepEstimate LearnedOversleep();
void LearnOversleep(int64_t oversleepNs, int64_t spinOvershootNs = 0);
// Test and benchmark programs start from nothing learned.
void ForgetLearnedOversleepForTesting();
