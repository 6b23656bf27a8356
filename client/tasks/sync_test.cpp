#include "tasks/sync_test.h"

#include <memory>

#include "core/form_fields.h"
#include "core/worker.h"
#include "net/json_text.h"
#include "net/service_api.h"
#include "target/task_gate.h"
#include "tasks/click_task.h"
#include "tasks/task_request.h"
#include "timesync/time_of_day.h"

namespace {

constexpr uint32_t kSyncTestTimeoutMs = 8000;

struct SyncTestJob {
    ClickTaskContext sentWith;
    int64_t executeAtMs = 0;
    std::string taskFields;
};

void RunSyncTest(std::unique_ptr<SyncTestJob> job) {
    ApiResponse answer = PostServiceAction("match.create", SyncTestBody(job->executeAtMs, job->taskFields),
                                           job->sentWith.token, kSyncTestTimeoutMs);
    std::wstring message;
    if (!EvaluateApiResponse(answer, message)) return FailTaskRequest(L"同步测试失败", std::move(message));

    // The test is paid for: the balance the service now holds is shown whatever follows, but only to
    // the session that paid; an account signed in since keeps its own balance and rights.
    AppState& app = App();
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        if (app.session.logged_in && app.session.token == job->sentWith.token) {
            app.session.credits = JsonGetInt64(answer.body, "credits", app.session.credits);
            app.session.developer_user = JsonGetBool(answer.body, "developer_user", app.session.developer_user);
        }
    }
    PostToMainWindow(MSG_STATE_CHANGED);

    const TaskAnswer task = ParseTaskAnswer(answer.body);
    if (!task.usable()) return FailTaskRequest(L"同步测试失败", kNoTaskIdDetail);
    StartReservedClickTask(task.taskId, task.executeAtMs, std::move(job->sentWith));
}

}  // namespace

std::string SyncTestBody(int64_t executeAtMs, const std::string& taskFields) {
    return "{\"execute_at_ms\":" + std::to_string(executeAtMs) + "," + taskFields + "}";
}

void StartSyncTest() {
    if (RefuseWhileTaskBusy()) return;
    if (!PurposeGate()) return;
    const std::wstring timeText = ReadFormField(FormField::TestTime);
    int64_t executeAt = 0;
    if (ExplainInputFaults(
            {FaultOfClickTime(FormField::TestTime, timeText, UnifiedNowMs(), kSyncTestLeadMs, &executeAt)}))
        return;
    TargetSelection confirmed;
    if (!ConfirmTaskStart(L"开始同步测试", &confirmed, ClickTimeLine(timeText, executeAt - kSyncTestLeadMs),
                          ScreenSaverWarningBefore(executeAt)))
        return;
    // The box may have stood open a while: the time must still leave the test its lead.
    if (ExplainInputFaults(
            {FaultOfClickTime(FormField::TestTime, timeText, UnifiedNowMs(), kSyncTestLeadMs, &executeAt)}))
        return;
    // Signed out (the session ended meanwhile): nothing to say, the sign-in form is on its way.
    std::optional<TaskRequestStart> start = PrepareTaskRequest(confirmed, false);
    if (!start) return;
    auto job = std::make_unique<SyncTestJob>();
    job->sentWith = std::move(start->sentWith);
    job->executeAtMs = executeAt;
    job->taskFields = std::move(start->taskFields);
    SetStatus(L"正在开始同步测试…", L"");
    if (!StartWorker([job = std::move(job)]() mutable { RunSyncTest(std::move(job)); }))
        FailTaskRequest(L"同步测试失败", kTaskNotStartedText);
}
