// What Windows decides about a click that the program cannot see in SendInput's answer: whether the
// target runs at a higher integrity level, whether the desktop receives input at all, whether the
// buttons are swapped, whether the machine may sleep. One small table of functions: the program uses the
// real one; a test hands in its own to show what wine cannot (wine has no integrity levels, no secure
// desktop, no power management).
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

struct DesktopSystem {
    // OpenProcessToken + GetTokenInformation(TokenIntegrityLevel): the process's mandatory integrity RID
    // (SECURITY_MANDATORY_*_RID); false when it cannot be read.
    bool (*processIntegrity)(DWORD processId, DWORD& rid);
    // The same for this program's own process.
    bool (*ownIntegrity)(DWORD& rid);
    // OpenInputDesktop fails, and GetCursorPos fails, while another desktop receives input (the lock
    // screen, a UAC prompt, Ctrl+Alt+Del): input sent then goes nowhere. True when it is this program's.
    bool (*inputDesktopIsOurs)();
    // GetSystemMetrics(SM_SWAPBUTTON): nonzero when the meanings of the left and right buttons are swapped.
    bool (*buttonsSwapped)();
    // SetThreadExecutionState: ES_CONTINUOUS|ES_SYSTEM_REQUIRED|ES_DISPLAY_REQUIRED keeps the machine and
    // the display from idling into sleep until ES_CONTINUOUS alone is set again; 0 on failure.
    EXECUTION_STATE(WINAPI* setExecutionState)(EXECUTION_STATE);
    // SystemParametersInfo(SPI_GETSCREENSAVEACTIVE / SPI_GETSCREENSAVETIMEOUT): the screen saver's idle
    // time in seconds, 0 when it is off or cannot be read.
    int (*screenSaverSeconds)();
    // SetProcessInformation(ProcessPowerThrottling): Windows 11 may run a process without a visible window
    // at low power and ignore its timer-resolution request; `throttled` false opts out of both (execution
    // speed, timer resolution), true hands the decision back to the system. False when refused.
    bool (*setPowerThrottling)(bool throttled);
};

// The real functions.
const DesktopSystem& RealDesktopSystem();

// The table in use: the real one unless a test program handed in its own.
const DesktopSystem& CurrentDesktopSystem();
void SetDesktopSystemForTesting(const DesktopSystem* system);  // null: the real one again

// Keeps the machine and its display awake, and this process out of power throttling, while it lives (a
// task waits for its instant); restored on every path. The thread that made it must be the one that ends
// it: the execution state belongs to a thread.
class KeepAwake {
public:
    explicit KeepAwake(const DesktopSystem& system);
    ~KeepAwake();
    KeepAwake(const KeepAwake&) = delete;
    KeepAwake& operator=(const KeepAwake&) = delete;
    bool Held() const { return held_; }
    bool Unthrottled() const { return unthrottled_; }  // out of power throttling while it lives

private:
    const DesktopSystem& system_;
    bool held_ = false;
    bool unthrottled_ = false;
};

// ---- the rules, free of system calls ------------------------------------------------------------

// Whether a click can reach a program at `targetRid` from this program at `ownRid`. Windows drops input
// sent to a window of a process at a higher integrity level (User Interface Privilege Isolation)
// without a word to the sender: SendInput still reports it inserted.
enum class Reach {
    Reachable,
    Elevated,     // the target runs above this program (for example "as administrator")
    Unreadable,   // its level could not be read: it may be elevated or protected
};
Reach JudgeReach(bool targetKnown, DWORD targetRid, bool ownKnown, DWORD ownRid);
// The same for a running process, read through `system`.
Reach ReachOfProcess(const DesktopSystem& system, DWORD processId);

// What the person is told when the pick is refused, and what a task reports when the target was
// elevated or unreadable at the click.
std::wstring ReachRefusalText(Reach reach);
std::wstring ReachNotClickedDetail(Reach reach);

// A warning before a task whose instant lies beyond the screen saver's idle time (0: none); empty when
// the screen saver is off or comes after the instant. The waiting machine is kept awake, but
// SetThreadExecutionState does not hold off the screen saver, whose window (or lock) would take the click.
std::wstring ScreenSaverWarning(int screenSaverSeconds, int64_t secondsUntilInstant);
