#include "tasks/click_task.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <limits>
#include <optional>
#include <vector>

#include "core/app_state.h"
#include "core/bounded_call.h"
#include "core/clock.h"
#include "core/holders.h"
#include "core/saturating.h"
#include "core/worker.h"
#include "net/json_text.h"
#include "net/service_api.h"
#include "tasks/click_executor.h"
#include "tasks/click_instruction.h"
#include "tasks/room_result.h"
#include "target/desktop_system.h"
#include "target/target_identity.h"
#include "tasks/task_request.h"
#include "timesync/standard_time.h"

namespace {

constexpr uint32_t kTaskRequestTimeoutMs = 8000;
constexpr int64_t kClaimGraceUs = 60000000;  // a release this late is of no use any more
constexpr wchar_t kClaimingStatus[] = L"正在领取本次点击安排…";
constexpr wchar_t kClaimFailedStatus[] = L"无法取得本次点击安排";
constexpr wchar_t kReportingStatus[] = L"正在提交点击结果…";

int64_t Clamp64(int64_t value, int64_t low, int64_t high) { return std::min(std::max(value, low), high); }

// The time left until the instant, on the task's own offset (µs).
int64_t RemainingUntil(int64_t executeAtMs, int64_t offsetUs) {
    return SaturatingSub(SaturatingSub(MsToUsSaturated(executeAtMs), offsetUs), WallClockUs());
}

// Re-aligns before the click. However slow the network is (lookups, a service that answers late,
// silent NTP servers), the re-alignment ends before the click's safety margin: when it runs out, the
// task keeps its last good offset and clicks on time by that.
void Realign(const std::string& token, int samples, uint32_t budgetMs, int64_t executeAtMs, int64_t& offsetUs,
             ClockReading& alignedAt) {
    const int64_t deadlineUs = RealignDeadlineUs(MonotonicUs(), RemainingUntil(executeAtMs, offsetUs));
    std::optional<StandardTimeResult> result = CallBefore<StandardTimeResult>(
        [token, samples, budgetMs, deadlineUs] {
            std::wstring ignored;
            return GetStandardTime(token, samples, ignored, budgetMs, deadlineUs);
        },
        deadlineUs);
    if (result && result->ok) {
        offsetUs = result->offsetUs;
        alignedAt = ReadClocks();
    }
}

// Windows steps its wall clock when it syncs; every wall-clock reading after the step is off by it,
// the monotonic clock is not. So the task compares the two at each poll and before the click: on a
// step its offset takes the step back out at once (the countdown follows), and where the instant is
// far enough a fresh alignment follows.
void FollowClockStep(const std::string& token, int64_t executeAtMs, int64_t& offsetUs, ClockReading& since) {
    const ClockReading now = ReadClocks();
    const int64_t stepUs = WallClockStepUs(since, now);
    since = now;
    if (!IsClockStep(stepUs)) return;
    offsetUs = SaturatingSub(offsetUs, stepUs);
    if (executeAtMs <= 0) return;
    SetCountdownTarget(executeAtMs, OffsetUsToMs(offsetUs));
    if (RemainingUntil(executeAtMs, offsetUs) > 3000000) Realign(token, 3, 800, executeAtMs, offsetUs, since);
}

// ---- the looks before the click ---------------------------------------------------------------
//
// The executor moves the pointer some milliseconds before the instant and then takes the early look,
// takes the last look in the final two milliseconds and sends the click at the instant. The task hands
// it this guard: a click goes only to a window at the chosen point that belongs to the program confirmed
// at the pick, never to this program's own windows nor to whatever was raised over the point meanwhile,
// never to a program Windows would not let it reach, and never while another desktop takes the input.
struct ClickGuard {
    const DesktopSystem* desktop = nullptr;
    POINT point{};
    std::wstring targetPath;
    bool looked = false;
    HWND lookedAtRoot = nullptr;
    PointOwnerVerdict verdict = PointOwnerVerdict::OtherProgram;
    Reach reach = Reach::Reachable;
    std::wstring ownerPath;
    ClickRefusal refusal = ClickRefusal::None;
};

// The full look: window, process, path and integrity level at the chosen point.
void LookAtThePoint(ClickGuard& guard) {
    const PointOwner owner = PointOwnerAt(guard.point);
    guard.looked = true;
    guard.lookedAtRoot = owner.root;
    guard.ownerPath = owner.executablePath;
    guard.verdict = JudgePointOwner(owner.processId, owner.executablePath, GetCurrentProcessId(), guard.targetPath);
    if (guard.verdict == PointOwnerVerdict::Target) guard.reach = ReachOfProcess(*guard.desktop, owner.processId);
}

void EarlyLook(void* context) { LookAtThePoint(*static_cast<ClickGuard*>(context)); }

// Just before the instant only the top-level window at the point is compared with the one looked at; a
// different one (raised since) gets the full look again. Taken before the instant, not at it: under wine
// these queries cost 0.2 ms as a rule and up to a few ms, which a click at the instant would carry as
// lateness.
BOOL LastLook(void* context) {
    ClickGuard& guard = *static_cast<ClickGuard*>(context);
    if (!guard.desktop->inputDesktopIsOurs()) {
        guard.refusal = ClickRefusal::DesktopNotOurs;
        return FALSE;
    }
    HWND window = WindowFromPoint(guard.point);
    HWND root = window ? GetAncestor(window, GA_ROOT) : nullptr;
    if (!guard.looked || !root || root != guard.lookedAtRoot) LookAtThePoint(guard);
    if (guard.verdict != PointOwnerVerdict::Target) {
        guard.refusal = ClickRefusal::NotTheTarget;
        return FALSE;
    }
    if (guard.reach != Reach::Reachable) {
        guard.refusal = ClickRefusal::Unreachable;
        return FALSE;
    }
    return TRUE;
}

// Studying the click's timing: with ORVANE_CLICK_TIMING_FILE naming a file, each click's figures
// are appended to it (the room benchmark reads them beside its own clock). Called right after the
// click, so that the wall clock read here still lies close to the deadline.
void AppendClickTiming(const ClickTiming& timing) {
    wchar_t path[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"ORVANE_CLICK_TIMING_FILE", path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    const int64_t wallUs = WallClockUs();
    const int64_t sinceDeadlineUs = (SteadyNowNs() - timing.deadlineNs) / 1000;
    const std::string line = ClickTimingLine(timing, wallUs - sinceDeadlineUs);
    ScopedFile file(CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    DWORD written = 0;
    WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

}  // namespace

std::wstring MissedInstantDetail(int64_t lateByMs, int64_t limitMs, bool instructionLate) {
    const std::wstring late = std::to_wstring(std::max<int64_t>(lateByMs, 0));
    const std::wstring why = instructionLate ? L"点击安排在约定时刻之后 " + late + L" 毫秒才取得（网络或服务延迟）"
                                             : L"到点击时已晚 " + late + L" 毫秒（电脑曾休眠或过于繁忙）";
    return why + L"，超过允许的 " + std::to_wstring(limitMs) + L" 毫秒，为免与约定时刻不一致，本机没有点击";
}

std::wstring NotTheTargetDetail(PointOwnerVerdict verdict, const std::wstring& ownerPath) {
    if (verdict == PointOwnerVerdict::OwnWindow) return L"点击位置被澄序自己的窗口遮住";
    const std::wstring name = ownerPath.empty() ? L"无法识别的程序" : ExecutableNameFromPath(ownerPath);
    return L"点击位置上是其他程序（" + name + L"）的窗口";
}

ClockReading ReadClocks() {
    ClockReading reading;
    reading.wallUs = WallClockUs();
    reading.monotonicUs = MonotonicUs();
    return reading;
}

int64_t WallClockStepUs(const ClockReading& before, const ClockReading& now) {
    return SaturatingSub(SaturatingSub(now.wallUs, before.wallUs), SaturatingSub(now.monotonicUs, before.monotonicUs));
}

bool IsClockStep(int64_t stepUs) { return stepUs >= kClockStepUs || stepUs <= -kClockStepUs; }

int64_t OffsetUsToMs(int64_t offsetUs) {
    int64_t ms = offsetUs / 1000;
    const int64_t rest = offsetUs % 1000;
    if (rest >= 500) ++ms;
    if (rest <= -500) --ms;
    return ms;
}

std::string BuildClaimBody(int64_t taskId) {
    return "{\"task_id\":" + std::to_string(taskId) + ",\"client_platform\":\"windows\"}";
}

std::string BuildConsumeBody(int64_t taskId, const std::string& nonce, int64_t clientErrorMs, bool accepted,
                             const std::wstring& failedDetail, const ReportExtras& extras) {
    const std::wstring detail =
        accepted ? L"本机已提交一次触发" : failedDetail.empty() ? L"Windows 未接受本机触发" : failedDetail;
    std::string body = "{\"task_id\":" + std::to_string(taskId) + ",\"nonce\":\"" + JsonEscape(nonce) +
                       "\",\"client_platform\":\"windows\",\"client_error_ms\":" + std::to_string(clientErrorMs) +
                       ",\"result\":\"" + (accepted ? "success" : "failed") + "\",\"result_detail\":\"" +
                       JsonEscape(Utf16ToUtf8(detail)) + "\"";
    if (extras.shownUncertaintyMs >= 0) body += ",\"shown_uncertainty_ms\":" + std::to_string(extras.shownUncertaintyMs);
    if (extras.missedInstant) body += ",\"missed_instant\":true";
    return body + "}";
}

std::wstring RoomNotFullText(int64_t capacity, int64_t joined) {
    if (joined <= 0 || joined >= capacity) return L"";
    // Counted when the instruction was claimed: machines may still join until the instant.
    return L"房间 " + std::to_wstring(capacity) + L" 台，领取点击安排时已加入 " + std::to_wstring(joined) +
           L" 台；约定时刻到时照常点击";
}

std::wstring JoinedDetail(const std::wstring& first, const std::wstring& second) {
    if (first.empty()) return second;
    return second.empty() ? first : first + L"；" + second;
}

uint32_t ClaimWaitMs(int64_t retryAtMs, int64_t wallClockUs, int64_t offsetUs) {
    const int64_t waitUs = SaturatingSub(SaturatingSub(MsToUsSaturated(retryAtMs), wallClockUs), offsetUs);
    return static_cast<uint32_t>(Clamp64(waitUs / 1000, 300, 3000));
}

bool ClaimGracePassed(int64_t executeAtMs, int64_t unifiedNowUs) {
    if (executeAtMs <= 0) return false;
    return SaturatingSub(unifiedNowUs, MsToUsSaturated(executeAtMs)) > kClaimGraceUs;
}

int64_t RealignDeadlineUs(int64_t nowMonotonicUs, int64_t remainingUs) {
    return SaturatingAdd(nowMonotonicUs, SaturatingSub(remainingUs, kRealignSafetyMarginUs));
}

uint32_t CoarseSleepStepMs(int64_t remainingUs) {
    return static_cast<uint32_t>(Clamp64(SaturatingSub(remainingUs, 10000000) / 1000, 50, 1000));
}

int64_t TimingErrorMs(int64_t wallClockUs, int64_t offsetUs, int64_t executeAtMs) {
    const int64_t errorUs = SaturatingSub(SaturatingAdd(wallClockUs, offsetUs), MsToUsSaturated(executeAtMs));
    int64_t ms = errorUs / 1000;
    const int64_t rest = errorUs % 1000;  // carries the sign of errorUs
    if (rest >= 500) ++ms;
    if (rest <= -500) --ms;
    return ms;
}

std::wstring ClickDoneStatus(int64_t errorMs, bool roomTask) {
    if (roomTask) return L"房间点击已完成，与约定时间相差 " + std::to_wstring(errorMs) + L" 毫秒";
    return L"触发测试已完成，与预定时间相差 " + std::to_wstring(errorMs) + L" 毫秒";
}

std::wstring OutcomeBadgeText(bool clicked, int64_t errorMs) {
    if (!clicked) return L"本次未点击，请查看窗口";
    return L"已点击，相差 " + std::to_wstring(errorMs) + L" 毫秒";
}

std::wstring ClickRefusedStatus(bool roomTask) {
    return roomTask ? L"本机未能完成房间点击" : L"本机未能完成触发测试";
}

namespace {

// Every ending: the slot free, the outcome on the badge (which the cleared countdown brings up), the
// status lines, and the main window told, so that its taskbar button asks to be opened.
void EndTask(bool clicked, int64_t errorMs, std::wstring status, std::wstring detail) {
    ReleaseTaskSlot();
    {
        AppState& app = App();
        std::lock_guard<std::mutex> lock(app.stateMutex);
        app.taskOutcomeText = OutcomeBadgeText(clicked, errorMs);
        app.taskOutcomeClicked = clicked;
        app.taskOutcomeUntilUs = SaturatingAdd(MonotonicUs(), kOutcomeShownUs);
    }
    SetCountdownTarget(0);
    SetStatus(std::move(status), std::move(detail));
    PostToMainWindow(MSG_TASK_ENDED);
}

}  // namespace

void FailTask(std::wstring status, std::wstring detail) { EndTask(false, 0, std::move(status), std::move(detail)); }

namespace {

// Sends the click's report until the service takes it or the instruction expires; empty when it
// arrived, otherwise what the person is told about it. The click (or its absence) stands either way.
std::wstring Report(const ClickTaskContext& task, const InstructionCheck& check, int64_t offsetUs, int64_t errorMs,
                    bool accepted, const std::wstring& failedDetail = L"", bool missedInstant = false) {
    ApiResponse answer;
    std::wstring message;
    const int64_t unifiedNowMs = SaturatingAdd(WallClockUs(), offsetUs) / 1000;
    // The room's result sets each machine's error beside the uncertainty its person was shown.
    ReportExtras extras;
    extras.missedInstant = missedInstant;
    const int64_t clickLatenessUs = WorstRecentClickLatenessUs();
    {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        if (App().timeAligned) extras.shownUncertaintyMs = ShownClickUncertaintyMs(App().timeUncertaintyMs, clickLatenessUs);
    }
    const bool reported = PostUntilSettled(
        "task.consume", BuildConsumeBody(task.taskId, check.nonce, errorMs, accepted, failedDetail, extras), task.token,
        RetryBudgetMs(check.expiresAtMs, unifiedNowMs), kReportingStatus, answer, message);
    return reported ? L"" : L"点击结果未能交给服务：" + message;
}

// The task's last ending, after its report: the outcome shown, then, for a room, the room's result
// as the others' reports come in.
void EndReportedTask(const ClickTaskContext& task, bool clicked, int64_t errorMs, const std::wstring& status,
                     const std::wstring& detail) {
    EndTask(clicked, errorMs, status, detail);
    if (task.roomTask) FollowRoomResult(task.token, task.taskId, status, detail);
}

std::wstring WithReport(std::wstring detail, const std::wstring& reportDetail) {
    return reportDetail.empty() ? detail : detail + L"；" + reportDetail;
}

// No click was made, for the reason in `detail`: the service hears it (result "failed", the reason
// after "未点击："), then the person.
void ReportNotClicked(const ClickTaskContext& task, const InstructionCheck& check, int64_t offsetUs,
                      const std::wstring& status, const std::wstring& detail, int64_t errorMs = 0) {
    const bool missed = status == kMissedInstantStatus;
    const std::wstring reportDetail = Report(task, check, offsetUs, errorMs, false, L"未点击：" + detail, missed);
    EndReportedTask(task, false, errorMs, status, WithReport(detail, reportDetail));
}

}  // namespace

void StartReservedClickTask(int64_t taskId, int64_t executeAtMs, ClickTaskContext sentWith) {
    // Before the main window hears of the task, so that the badge it brings up has a time to show
    // (and not the outcome of the task before).
    {
        AppState& app = App();
        std::lock_guard<std::mutex> lock(app.stateMutex);
        app.taskOutcomeUntilUs = 0;
    }
    if (executeAtMs > 0) SetCountdownTarget(executeAtMs);
    PostToMainWindow(MSG_TASK_STARTED);

    auto context = std::make_unique<ClickTaskContext>(std::move(sentWith));
    context->taskId = taskId;
    context->executeAtMs = executeAtMs;
    // No worker, no task: the flag must not stay set.
    if (!StartWorker([context = std::move(context)]() mutable { RunClickTask(std::move(context)); }))
        FailTask(kTaskNotStartedText, L"");
}

void RunClickTask(std::unique_ptr<ClickTaskContext> context) {
    const ClickTaskContext& task = *context;
    const DesktopSystem& desktop = task.desktop ? *task.desktop : RealDesktopSystem();
    // Idle sleep or Modern Standby would suspend the wait (a task may wait hours): the machine and its
    // display stay awake until the task ends, on every path.
    KeepAwake awake(desktop);

    // Aligning.
    SetStatus(L"正在对准统一时间…", L"");
    std::wstring alignError;
    StandardTimeResult aligned = GetStandardTime(task.token, 7, alignError, 1500);
    if (!aligned.ok) return FailTask(L"无法取得统一时间", alignError);
    int64_t offsetUs = aligned.offsetUs;
    ClockReading clocks = ReadClocks();  // what the offset was last right for

    // Claiming, until the service releases the instruction. A claim that fails on the way (the
    // network, a proxy, a service restarting) is only "not yet": the task asks again, sooner at first,
    // until the claim grace has passed. Only the service's own refusal ends it at once.
    // While the service has not released the instruction, the detail line warns of a screen saver that
    // would come first (the instant is known from the request's answer, or from the first claim's).
    // A room not yet full says so: it clicks at its instant with whoever joined (as of the last claim).
    std::wstring notFull;
    auto claimingDetail = [&desktop, &notFull](int64_t scheduledMs) {
        return JoinedDetail(scheduledMs > 0 ? ScreenSaverWarningBefore(scheduledMs, desktop) : std::wstring(), notFull);
    };
    std::wstring claimingShown = claimingDetail(task.executeAtMs);
    SetStatus(kClaimingStatus, claimingShown);
    const std::string claimBody = BuildClaimBody(task.taskId);
    ClaimAnswer claim;
    int64_t scheduledMs = task.executeAtMs;  // the latest positive execute_at_ms known
    int failedClaims = 0;
    int64_t failingSinceMs = 0;  // unified ms of the first failure in a row, for an unknown instant
    for (;;) {
        FollowClockStep(task.token, scheduledMs, offsetUs, clocks);
        ApiResponse response = PostServiceAction("task.claim", claimBody, task.token, kTaskRequestTimeoutMs);
        const AnswerVerdict verdict = JudgeServiceAnswer(response);
        const int64_t wallUs = WallClockUs();
        if (verdict != AnswerVerdict::Accepted) {
            std::wstring message;
            EvaluateApiResponse(response, message);
            if (verdict == AnswerVerdict::Refused) return FailTask(kClaimFailedStatus, message);
            const int64_t nowMs = SaturatingAdd(wallUs, offsetUs) / 1000;
            if (failedClaims++ == 0) failingSinceMs = nowMs;
            if (ClaimGracePassed(scheduledMs > 0 ? scheduledMs : failingSinceMs, nowMs * 1000))
                return FailTask(kClaimFailedStatus, message);
            SetStatus(kClaimingStatus, RetryingDetail(failedClaims, message));
            Sleep(RetryPauseMs(failedClaims));
            continue;
        }
        claim = ParseClaimAnswer(response.body);
        notFull = RoomNotFullText(claim.roomCapacity, claim.roomJoined);
        const std::wstring detail = claimingDetail(claim.executeAtMs > 0 ? claim.executeAtMs : scheduledMs);
        if (failedClaims > 0 || detail != claimingShown) {
            failedClaims = 0;
            claimingShown = detail;
            SetStatus(kClaimingStatus, detail);
        }
        if (claim.executeAtMs > 0) {
            scheduledMs = claim.executeAtMs;
            SetCountdownTarget(claim.executeAtMs);
        }
        if (claim.ready) break;
        if (ClaimGracePassed(scheduledMs, SaturatingAdd(wallUs, offsetUs))) return FailTask(kInstructionExpiredStatus, L"");
        Sleep(ClaimWaitMs(claim.retryAtMs, wallUs, offsetUs));
    }

    // Verifying: the signature first, then every field.
    const std::vector<uint8_t> message = Base64Decode(claim.payload);
    const std::vector<uint8_t> signature = Base64Decode(claim.signature);
    const std::vector<uint8_t> key = Base64Decode(task.signPublicKey);
    if (message.empty() || !VerifyDetachedSignature(message, signature, key))
        return FailTask(kSignatureFailedStatus, kSignatureFailedDetail);
    const InstructionCheck check =
        CheckClickInstruction(std::string(message.begin(), message.end()), task, WallClockUs(), offsetUs);
    if (check.verdict != InstructionVerdict::Accepted) return FailTask(check.status, L"");
    // From here on the signed instant is the one that counts, so it is the one the countdown shows.
    SetCountdownTarget(check.executeAtMs);
    // An instruction that came only after its instant (claims failing on the way): the others clicked
    // already, and a click now would not be with them.
    {
        const int64_t lateUs = -RemainingUntil(check.executeAtMs, offsetUs);
        if (lateUs > kLateLimitUs) {
            const std::wstring detail = MissedInstantDetail(lateUs / 1000, kLateLimitUs / 1000, true);
            return ReportNotClicked(task, check, offsetUs, kMissedInstantStatus, detail, lateUs / 1000);
        }
    }
    const std::wstring screenSaver = JoinedDetail(ScreenSaverWarningBefore(check.executeAtMs, desktop), notFull);

    // Re-aligning and waiting.
    SetStatus(L"安排已确认，点击前再次对准时间…", screenSaver);
    if (RemainingUntil(check.executeAtMs, offsetUs) > 3000000)
        Realign(task.token, 5, 1500, check.executeAtMs, offsetUs, clocks);
    for (int64_t remaining = RemainingUntil(check.executeAtMs, offsetUs); remaining > 10000000;
         remaining = RemainingUntil(check.executeAtMs, offsetUs)) {
        Sleep(CoarseSleepStepMs(remaining));
        FollowClockStep(task.token, check.executeAtMs, offsetUs, clocks);
    }
    if (RemainingUntil(check.executeAtMs, offsetUs) > 3000000)
        Realign(task.token, 3, 800, check.executeAtMs, offsetUs, clocks);

    // Clicking, then measuring right away. This program's windows make way first.
    SetStatus(L"安排已确认，等待点击…", screenSaver);
    PostToMainWindow(MSG_CLICK_COMING);
    FollowClockStep(task.token, check.executeAtMs, offsetUs, clocks);
    ClickOrder order;
    order.executeAtMs = check.executeAtMs;
    order.offsetUs = offsetUs;
    order.x = task.targetX;
    order.y = task.targetY;
    order.buttonsSwapped = desktop.buttonsSwapped();
    order.lateLimitUs = kLateLimitUs;
    ClickGuard guard;
    if (!task.executablePath.empty()) {
        guard.desktop = &desktop;
        guard.point = {task.targetX, task.targetY};
        guard.targetPath = task.executablePath;
        order.checks = {&guard, EarlyLook, LastLook};
    }
    ClickTiming timing;
    const bool accepted = ExecuteClickAt(order, task.platform, &timing);
    const int64_t errorMs = TimingErrorMs(WallClockUs(), offsetUs, check.executeAtMs);
    AppendClickTiming(timing);
    if (timing.tooLate)
        return ReportNotClicked(task, check, offsetUs, kMissedInstantStatus,
                                MissedInstantDetail(timing.lateByNs / 1000000, kLateLimitUs / 1000, false),
                                timing.lateByNs / 1000000);
    if (guard.refusal != ClickRefusal::None) {
        std::wstring status, detail;
        if (guard.refusal == ClickRefusal::DesktopNotOurs) {
            status = kDesktopNotOursStatus;
            detail = kDesktopNotOursDetail;
        } else if (guard.refusal == ClickRefusal::Unreachable) {
            status = kUnreachableStatus;
            detail = ReachNotClickedDetail(guard.reach);
        } else {
            status = kNotTheTargetStatus;
            detail = NotTheTargetDetail(guard.verdict, guard.ownerPath);
        }
        return ReportNotClicked(task, check, offsetUs, status, detail, errorMs);
    }

    // Reporting. A report lost on the way is sent again while the service can still take it (until
    // the instruction expires); the click itself is done either way, so the outcome stands, but the
    // person learns when the service never heard of it.
    const std::wstring reportDetail = Report(task, check, offsetUs, errorMs, accepted);
    if (accepted)
        EndReportedTask(task, true, errorMs, ClickDoneStatus(errorMs, task.roomTask), reportDetail);
    else
        EndReportedTask(task, false, errorMs, ClickRefusedStatus(task.roomTask),
                        WithReport(L"Windows 没有接受本次本机操作", reportDetail));
}
