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

// ---- the last look before the click ------------------------------------------------------------
//
// The executor calls the platform's SetCursorPos some milliseconds before the instant, its last look
// in the final two milliseconds and SendInput at the instant. The task's thread hands it a platform
// whose pointer move and last look examine the window under the pointer: a click goes only to a window
// of the program confirmed at the pick, never to this program's own windows nor to whatever was raised
// over the point meanwhile.
struct ClickGuard {
    const ClickPlatform* inner = nullptr;
    std::wstring targetPath;
    bool looked = false;
    HWND lookedAtRoot = nullptr;
    PointOwnerVerdict verdict = PointOwnerVerdict::OtherProgram;
    std::wstring ownerPath;
    bool refused = false;
};
// The running task's guard. Process-wide, not per thread: the executor's partner thread may be the one
// that sends the click. One click task runs at a time (the task slot), and the executor joins its
// partner before it returns, so the guard outlives every call made through it.
std::atomic<ClickGuard*> gClickGuard{nullptr};

// The full look: window, process, path (the click lands where the pointer is).
void LookUnderThePointer(ClickGuard& guard) {
    POINT at{};
    GetCursorPos(&at);
    const PointOwner owner = PointOwnerAt(at);
    guard.looked = true;
    guard.lookedAtRoot = owner.root;
    guard.ownerPath = owner.executablePath;
    guard.verdict = JudgePointOwner(owner.processId, owner.executablePath, GetCurrentProcessId(), guard.targetPath);
}

BOOL WINAPI GuardedSetCursorPos(int x, int y) {
    ClickGuard& guard = *gClickGuard.load();
    const BOOL moved = guard.inner->setCursorPos(x, y);
    LookUnderThePointer(guard);
    return moved;
}

// Just before the instant only the top-level window is compared with the one looked at; a different
// one (raised since the pointer moved) gets the full look again. Taken before the instant, not at it:
// under wine these queries cost 0.2 ms as a rule and up to a few ms, which a click at the instant
// would carry as lateness.
BOOL WINAPI GuardedLastLook() {
    ClickGuard& guard = *gClickGuard.load();
    POINT at{};
    GetCursorPos(&at);
    HWND window = WindowFromPoint(at);
    HWND root = window ? GetAncestor(window, GA_ROOT) : nullptr;
    if (!guard.looked || !root || root != guard.lookedAtRoot) LookUnderThePointer(guard);
    if (guard.verdict != PointOwnerVerdict::Target) {
        guard.refused = true;
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
                             const std::wstring& failedDetail) {
    const std::wstring detail =
        accepted ? L"本机已提交一次触发" : failedDetail.empty() ? L"Windows 未接受本机触发" : failedDetail;
    return "{\"task_id\":" + std::to_string(taskId) + ",\"nonce\":\"" + JsonEscape(nonce) +
           "\",\"client_platform\":\"windows\",\"client_error_ms\":" + std::to_string(clientErrorMs) +
           ",\"result\":\"" + (accepted ? "success" : "failed") + "\",\"result_detail\":\"" +
           JsonEscape(Utf16ToUtf8(detail)) + "\"}";
}

ClaimAnswer ParseClaimAnswer(const std::string& body) {
    ClaimAnswer answer;
    answer.executeAtMs = JsonGetInt64(body, "execute_at_ms", 0);
    answer.ready = JsonGetBool(body, "ready", false);
    answer.retryAtMs = JsonGetInt64(body, "retry_at_ms", SaturatingSub(answer.executeAtMs, 60000));
    answer.payload = JsonGetString(body, "payload");
    answer.signature = JsonGetString(body, "signature");
    return answer;
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
    SetStatus(kClaimingStatus, L"");
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
        if (failedClaims > 0) {
            failedClaims = 0;
            SetStatus(kClaimingStatus, L"");
        }
        claim = ParseClaimAnswer(response.body);
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

    // Re-aligning and waiting.
    SetStatus(L"安排已确认，点击前再次对准时间…", L"");
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
    SetStatus(L"安排已确认，等待点击…", L"");
    PostToMainWindow(MSG_CLICK_COMING);
    FollowClockStep(task.token, check.executeAtMs, offsetUs, clocks);
    const ClickPlatform* platform = task.platform;
    ClickGuard guard;
    ClickPlatform guarded{};
    if (!task.executablePath.empty()) {
        guard.inner = task.platform ? task.platform : &SystemClickPlatform();
        guard.targetPath = task.executablePath;
        guarded = *guard.inner;
        guarded.setCursorPos = GuardedSetCursorPos;
        guarded.lastLook = GuardedLastLook;
        platform = &guarded;
        gClickGuard.store(&guard);
    }
    ClickTiming timing;
    const bool accepted = ExecuteClickAt(check.executeAtMs, offsetUs, task.targetX, task.targetY, platform, &timing);
    const int64_t errorMs = TimingErrorMs(WallClockUs(), offsetUs, check.executeAtMs);
    AppendClickTiming(timing);
    gClickGuard.store(nullptr);
    const std::wstring notTheTarget = guard.refused ? NotTheTargetDetail(guard.verdict, guard.ownerPath) : L"";

    // Reporting. A report lost on the way is sent again while the service can still take it (until
    // the instruction expires); the click itself is done either way, so the outcome stands, but the
    // person learns when the service never heard of it.
    ApiResponse reportAnswer;
    std::wstring reportMessage;
    const int64_t unifiedNowMs = SaturatingAdd(WallClockUs(), offsetUs) / 1000;
    const bool reported = PostUntilSettled(
        "task.consume",
        BuildConsumeBody(task.taskId, check.nonce, errorMs, accepted, notTheTarget.empty() ? L"" : L"未点击：" + notTheTarget),
        task.token, RetryBudgetMs(check.expiresAtMs, unifiedNowMs), kReportingStatus, reportAnswer, reportMessage);
    const std::wstring reportDetail = reported ? L"" : L"点击结果未能交给服务：" + reportMessage;
    auto withReport = [&reportDetail](std::wstring detail) {
        return reportDetail.empty() ? detail : detail + L"；" + reportDetail;
    };

    if (accepted)
        EndTask(true, errorMs, ClickDoneStatus(errorMs, task.roomTask), reportDetail);
    else if (!notTheTarget.empty())
        EndTask(false, errorMs, kNotTheTargetStatus, withReport(notTheTarget));
    else
        EndTask(false, errorMs, ClickRefusedStatus(task.roomTask), withReport(L"Windows 没有接受本次本机操作"));
}
