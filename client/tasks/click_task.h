// The click task: align the unified time, claim the signed instruction (polling until the service
// releases it), verify it, re-align shortly before the instant, click, and report the outcome and the
// measured timing error. One task at a time (`taskBusy`); every step shows in the status lines.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "target/target_identity.h"
#include "tasks/click_task_context.h"
#include "tasks/signed_instruction.h"  // ClaimAnswer

// Starts the click task of a request that holds the slot. Only now, with the task admitted, does the
// countdown show the scheduled instant (when the answer named one, `executeAtMs` > 0). `sentWith` is
// the session and target the request was sent with: the service's instruction names those, so the
// task claims, checks and clicks them even when the user picked again or signed in anew meanwhile.
void StartReservedClickTask(int64_t taskId, int64_t executeAtMs, ClickTaskContext sentWith);

// The worker body; runs the task to one of its endings, clears `taskBusy` and frees the context.
void RunClickTask(std::unique_ptr<ClickTaskContext> context);

// Ends the task without a click: `taskBusy` cleared, the badge's outcome set, countdown cleared,
// then the two status lines; the main window hears MSG_TASK_ENDED.
void FailTask(std::wstring status, std::wstring detail);

// How long the badge shows a task's outcome after it ended.
inline constexpr int64_t kOutcomeShownUs = 10000000;

// The outcome in a few words for the badge: the click and its error, or that none was made.
std::wstring OutcomeBadgeText(bool clicked, int64_t errorMs);

// ---- the arithmetic and the wire texts, free of clocks, windows and the network --------------------

// {"task_id":42,"client_platform":"windows"}
std::string BuildClaimBody(int64_t taskId);

// What a report adds for the room's result, after the fixed members: the uncertainty the screen
// showed (whole ms; left out when negative) and whether the machine did not click because it would
// have been late.
struct ReportExtras {
    int64_t shownUncertaintyMs = -1;
    bool missedInstant = false;
};

// The task.consume body, members in their fixed order (nonce escaped), then the extras. A click not
// made may name its own reason (`failedDetail`); the default is that Windows did not take it.
std::string BuildConsumeBody(int64_t taskId, const std::string& nonce, int64_t clientErrorMs, bool accepted,
                             const std::wstring& failedDetail = L"", const ReportExtras& extras = {});

// Why a click was not sent although the instruction was good.
enum class ClickRefusal {
    None,
    NotTheTarget,    // the window at the point was not the chosen program's
    Unreachable,     // the chosen program runs at a higher integrity level, or its level is unreadable
    DesktopNotOurs,  // the lock screen or a secure desktop took the input at the instant
};
inline constexpr wchar_t kNotTheTargetStatus[] = L"本机没有点击：点击位置上不是所选程序";
inline constexpr wchar_t kUnreachableStatus[] = L"本机没有点击：Windows 不允许点击所选程序";
inline constexpr wchar_t kDesktopNotOursStatus[] = L"本机没有点击：屏幕已锁定或正在显示系统安全界面";
inline constexpr wchar_t kDesktopNotOursDetail[] =
    L"点击时 Windows 正在显示锁屏、用户账户控制或安全选项界面，输入到达不了所选程序；请在等待期间保持屏幕解锁";
inline constexpr wchar_t kMissedInstantStatus[] = L"本机没有点击：错过了约定时刻";

// A click later than this after its instant, on the task's own aligned clock, is not sent (µs). Fifty
// milliseconds is well past anything a working wait produces (a few ms at worst under load) and short of
// what a person sees as "not together". The alignment's own uncertainty does not widen it: the machines
// of a room share the clock they align to, so it does not excuse a click that is late against that clock
// (the local service's clock is shown as ±16 s, and a click 5 s late would pass such a bound).
inline constexpr int64_t kLateLimitUs = 50000;

// Why a click was not sent: the instruction came after the instant, or the wait itself ran late (a
// machine that slept or stalled); `lateByMs` past the instant, `limitMs` the limit.
std::wstring MissedInstantDetail(int64_t lateByMs, int64_t limitMs, bool instructionLate);
// Why: this program's own window, or another program (named by its file when it can be asked).
std::wstring NotTheTargetDetail(PointOwnerVerdict verdict, const std::wstring& ownerPath);

// While a room waits with fewer machines than it was made for: what the detail line says (empty when
// it is full, or not a room).
std::wstring RoomNotFullText(int64_t capacity, int64_t joined);
// Two detail texts as one line ("；" between them when both say something).
std::wstring JoinedDetail(const std::wstring& first, const std::wstring& second);

// How long to wait before the next claim: aimed at retryAtMs (unified), clamped to 300…3000 ms.
uint32_t ClaimWaitMs(int64_t retryAtMs, int64_t wallClockUs, int64_t offsetUs);

// True when an instruction that is still not released can no longer be of use: the unified time is
// more than 60 s past the scheduled instant (known only when positive).
bool ClaimGracePassed(int64_t executeAtMs, int64_t unifiedNowUs);

// A re-alignment before the click must be over this long before the instant (µs), so that the
// executor still has time for its coarse wait and its spin.
constexpr int64_t kRealignSafetyMarginUs = 1000000;

// The monotonic moment by which a re-alignment started at `nowMonotonicUs`, with `remainingUs` left
// until the click, must be over: the remaining time less the safety margin (saturating).
int64_t RealignDeadlineUs(int64_t nowMonotonicUs, int64_t remainingUs);

// One step of the coarse wait before the last re-alignment: (remaining − 10 s) in ms, clamped to
// 50…1000.
uint32_t CoarseSleepStepMs(int64_t remainingUs);

// The wall clock and the monotonic clock read together (µs).
struct ClockReading {
    int64_t wallUs = 0;
    int64_t monotonicUs = 0;
};
ClockReading ReadClocks();

// How far the wall clock was set (stepped) between two readings: what it moved beyond the monotonic
// clock (µs; positive when set forward).
int64_t WallClockStepUs(const ClockReading& before, const ClockReading& now);

// From this much on, a difference is a step of the clock, not the two clocks' drift: between two
// polls (at most a few seconds apart) a slewed clock gains or loses well under a millisecond.
inline constexpr int64_t kClockStepUs = 50000;
bool IsClockStep(int64_t stepUs);

// An offset in µs as whole ms, halves away from zero.
int64_t OffsetUsToMs(int64_t offsetUs);

// The measured timing error in ms, rounded to nearest with halves away from zero; positive = late.
int64_t TimingErrorMs(int64_t wallClockUs, int64_t offsetUs, int64_t executeAtMs);

// The final status line of a click the system accepted, and of one it refused: a room's click and
// the synchronisation test each in their own words.
std::wstring ClickDoneStatus(int64_t errorMs, bool roomTask = false);
std::wstring ClickRefusedStatus(bool roomTask = false);
