#include "target/blacklist_check.h"

#include <memory>

#include "core/app_state.h"
#include "core/worker.h"
#include "net/json_text.h"
#include "net/service_api.h"

namespace {

constexpr uint32_t kCheckTimeoutMs = 8000;
constexpr wchar_t kCheckFailedStatus[] = L"暂时无法检查目标软件";

struct CheckJob {
    uint64_t serial = 0;  // which check this is; only the newest one's answer counts
    std::string token;
    std::string executableSha256;
    std::wstring executableName;
};

// Records the answer of check `serial`, unless a newer check started meanwhile or the target
// changed. Returns whether it was recorded.
bool ApplyCheckAnswer(const CheckJob& job, bool answered, bool blocked, const std::wstring& reason,
                      const std::wstring& failureText) {
    AppState& app = App();
    std::lock_guard<std::mutex> lock(app.stateMutex);
    TargetSelection& target = app.session.target;
    // An older check of the same program (a pick repeated, a login in between) may answer last; it
    // must not undo the newer result, so the serial decides, and the hash guards a target cleared
    // or replaced since.
    if (job.serial != app.blacklistCheckSerial || target.executable_sha256 != job.executableSha256) return false;
    target.check_ok = answered;
    target.blocked = answered && blocked;
    target.block_reason = answered ? reason : std::wstring();
    if (!answered) {
        app.statusText = kCheckFailedStatus;
        app.detailText = failureText;
    } else if (blocked) {
        app.statusText = L"该软件在黑名单中，不能使用";
        app.detailText = reason.empty() ? L"请更换目标软件，或联系管理员核对黑名单" : L"拦截原因：" + reason;
    } else {
        app.statusText = L"目标软件可以使用";
        app.detailText.clear();
    }
    return true;
}

void RunBlacklistCheck(std::unique_ptr<CheckJob> job) {
    const ApiResponse response = PostServiceAction(
        "app.check", BuildAppCheckBody(job->executableName, job->executableSha256), job->token, kCheckTimeoutMs);
    std::wstring failureText;
    const bool answered = EvaluateApiResponse(response, failureText);
    bool blocked = false;
    std::wstring reason;
    if (answered) {
        blocked = JsonGetBool(response.body, "blocked", false);
        reason = Utf8ToUtf16(JsonGetString(response.body, "reason"));
    }
    if (ApplyCheckAnswer(*job, answered, blocked, reason, failureText))
        PostToMainWindow(answered && blocked ? MSG_BLACKLIST_HIT : MSG_STATE_CHANGED);
}

// A check that cannot run must not leave "正在检查目标软件…" standing for ever.
void ReportCheckNotStarted(uint64_t serial, const wchar_t* detail) {
    AppState& app = App();
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        if (serial != app.blacklistCheckSerial) return;
        app.statusText = kCheckFailedStatus;
        app.detailText = detail;
    }
    PostToMainWindow(MSG_STATE_CHANGED);
}

}  // namespace

std::string BuildAppCheckBody(const std::wstring& executableName, const std::string& executableSha256) {
    return "{\"executable_name\":\"" + JsonEscape(Utf16ToUtf8(executableName)) + "\",\"executable_sha256\":\"" +
           JsonEscape(executableSha256) + "\"}";
}

void StartBlacklistCheck() {
    AppState& app = App();
    auto job = std::make_unique<CheckJob>();
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        TargetSelection& target = app.session.target;
        job->serial = ++app.blacklistCheckSerial;
        job->token = app.session.token;
        job->executableSha256 = target.executable_sha256;
        job->executableName = target.executable_name;
        target.check_ok = false;
        target.blocked = false;
        target.block_reason.clear();
        if (job->executableSha256.size() == 64) {
            app.statusText = job->token.empty() ? L"等待连接后检查目标软件" : L"正在检查目标软件…";
            app.detailText.clear();
        }
    }
    PostToMainWindow(MSG_STATE_CHANGED);
    // Without a session the next login checks again.
    if (job->token.empty() || job->executableSha256.size() != 64) return;
    if (job->executableName.empty()) {
        ReportCheckNotStarted(job->serial, L"目标软件没有可用的文件名，请重新选择点击位置");
        return;
    }
    const uint64_t serial = job->serial;
    if (!StartWorker([job = std::move(job)]() mutable { RunBlacklistCheck(std::move(job)); }))
        ReportCheckNotStarted(serial, L"无法启动检查任务，请重新选择点击位置");
}
