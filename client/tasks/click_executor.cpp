#include "tasks/click_executor.h"

#include <mmsystem.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "core/clock.h"
#include "core/holders.h"
#include "core/saturating.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace {

// Above the expected lateness, the coarse wait keeps this much in hand for the wake-ups the estimate
// has not seen coming.
constexpr int64_t kLeadMarginNs = 1000000;

int64_t CounterFrequency() {
    static const int64_t frequency = [] {
        LARGE_INTEGER value;
        QueryPerformanceFrequency(&value);
        return static_cast<int64_t>(value.QuadPart);
    }();
    return frequency;
}

// The overrun learned from this process's coarse waits. Clicks may run on several workers at once, so
// it is read and updated under its own lock, which is never held across a wait.
struct LearnedOverrun {
    std::mutex lock;
    OversleepEstimate estimate;
    RecentLateness lateness;
};

LearnedOverrun& TheLearnedOverrun() {
    // A click worker may still be learning while the process ends: never destroyed.
    static LearnedOverrun* const learned = new LearnedOverrun;
    return *learned;
}

int ProcessorCount() {
    static const int count = [] {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        return static_cast<int>(info.dwNumberOfProcessors);
    }();
    return count;
}

// The click, sent exactly once by whichever spinner sees the deadline first.
struct SharedClick {
    const ClickPlatform* system = nullptr;
    const ClickChecks* checks = nullptr;
    int64_t deadlineNs = 0;
    int64_t instantNs = 0;             // the instant itself, also when it was past at the start
    int64_t latestNs = 0;              // a click that would go out after this is not sent
    ClickInputs inputs;
    std::atomic<bool> claimed{false};  // a spinner has taken the click
    std::atomic<bool> sent{false};     // and SendInput has returned
    std::atomic<bool> stop{false};     // the caller is done: the partner ends its spin
    std::atomic<int> look{kNoLook};    // the last look: not taken, under way, or done
    bool lookAllows = true;            // what it found, written before `look` says done
    int64_t lookStartNs = 0, lookEndNs = 0;
    int64_t claimedNs = 0;             // when the claimant saw the deadline (written before `sent`)
    int64_t sendInputNs = 0;           // written by the claimant before `sent`
    int64_t sentNs = 0;
    UINT inserted = 0;
    bool byPartner = false;
    bool tooLate = false;
    int64_t lateByNs = 0;

    static constexpr int kNoLook = 0, kLooking = 1, kLooked = 2;

    // Whichever spinner comes first takes the last look; the other goes on spinning. True for the one
    // that took it.
    bool TakeLastLook() {
        int expected = kNoLook;
        if (!checks->last || !look.compare_exchange_strong(expected, kLooking)) return false;
        lookStartNs = SteadyNowNs();
        lookAllows = checks->last(checks->context) != FALSE;
        lookEndNs = SteadyNowNs();
        look.store(kLooked);
        return true;
    }

    // Spins until the deadline, or until the other spinner has claimed the click; true when this one
    // sent it (or found at the deadline that the last look forbids it).
    bool SpinAndSend(bool partner) {
        int64_t now = SteadyNowNs();
        bool looked = false;
        while (now < deadlineNs) {
            if (claimed.load(std::memory_order_relaxed) || stop.load(std::memory_order_relaxed)) return false;
            if (deadlineNs - now <= kLastLookNs && look.load(std::memory_order_relaxed) == kNoLook)
                looked = TakeLastLook();
            YieldProcessor();
            now = SteadyNowNs();
        }
        if (claimed.exchange(true)) return false;
        // When this spinner's own look ran past the deadline, it was busy, not off the processor: only
        // what came after the look counts as seen late.
        claimedNs = deadlineNs + SeenLateNs(looked, lookEndNs, deadlineNs, now);
        // No look yet (the spin began inside the last stretch): now. One under way on the other
        // spinner: its verdict is waited for.
        TakeLastLook();
        while (look.load() == kLooking) YieldProcessor();
        byPartner = partner;
        sendInputNs = SteadyNowNs();
        // Later than the limit (the machine slept, or the instruction came after its instant) the click
        // would no longer be together with the others: none is better than one seconds off.
        if (sendInputNs > latestNs) {
            tooLate = true;
            lateByNs = sendInputNs - instantNs;
        } else if (lookAllows) {
            inserted = system->sendInput(2, inputs.records, static_cast<int>(sizeof(INPUT)));
            sentNs = SteadyNowNs();
        }
        sent.store(true);
        return true;
    }
};

// The second spinner: started before the coarse wait and parked on an event until the caller's coarse
// wait ends, then it spins as the caller does. Ended and joined on every path.
class PartnerSpinner {
public:
    explicit PartnerSpinner(SharedClick& click) : click_(click), go_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        if (!go_.get() || ProcessorCount() < 2) return;
        try {
            thread_ = std::thread([this] {
                // Raised before the wait, as the caller's: see ExecuteClickAt.
                ThreadPriority priority(THREAD_PRIORITY_HIGHEST);
                // This thread's side of the window system is set up now (see ExecuteClickAt), not by
                // the last look or SendInput in the final milliseconds, should this thread make them.
                VkKeyScanW(L' ');
                WaitForSingleObject(go_.get(), INFINITE);
                if (click_.stop.load()) return;
                click_.SpinAndSend(true);
            });
        } catch (const std::system_error&) {
            // No second thread: the caller spins alone.
        }
    }
    ~PartnerSpinner() {
        click_.stop = true;
        if (go_.get()) SetEvent(go_.get());
        if (thread_.joinable()) thread_.join();
    }
    PartnerSpinner(const PartnerSpinner&) = delete;
    PartnerSpinner& operator=(const PartnerSpinner&) = delete;

    bool Running() const { return thread_.joinable(); }
    void Go() {
        if (go_.get()) SetEvent(go_.get());
    }

private:
    SharedClick& click_;
    ScopedHandle go_;
    std::thread thread_;
};

}  // namespace

int64_t SeenLateNs(bool tookLook, int64_t lookEndNs, int64_t deadlineNs, int64_t nowNs) {
    if (tookLook && lookEndNs > deadlineNs) return nowNs - lookEndNs;
    return nowNs - deadlineNs;
}

LONG NormalisedCoordinate(int32_t pixel, int32_t origin, int32_t extent) {
    if (extent <= 0) return 0;
    const int64_t from = std::clamp<int64_t>(int64_t{pixel} - origin, 0, extent - 1);
    // Windows takes the pixel back as normalised × extent / 65536, rounded down: the smallest value that
    // reaches `from` does, for any extent under 65536.
    return static_cast<LONG>(std::min<int64_t>((from * 65536 + extent - 1) / extent, 65535));
}

ClickInputs BuildClickInputs(int32_t x, int32_t y, const RECT& desktop, bool buttonsSwapped) {
    ClickInputs click;
    const DWORD move = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_VIRTUALDESK;
    const DWORD buttons[2] = {static_cast<DWORD>(buttonsSwapped ? MOUSEEVENTF_RIGHTDOWN : MOUSEEVENTF_LEFTDOWN),
                              static_cast<DWORD>(buttonsSwapped ? MOUSEEVENTF_RIGHTUP : MOUSEEVENTF_LEFTUP)};
    for (int i = 0; i < 2; ++i) {
        INPUT& record = click.records[i];
        record.type = INPUT_MOUSE;
        record.mi.dx = NormalisedCoordinate(x, desktop.left, desktop.right - desktop.left);
        record.mi.dy = NormalisedCoordinate(y, desktop.top, desktop.bottom - desktop.top);
        record.mi.dwFlags = move | buttons[i];
    }
    return click;
}

const ClickPlatform& SystemClickPlatform() {
    static const ClickPlatform platform{CreateWaitableTimerExW, CreateWaitableTimerW, SetWaitableTimer,
                                        Sleep,                  SetCursorPos,         SendInput};
    return platform;
}

RecentLateness NextRecentLateness(const RecentLateness& recent, int64_t latenessUs) {
    RecentLateness next = recent;
    next.us[next.next] = std::max<int64_t>(latenessUs, 0);
    next.next = (next.next + 1) % RecentLateness::kKept;
    next.count = std::min(next.count + 1, RecentLateness::kKept);
    return next;
}

int64_t WorstLatenessUs(const RecentLateness& recent) {
    int64_t worst = 0;
    for (int i = 0; i < recent.count; ++i) worst = std::max(worst, recent.us[i]);
    return worst;
}

int64_t WorstRecentClickLatenessUs() {
    LearnedOverrun& learned = TheLearnedOverrun();
    std::lock_guard<std::mutex> guard(learned.lock);
    return WorstLatenessUs(learned.lateness);
}

void ForgetClickLatenessForTesting() {
    LearnedOverrun& learned = TheLearnedOverrun();
    std::lock_guard<std::mutex> guard(learned.lock);
    learned.lateness = RecentLateness{};
}

int64_t CounterToNanoseconds(int64_t counter, int64_t frequency) {
    constexpr int64_t kNanosecondsPerSecond = 1000000000;
    if (frequency == 10000000) return counter * 100;
    if (frequency == 24000000)
        return (counter % 24000000) * kNanosecondsPerSecond / 24000000 + (counter / 24000000) * kNanosecondsPerSecond;
    if (frequency <= 0) return 0;
    return (counter / frequency) * kNanosecondsPerSecond + (counter % frequency) * kNanosecondsPerSecond / frequency;
}

int64_t SteadyNowNs() {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return CounterToNanoseconds(counter.QuadPart, CounterFrequency());
}

int64_t ShownClickUncertaintyMs(int64_t clockUncertaintyMs, int64_t clickLatenessUs) {
    const int64_t latenessUs = std::max(clickLatenessUs, kClickLatenessAllowanceUs);
    return SaturatingAdd(std::max<int64_t>(clockUncertaintyMs, 0), SaturatingAdd(latenessUs, 999) / 1000);
}

int64_t RemainingUs(int64_t executeAtMs, int64_t wallTicks, int64_t offsetUs) {
    return SaturatingAdd(SaturatingAdd(MsToUsSaturated(executeAtMs), -(wallTicks / 10)),
                         offsetUs == std::numeric_limits<int64_t>::min() ? std::numeric_limits<int64_t>::max()
                                                                          : -offsetUs);
}

int64_t DeadlineNs(int64_t startNs, int64_t remainingUs) {
    return SaturatingAdd(startNs, SaturatingMultiply(std::max<int64_t>(remainingUs, 0), 1000));
}

int64_t CoarseWaitUs(int64_t deadlineNs, int64_t nowNs, int64_t leadNs) {
    if (nowNs >= deadlineNs - leadNs) return -1;
    return (deadlineNs - nowNs - leadNs) / 1000;
}

int64_t TimerDueTime(int64_t coarseUs) { return -std::max<int64_t>(SaturatingMultiply(coarseUs, 10), 1); }

DWORD FallbackSleepMs(int64_t coarseUs) {
    if (coarseUs <= 1000) return 0;
    return static_cast<DWORD>(std::min<int64_t>(coarseUs / 1000, INFINITE - 1));
}

OversleepEstimate NextOversleepEstimate(const OversleepEstimate& estimate, int64_t oversleepNs,
                                        int64_t spinOvershootNs) {
    const int64_t sample = std::clamp<int64_t>(oversleepNs, 0, kOversleepSampleCapNs);
    OversleepEstimate next = estimate;
    next.samples = estimate.samples + 1;
    if (spinOvershootNs >= 0) {
        const int64_t preempted = spinOvershootNs > kPreemptedSpinNs ? 1000 : 0;
        next.preemptedSpinsPermille += (preempted - estimate.preemptedSpinsPermille) / 8;
    }
    if (estimate.samples == 0) {
        next.meanNs = sample;
        next.deviationNs = sample / 2;
        return next;
    }
    // The deviation moves by a quarter and the mean by an eighth of the new error, the deviation
    // measured against the mean before this sample: one late wake widens the lead at once, and it
    // narrows again over the next few on-time wakes.
    const int64_t error = sample - estimate.meanNs;
    next.deviationNs = estimate.deviationNs + (std::llabs(error) - estimate.deviationNs) / 4;
    next.meanNs = estimate.meanNs + error / 8;
    return next;
}

bool ThreadPrioritiesIgnored() {
    static const bool ignored = [] {
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
    }();
    return ignored;
}

int64_t CoarseLeadNs(const OversleepEstimate& estimate, bool busyRuleApplies) {
    if (busyRuleApplies && estimate.samples > 0 && estimate.preemptedSpinsPermille >= kBusyMachinePermille)
        return kBusyMachineLeadNs;
    if (estimate.samples == 0) return kMinCoarseLeadNs;
    const int64_t expected = estimate.meanNs + 4 * estimate.deviationNs + kLeadMarginNs;
    return std::clamp(expected, kMinCoarseLeadNs, kMaxCoarseLeadNs);
}

OversleepEstimate LearnedOversleep() {
    LearnedOverrun& learned = TheLearnedOverrun();
    std::lock_guard<std::mutex> guard(learned.lock);
    return learned.estimate;
}

void LearnOversleep(int64_t oversleepNs, int64_t spinOvershootNs) {
    LearnedOverrun& learned = TheLearnedOverrun();
    std::lock_guard<std::mutex> guard(learned.lock);
    learned.estimate = NextOversleepEstimate(learned.estimate, oversleepNs, spinOvershootNs);
}

void ForgetLearnedOversleepForTesting() {
    LearnedOverrun& learned = TheLearnedOverrun();
    std::lock_guard<std::mutex> guard(learned.lock);
    learned.estimate = OversleepEstimate{};
}

bool ExecuteClickAt(const ClickOrder& order, const ClickPlatform* platform, ClickTiming* timing) {
    const ClickPlatform& system = platform ? *platform : SystemClickPlatform();
    ClickTiming local;
    ClickTiming& record = timing ? *timing : local;
    record = ClickTiming{};

    // The wall clock is read once; from here on only the monotonic clock counts, so a change of the
    // system time during the wait does not move the click.
    const int64_t wallTicks = WallClockTicks();
    const int64_t startNs = SteadyNowNs();
    TimerPeriod resolution;
    const int64_t remainingUs = RemainingUs(order.executeAtMs, wallTicks, order.offsetUs);
    const int64_t deadlineNs = DeadlineNs(startNs, remainingUs);
    record.deadlineNs = deadlineNs;
    // The limit counts from the instant itself, also when it was already past at the start.
    const int64_t instantNs = SaturatingAdd(startNs, SaturatingMultiply(remainingUs, 1000));
    const int64_t latestNs = SaturatingAdd(instantNs, SaturatingMultiply(std::max<int64_t>(order.lateLimitUs, 0), 1000));

    // The first window-system call on a thread sets up the thread's side of it, which under wine opens
    // a display connection and takes milliseconds. A query without effect does that now, so that the
    // pointer move between the coarse wait and the spin is quick also on a fresh worker.
    VkKeyScanW(L' ');

    // The coarse wait ends early by what it has lately overrun, at least 30 ms: an overrun beyond the
    // lead makes the click late, while every microsecond of lead is spun at full CPU.
    const int64_t leadNs = CoarseLeadNs(LearnedOversleep(), ThreadPrioritiesIgnored());
    record.leadNs = leadNs;
    // Raised before the coarse wait, not after it: Windows runs a woken thread behind the ready threads
    // of its own priority (the foreground program's among them), so a thread that wakes at normal
    // priority on a busy machine may wait a time slice or more before it runs (SetThreadPriority:
    // "the system schedules threads in a round-robin fashion at each priority level"). Wine runs every
    // thread at one priority, so only Windows tells the difference.
    ThreadPriority priority(THREAD_PRIORITY_HIGHEST);
    SharedClick click;
    click.system = &system;
    click.checks = &order.checks;
    click.deadlineNs = deadlineNs;
    click.instantNs = instantNs;
    click.latestNs = latestNs;
    std::optional<PartnerSpinner> partner;
    // The partner starts while there is time (its start takes a little of the coarse wait, not of the
    // spin); without a coarse wait the caller spins alone.
    if (CoarseWaitUs(deadlineNs, SteadyNowNs(), leadNs) >= 0) partner.emplace(click);
    // The input records, before the coarse wait so that their cost falls into it: the desktop's extent
    // is a window-system query, which under wine goes to its server. (The partner reads them only after
    // the coarse wait.)
    const RECT desktop{GetSystemMetrics(SM_XVIRTUALSCREEN), GetSystemMetrics(SM_YVIRTUALSCREEN),
                       GetSystemMetrics(SM_XVIRTUALSCREEN) + GetSystemMetrics(SM_CXVIRTUALSCREEN),
                       GetSystemMetrics(SM_YVIRTUALSCREEN) + GetSystemMetrics(SM_CYVIRTUALSCREEN)};
    click.inputs = BuildClickInputs(order.x, order.y, desktop, order.buttonsSwapped);
    const int64_t coarseUs = CoarseWaitUs(deadlineNs, SteadyNowNs(), leadNs);
    record.coarseUs = coarseUs;
    bool waited = false;
    int64_t dueNs = 0;  // when the coarse wait was due to end
    if (coarseUs >= 0) {
        // A high-resolution timer; without one, an ordinary manual-reset timer with the same due time.
        HANDLE handle = system.createWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                                      TIMER_ALL_ACCESS);
        if (!handle) handle = system.createWaitableTimerW(nullptr, TRUE, nullptr);
        ScopedHandle timer(handle);
        if (timer.get()) {
            LARGE_INTEGER due;
            due.QuadPart = TimerDueTime(coarseUs);
            const int64_t setNs = SteadyNowNs();
            // When the timer cannot be set there is no coarse wait: the spin covers the whole time.
            if (system.setWaitableTimer(timer.get(), &due, 0, nullptr, nullptr, FALSE)) {
                record.timerUsed = waited = true;
                dueNs = SaturatingAdd(setNs, SaturatingMultiply(-due.QuadPart, 100));
                WaitForSingleObject(timer.get(), INFINITE);
            }
        } else if (DWORD ms = FallbackSleepMs(coarseUs)) {
            waited = true;
            dueNs = SaturatingAdd(SteadyNowNs(), int64_t{ms} * 1000000);
            system.sleep(ms);
        }
    }

    // A failure to move the pointer is ignored: the click's own input moves it again.
    system.setCursorPos(order.x, order.y);
    if (order.checks.early) order.checks.early(order.checks.context);

    {
        record.spinStartNs = SteadyNowNs();
        if (partner && partner->Running()) {
            record.partnerSpun = true;
            partner->Go();
        }
        // When the partner took the click, its SendInput may still be under way.
        if (!click.SpinAndSend(false))
            while (!click.sent.load()) YieldProcessor();
    }
    partner.reset();  // joined: the click and its figures are final
    record.doneNs = SteadyNowNs();
    record.sendInputNs = click.sendInputNs;
    record.sentNs = click.sentNs;
    record.partnerSent = click.byPartner;
    record.lookStartNs = click.lookStartNs;
    record.lookEndNs = click.lookEndNs;
    record.tooLate = click.tooLate;
    record.lateByNs = click.lateByNs;
    const UINT inserted = click.inserted;
    if (click.sentNs > 0) {
        LearnedOverrun& learned = TheLearnedOverrun();
        std::lock_guard<std::mutex> guard(learned.lock);
        learned.lateness = NextRecentLateness(learned.lateness, (click.sentNs - deadlineNs) / 1000);
    }

    // What the lead has to cover is everything between the coarse wait's due time and the spin: the
    // late wake, the pointer move, the priority change; and whether the spin kept the processor tells
    // whether a longer one would. Learned after the click, off its path.
    if (waited) {
        record.oversleepNs = std::max<int64_t>(record.spinStartNs - dueNs, 0);
        // Off the processor means the spinner saw the deadline late; a wait for the last look's verdict
        // after it saw the deadline in time is the look's cost, not a sign that shorter spins would help.
        LearnOversleep(record.oversleepNs,
                       record.spinStartNs < deadlineNs ? click.claimedNs - deadlineNs : int64_t{-1});
    }
    return inserted == 2;
}

std::string ClickTimingLine(const ClickTiming& timing, int64_t wallAtDeadlineUs) {
    auto fromDeadline = [&timing](int64_t ns) -> long long { return ns ? (ns - timing.deadlineNs) / 1000 : 0; };
    char line[320];
    std::snprintf(line, sizeof line,
                  "click wall_deadline_us=%lld lead_us=%lld spin_us=%lld look_us=%lld looked_us=%lld call_us=%lld "
                  "sent_us=%lld done_us=%lld partner_spun=%d partner_sent=%d sent=%d\n",
                  static_cast<long long>(wallAtDeadlineUs), static_cast<long long>(timing.leadNs / 1000),
                  fromDeadline(timing.spinStartNs), fromDeadline(timing.lookStartNs), fromDeadline(timing.lookEndNs),
                  fromDeadline(timing.sendInputNs), fromDeadline(timing.sentNs), fromDeadline(timing.doneNs),
                  timing.partnerSpun ? 1 : 0, timing.partnerSent ? 1 : 0, timing.sentNs ? 1 : 0);
    return line;
}
