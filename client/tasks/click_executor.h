// The precise click executor: waits until a unified instant and injects one left click at a screen
// position. A coarse wait on a high-resolution waitable timer ends 4 ms early; a spin on the
// monotonic clock at raised thread priority covers the rest.
#pragma once

#include <windows.h>

#include <cstdint>

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

// The real system functions.
const ClickPlatform& SystemClickPlatform();

// What one call did, for measurements (all times on the monotonic clock, ns).
struct ClickTiming {
    int64_t deadlineNs = 0;      // the instant the click was due
    int64_t spinStartNs = 0;     // the monotonic clock when the busy-wait began (after the coarse wait)
    int64_t sendInputNs = 0;     // the monotonic clock right before SendInput
    int64_t coarseUs = -1;       // the coarse wait asked for; -1 when none was needed
    bool timerUsed = false;      // a waitable timer carried the coarse wait
};

// Waits until the unified time `executeAtMs` (the wall clock plus `offsetUs`), moves the pointer to
// (x, y) and sends one press and release. True when the system accepted both input records. The wall
// clock is read once at the start; a time already past clicks at once. The timer resolution request
// and the raised thread priority are undone on every path.
bool ExecuteClickAt(int64_t executeAtMs, int64_t offsetUs, int32_t x, int32_t y,
                    const ClickPlatform* platform = nullptr, ClickTiming* timing = nullptr);

// ---- the arithmetic, free of clocks and system calls --------------------------------------------

// A performance-counter reading in nanoseconds, converted as the standard library's steady clock
// does (exact for 10 MHz and 24 MHz counters, overflow-free for any frequency up to 9 GHz).
int64_t CounterToNanoseconds(int64_t counter, int64_t frequency);

// The monotonic clock now, in nanoseconds.
int64_t SteadyNowNs();

// ms × 1000, saturating at the 64-bit limits instead of overflowing.
int64_t MsToUsSaturated(int64_t ms);

// executeAtMs × 1000 − wallTicks / 10 − offsetUs (µs; negative when the instant is past).
int64_t RemainingUs(int64_t executeAtMs, int64_t wallTicks, int64_t offsetUs);

// The deadline on the monotonic clock: start + max(remaining, 0) µs, in ns (saturating).
int64_t DeadlineNs(int64_t startNs, int64_t remainingUs);

// The coarse wait in µs when more than 4 ms remain before the deadline, otherwise -1 (no coarse wait).
int64_t CoarseWaitUs(int64_t deadlineNs, int64_t nowNs);

// The relative due time of the waitable timer: −max(coarse µs × 10, 1) in 100-ns units.
int64_t TimerDueTime(int64_t coarseUs);

// The fallback sleep when no timer exists: coarse µs / 1000 ms when more than 1 ms, otherwise 0.
DWORD FallbackSleepMs(int64_t coarseUs);
