#include "tasks/click_task.h"

#include <windows.h>

#include <algorithm>
#include <limits>
#include <optional>
#include <vector>

#include "core/app_state.h"
#include "core/bounded_call.h"
#include "core/clock.h"
#include "core/saturating.h"
#include "core/worker.h"
#include "net/json_text.h"
#include "net/service_api.h"
#include "tasks/click_executor.h"
#include "tasks/click_instruction.h"
#include "tasks/task_request.h"
#include "timesync/standard_time.h"

namespace {

constexpr uint32_t kTaskRequestTimeoutMs = 8000;
constexpr int64_t kClaimGraceUs = 60000000;  // a release this late is of no use any more

int64_t Clamp64(int64_t value, int64_t low, int64_t high) { return std::min(std::max(value, low), high); }

// The time left until the instant, on the task's own offset (µs).
int64_t RemainingUntil(int64_t executeAtMs, int64_t offsetUs) {
    return SaturatingSub(SaturatingSub(MsToUsSaturated(executeAtMs), offsetUs), WallClockUs());
}

// Re-aligns before the click. However slow the network is (lookups, a service that answers late,
// silent NTP servers), the re-alignment ends before the click's safety margin: when it runs out, the
// task keeps its last good offset and clicks on time by that.
void Realign(const std::string& token, int samples, uint32_t budgetMs, int64_t executeAtMs, int64_t& offsetUs) {
    const int64_t deadlineUs = RealignDeadlineUs(MonotonicUs(), RemainingUntil(executeAtMs, offsetUs));
    std::optional<StandardTimeResult> result = CallBefore<StandardTimeResult>(
        [token, samples, budgetMs, deadlineUs] {
            std::wstring ignored;
            return GetStandardTime(token, samples, ignored, budgetMs, deadlineUs);
        },
        deadlineUs);
    if (result && result->ok) offsetUs = result->offsetUs;
}

}  // namespace

std::string BuildClaimBody(int64_t taskId) {
    return "{\"task_id\":" + std::to_string(taskId) + ",\"client_platform\":\"windows\"}";
}

std::string BuildConsumeBody(int64_t taskId, const std::string& nonce, int64_t clientErrorMs, bool accepted) {
    return "{\"task_id\":" + std::to_string(taskId) + ",\"nonce\":\"" + JsonEscape(nonce) +
           "\",\"client_platform\":\"windows\",\"client_error_ms\":" + std::to_string(clientErrorMs) +
           ",\"result\":\"" + (accepted ? "success" : "failed") + "\",\"result_detail\":\"" +
           (accepted ? Utf16ToUtf8(L"本机已提交一次触发") : Utf16ToUtf8(L"Windows 未接受本机触发")) + "\"}";
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

std::wstring ClickRefusedStatus(bool roomTask) {
    return roomTask ? L"本机未能完成房间点击" : L"本机未能完成触发测试";
}

void FailTask(std::wstring status, std::wstring detail) {
    ReleaseTaskSlot();
    SetCountdownTarget(0);
    SetStatus(std::move(status), std::move(detail));
}

void StartReservedClickTask(int64_t taskId, int64_t executeAtMs, ClickTaskContext sentWith) {
    // Before the main window hears of the task, so that the badge it brings up has a time to show.
    if (executeAtMs > 0) SetCountdownTarget(executeAtMs);
    PostToMainWindow(MSG_TASK_STARTED);

    auto context = std::make_unique<ClickTaskContext>(std::move(sentWith));
    context->taskId = taskId;
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

    // Claiming, until the service releases the instruction.
    SetStatus(L"正在领取本次点击安排…", L"");
    const std::string claimBody = BuildClaimBody(task.taskId);
    ClaimAnswer claim;
    int64_t scheduledMs = 0;  // the latest positive execute_at_ms of the claim answers
    for (;;) {
        ApiResponse response = PostServiceAction("task.claim", claimBody, task.token, kTaskRequestTimeoutMs);
        std::wstring message;
        if (!EvaluateApiResponse(response, message)) return FailTask(L"无法取得本次点击安排", message);
        claim = ParseClaimAnswer(response.body);
        if (claim.executeAtMs > 0) {
            scheduledMs = claim.executeAtMs;
            SetCountdownTarget(claim.executeAtMs);
        }
        if (claim.ready) break;
        const int64_t wallUs = WallClockUs();
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
        Realign(task.token, 5, 1500, check.executeAtMs, offsetUs);
    for (int64_t remaining = RemainingUntil(check.executeAtMs, offsetUs); remaining > 10000000;
         remaining = RemainingUntil(check.executeAtMs, offsetUs))
        Sleep(CoarseSleepStepMs(remaining));
    if (RemainingUntil(check.executeAtMs, offsetUs) > 3000000)
        Realign(task.token, 3, 800, check.executeAtMs, offsetUs);

    // Clicking, then measuring right away.
    SetStatus(L"安排已确认，等待点击…", L"");
    const bool accepted = ExecuteClickAt(check.executeAtMs, offsetUs, task.targetX, task.targetY, task.platform);
    const int64_t errorMs = TimingErrorMs(WallClockUs(), offsetUs, check.executeAtMs);

    // Reporting: the answer does not change the outcome.
    PostServiceAction("task.consume", BuildConsumeBody(task.taskId, check.nonce, errorMs, accepted), task.token,
                      kTaskRequestTimeoutMs);

    ReleaseTaskSlot();
    SetCountdownTarget(0);
    if (accepted)
        SetStatus(ClickDoneStatus(errorMs, task.roomTask), L"");
    else
        SetStatus(ClickRefusedStatus(task.roomTask), L"Windows 没有接受本次本机操作");
}
