#include "tasks/task_request.h"

#include <algorithm>

#include "core/clock.h"
#include "core/purpose.h"
#include "core/saturating.h"
#include "net/json_text.h"
#include "target/desktop_system.h"
#include "target/task_gate.h"
#include "timesync/time_of_day.h"

std::string TaskFieldsText(const std::string& purposeKey, POINT clickPoint, const std::wstring& executableName,
                           const std::string& executableSha256) {
    return "\"client_platform\":\"windows\",\"purpose\":\"" + purposeKey + "\",\"target_x\":" +
           std::to_string(clickPoint.x) + ",\"target_y\":" + std::to_string(clickPoint.y) +
           ",\"executable_name\":\"" + JsonEscape(Utf16ToUtf8(executableName)) + "\",\"executable_sha256\":\"" +
           JsonEscape(executableSha256) + "\"";
}

std::optional<std::string> BuildTaskFields(const TargetSelection& confirmed) {
    const TargetSelection now = TargetNow();
    if (!SameUsableTarget(now, confirmed)) return std::nullopt;
    return TaskFieldsText(CurrentPurpose().key, now.click_point, now.executable_name, now.executable_sha256);
}

bool ClickTimeFarEnough(std::optional<int64_t> executeAtMs, int64_t unifiedNowMs, int64_t leadMs) {
    return executeAtMs && SaturatingSub(*executeAtMs, unifiedNowMs) >= leadMs;
}

TaskAnswer ParseTaskAnswer(const std::string& body) {
    return {JsonGetInt64(body, "task_id", 0), JsonGetInt64(body, "execute_at_ms", 0)};
}

bool ReserveTaskSlot() { return !App().taskBusy.exchange(true); }

void ReleaseTaskSlot() { App().taskBusy.exchange(false); }

bool RefuseWhileTaskBusy() {
    if (!App().taskBusy.load()) return false;
    SetStatus(kTaskAlreadyRunningStatus, L"");
    return true;
}

std::optional<TaskRequestStart> PrepareTaskRequest(const TargetSelection& confirmed, bool explainSignedOut) {
    AppState& app = App();
    TaskRequestStart start;
    bool signedIn;
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        signedIn = app.session.logged_in;
        start.sentWith.token = app.session.token;
        start.sentWith.signPublicKey = app.session.sign_public_key;
        start.sentWith.userId = app.session.id;
    }
    if (!signedIn) {
        if (explainSignedOut)
            ShowMessage(L"尚未连接服务，请稍后重试。", L"澄序", MB_ICONWARNING);
        return std::nullopt;
    }
    std::optional<std::string> fields = BuildTaskFields(confirmed);
    if (!fields) {
        ExplainChangedTarget();
        return std::nullopt;
    }
    start.taskFields = std::move(*fields);
    start.sentWith.targetX = confirmed.click_point.x;
    start.sentWith.targetY = confirmed.click_point.y;
    start.sentWith.executableSha256 = confirmed.executable_sha256;
    start.sentWith.executablePath = confirmed.executable_path;
    start.sentWith.desktop = &CurrentDesktopSystem();
    if (!ReserveTaskSlot()) {
        SetStatus(kTaskAlreadyRunningStatus, L"");
        return std::nullopt;
    }
    // The slot is this request's now: its badge belongs near its point, whatever is picked later.
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        app.countdownPoint = confirmed.click_point;
    }
    return start;
}

void FailTaskRequest(const wchar_t* status, std::wstring detail) {
    ReleaseTaskSlot();
    SetCountdownTarget(0);
    SetStatus(status, std::move(detail));
}

int64_t RetryBudgetMs(int64_t deadlineMs, int64_t unifiedNowMs) {
    constexpr int64_t kUnknownDeadlineBudgetMs = 60000;
    if (deadlineMs <= 0) return kUnknownDeadlineBudgetMs;
    return std::max<int64_t>(SaturatingSub(deadlineMs, unifiedNowMs), 0);
}

bool PostUntilSettled(const char* action, const std::string& body, const std::string& token, int64_t budgetMs,
                      const std::wstring& status, ApiResponse& answer, std::wstring& message) {
    constexpr uint32_t kRequestTimeoutMs = 8000;
    const int64_t endUs = SaturatingAdd(MonotonicUs(), SaturatingMultiply(std::max<int64_t>(budgetMs, 0), 1000));
    for (int failed = 0;;) {
        answer = PostServiceAction(action, body, token, kRequestTimeoutMs);
        message.clear();
        const AnswerVerdict verdict = JudgeServiceAnswer(answer);
        if (verdict == AnswerVerdict::Accepted) {
            if (failed > 0) SetStatus(status, L"");
            return true;
        }
        EvaluateApiResponse(answer, message);
        if (verdict == AnswerVerdict::Refused) return false;
        ++failed;
        const uint32_t pauseMs = RetryPauseMs(failed);
        // The next attempt must start inside the budget; one that could only start after it is not made.
        if (SaturatingAdd(MonotonicUs(), static_cast<int64_t>(pauseMs) * 1000) >= endUs) return false;
        SetStatus(status, RetryingDetail(failed, message));
        Sleep(pauseMs);
    }
}

std::wstring ClickTimeTooEarlyText(int64_t leadMs) {
    return L"点击时间必须设置在今天，并且至少比现在晚 " + std::to_wstring(leadMs / 1000) + L" 秒。";
}

std::optional<InputFault> FaultOfClickTime(FormField field, const std::wstring& text, int64_t unifiedNowMs,
                                         int64_t leadMs, int64_t* executeAtMs) {
    const std::optional<int64_t> at = TimeOfDayToUnifiedMsAt(text, unifiedNowMs);
    if (!at) return InputFault{field, true, kClickTimeUnreadableText};
    if (!ClickTimeFarEnough(at, unifiedNowMs, leadMs)) return InputFault{field, true, ClickTimeTooEarlyText(leadMs)};
    if (executeAtMs) *executeAtMs = *at;
    return std::nullopt;
}

bool ExplainInputFaults(const std::vector<std::optional<InputFault>>& checks) {
    std::wstring text;
    bool onlyTime = true;
    const InputFault* first = nullptr;
    for (const std::optional<InputFault>& fault : checks) {
        if (!fault) continue;
        if (!first) first = &*fault;
        if (!text.empty()) text += L"\n";
        text += fault->text;
        onlyTime = onlyTime && fault->timeFault;
    }
    if (!first) return false;
    ShowMessage(text, onlyTime ? L"时间错误" : L"输入错误", MB_ICONWARNING);
    if (HWND field = FormFieldControl(first->field)) {
        SetFocus(field);
        SendMessageW(field, EM_SETSEL, 0, -1);
    }
    return true;
}

std::wstring ClickTimeLine(const std::wstring& typedTime) {
    const std::optional<std::wstring> canonical = ParseTimeOfDay(typedTime);
    return L"今天 " + canonical.value_or(typedTime);
}

std::wstring ClickTimeLine(const std::wstring& typedTime, int64_t answerByMs) {
    return ClickTimeLine(typedTime) + L"（请在 " + FormatLocalTimeOfDayMs(answerByMs).substr(0, 8) + L" 之前确认）";
}

std::wstring ScreenSaverWarningBefore(int64_t executeAtMs, const DesktopSystem& system) {
    if (executeAtMs <= 0) return {};
    return ScreenSaverWarning(system.screenSaverSeconds(), SaturatingSub(executeAtMs, UnifiedNowMs()) / 1000);
}

std::wstring ScreenSaverWarningBefore(int64_t executeAtMs) {
    return ScreenSaverWarningBefore(executeAtMs, CurrentDesktopSystem());
}
