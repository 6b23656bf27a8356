// What room and synchronisation-test requests share: the member list that names the purpose and
// the target, the click-time rule, the answer that names this machine's task, and the start on the
// user-interface thread that ends in one detached worker holding the task slot.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/app_state.h"
#include "net/service_api.h"
#include "core/form_fields.h"
#include "target/desktop_system.h"
#include "tasks/click_task_context.h"

// client_platform, purpose, target_x, target_y, executable_name, executable_sha256: the members of
// every room and test request, without braces.
std::string TaskFieldsText(const std::string& purposeKey, POINT clickPoint, const std::wstring& executableName,
                           const std::string& executableSha256);

// The member list from the target as it stands now, or nothing when that is no longer the target
// the user confirmed (another pick, or a blacklist answer that came in meanwhile). Takes the state
// lock itself.
std::optional<std::string> BuildTaskFields(const TargetSelection& confirmed);

// How far ahead a click time must lie when the request starts.
inline constexpr int64_t kRoomLeadMs = 15000;
inline constexpr int64_t kSyncTestLeadMs = 10000;
// True when the time could be read and lies at least `leadMs` after `unifiedNowMs` (equality passes).
bool ClickTimeFarEnough(std::optional<int64_t> executeAtMs, int64_t unifiedNowMs, int64_t leadMs);

// ---- the cards' input, checked before the confirmation box so that a "是" is never asked for input
// that would then be refused. Each faulty field has its own message. -------------------------------

struct InputFault {
    FormField field;
    bool timeFault;  // the click time (caption "时间错误"), otherwise the field's content ("输入错误")
    std::wstring text;
};
inline constexpr wchar_t kClickTimeUnreadableText[] = L"点击时间需要按“时:分:秒”填写，例如 14:30:00。";
// The room's or the test's rule for a time that can be read but lies too early.
std::wstring ClickTimeTooEarlyText(int64_t leadMs);

// The typed time of day against the unified time now; `executeAtMs` receives the moment when it is
// good.
std::optional<InputFault> FaultOfClickTime(FormField field, const std::wstring& text, int64_t unifiedNowMs,
                                         int64_t leadMs, int64_t* executeAtMs = nullptr);

// The one box for all faults found (each on its own line; caption "时间错误" when only the time is
// wrong, else "输入错误"), then the keyboard focus in the first faulty field. True when there was a
// fault. User-interface thread.
bool ExplainInputFaults(const std::vector<std::optional<InputFault>>& checks);

// The line of the confirmation box that says when the click happens: "今天 14:15:16".
std::wstring ClickTimeLine(const std::wstring& typedTime);
// The same, with the moment by which the confirmation box must be answered (unified ms, the instant
// less the lead the task needs): a box left open past it is refused afterwards, so the box says so.
std::wstring ClickTimeLine(const std::wstring& typedTime, int64_t answerByMs);

// The screen saver's warning for a click at `executeAtMs` (unified), empty when it does not come first.
std::wstring ScreenSaverWarningBefore(int64_t executeAtMs);
std::wstring ScreenSaverWarningBefore(int64_t executeAtMs, const DesktopSystem& system);

// The answer that assigns this machine its task.
struct TaskAnswer {
    int64_t taskId = 0;       // 0 when missing
    int64_t executeAtMs = 0;  // 0 when missing
    // Task ids start at 1: a missing, zero or negative id names no task.
    bool usable() const { return taskId > 0; }
};
TaskAnswer ParseTaskAnswer(const std::string& body);
inline constexpr wchar_t kNoTaskIdDetail[] = L"服务没有返回有效的任务编号，请稍后重试";

inline constexpr wchar_t kTaskAlreadyRunningStatus[] = L"已有操作正在等待，请勿重复开始";
// A task or request whose worker could not be started.
inline constexpr wchar_t kTaskNotStartedText[] = L"本次操作未能启动，请重新开始";

// The one task slot (`taskBusy`). A room or test request takes it on the user-interface thread before
// it asks the service for anything, so that no second request is charged for a task that could never
// run; it gives the slot back when it fails, or hands it to its click task.
bool ReserveTaskSlot();
void ReleaseTaskSlot();

// While a task waits or a request is on its way to the service, a new one is refused before it
// costs anything: the status says so. True when it refused.
bool RefuseWhileTaskBusy();

// The rest of a start once the user has confirmed: the session's token and the member list of the
// confirmed target, with the task slot taken. Nothing (and nothing taken) when the user is not
// signed in (the box "尚未连接服务，请稍后重试。" when `explainSignedOut`), the target changed, or a
// task is busy.
struct TaskRequestStart {
    ClickTaskContext sentWith;  // the session's token and keys, the confirmed point and program
    std::string taskFields;
};
std::optional<TaskRequestStart> PrepareTaskRequest(const TargetSelection& confirmed, bool explainSignedOut);

// How long a request may be sent again before `deadlineMs` (unified) passes; a minute when no
// deadline is known (0 or below), and nothing (one attempt) once it has passed.
int64_t RetryBudgetMs(int64_t deadlineMs, int64_t unifiedNowMs);

// Sends `action` until the service accepts or refuses it, pausing with RetryPauseMs between attempts
// that fail on the way, for at most `budgetMs` (monotonic; at least one attempt is made). While it
// retries, the status lines read `status` and RetryingDetail. True when accepted; otherwise `message`
// holds the refusal or the last failure, and `answer` the last response.
bool PostUntilSettled(const char* action, const std::string& body, const std::string& token, int64_t budgetMs,
                      const std::wstring& status, ApiResponse& answer, std::wstring& message);

// A failed request: the slot is free again, no countdown, the status names the step.
void FailTaskRequest(const wchar_t* status, std::wstring detail);
