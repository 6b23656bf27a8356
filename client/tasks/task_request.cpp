#include "tasks/task_request.h"

#include "core/purpose.h"
#include "core/saturating.h"
#include "net/json_text.h"
#include "target/task_gate.h"

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
