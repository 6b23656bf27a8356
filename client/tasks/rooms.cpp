#include "tasks/rooms.h"

#include <cwctype>
#include <memory>

#include "core/form_fields.h"
#include "core/worker.h"
#include "net/json_text.h"
#include "net/service_api.h"
#include "target/target_identity.h"
#include "target/task_gate.h"
#include "tasks/click_task.h"
#include "tasks/task_request.h"
#include "timesync/time_of_day.h"

namespace {

constexpr uint32_t kRoomRequestTimeoutMs = 8000;

// Creating and joining differ only in the first request, its texts and the box of bad input.
struct RoomJob {
    bool create = false;        // room.create, otherwise room.join
    std::string code;           // upper-cased, valid
    int64_t executeAtMs = 0;    // create only
    int64_t capacity = 0;       // create only
    std::string body;           // the first request's body, made once the target is checked again
    ClickTaskContext sentWith;
    std::string taskFields;
    const wchar_t* requestFailed;   // "创建房间失败" / "加入房间失败"
    const wchar_t* confirmFailed;   // "房间准备失败" / "加入后的准备失败"
    const wchar_t* waiting;         // "房间已创建，等待一起点击" / "已加入房间，等待一起点击"
};

void RunRoomJob(std::unique_ptr<RoomJob> job) {
    ApiResponse answer = PostServiceAction(job->create ? "room.create" : "room.join", job->body, job->sentWith.token, kRoomRequestTimeoutMs);
    std::wstring message;
    if (!EvaluateApiResponse(answer, message)) return FailTaskRequest(job->requestFailed, std::move(message));
    const TaskAnswer task = ParseTaskAnswer(answer.body);
    // Confirming task 0 would only earn a second, less telling error from the service.
    if (!task.usable()) return FailTaskRequest(job->requestFailed, kNoTaskIdDetail);

    // The seat is paid for: a confirmation that fails on the way is sent again until the instant.
    if (!PostUntilSettled("room.confirm", RoomConfirmBody(task.taskId, job->taskFields), job->sentWith.token,
                          RetryBudgetMs(task.executeAtMs, UnifiedNowMs()), job->create ? L"正在创建房间…" : L"正在加入房间…",
                          answer, message))
        return FailTaskRequest(job->confirmFailed, std::move(message));

    SetStatus(job->waiting, L"");
    StartReservedClickTask(task.taskId, task.executeAtMs, std::move(job->sentWith));
}

// What every room start does once the card's own input is good: sign-in, target and slot, the
// status line, the worker.
void StartRoomJob(std::unique_ptr<RoomJob> job, const TargetSelection& confirmed) {
    std::optional<TaskRequestStart> start = PrepareTaskRequest(confirmed, true);
    if (!start) return;
    job->sentWith = std::move(start->sentWith);
    job->sentWith.roomTask = true;
    job->taskFields = std::move(start->taskFields);
    job->body = job->create ? RoomCreateBody(job->code, job->executeAtMs, job->capacity, job->taskFields)
                            : RoomJoinBody(job->code, job->taskFields);
    WriteFormField(job->create ? FormField::RoomCode : FormField::JoinCode, Utf8ToUtf16(job->code));
    SetStatus(job->create ? L"正在创建房间…" : L"正在加入房间…", L"");
    const wchar_t* failed = job->requestFailed;
    if (!StartWorker([job = std::move(job)]() mutable { RunRoomJob(std::move(job)); }))
        FailTaskRequest(failed, kTaskNotStartedText);
}

}  // namespace

std::string NormaliseRoomCode(const std::wstring& typed) {
    std::string code = Utf16ToUtf8(typed);
    for (char& c : code)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return code;
}

bool IsValidRoomCode(const std::string& code) {
    if (code.size() < 4 || code.size() > 16) return false;
    for (char c : code)
        if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-')) return false;
    return true;
}

int64_t ParseParticipants(const std::wstring& text) {
    size_t i = 0;
    while (i < text.size() && std::iswspace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) negative = text[i++] == L'-';
    int64_t value = 0;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
        // Anything this long is far outside the allowed range; stop before it can overflow.
        if (value > 1000000000000LL) break;
        value = value * 10 + (text[i] - L'0');
    }
    return negative ? -value : value;
}

bool ParticipantsAllowed(int64_t participants) { return participants >= 2 && participants <= 100000; }

std::optional<std::string> DeriveRoomCode(const std::string& email, int64_t unifiedNowMs) {
    const std::string digest = HashBytesSha256(email + "|" + std::to_string(unifiedNowMs));
    if (digest.size() != 64) return std::nullopt;
    std::string code;
    for (size_t i = 0; i < 8; ++i) {
        const int value = std::stoi(digest.substr(i * 2, 2), nullptr, 16);
        code.push_back(kRoomCodeAlphabet[value % kRoomCodeAlphabetSize]);
    }
    return code;
}

std::string RoomCreateBody(const std::string& code, int64_t executeAtMs, int64_t capacity,
                           const std::string& taskFields) {
    return "{\"room_code\":\"" + JsonEscape(code) + "\",\"execute_at_ms\":" + std::to_string(executeAtMs) +
           ",\"capacity\":" + std::to_string(capacity) + "," + taskFields + "}";
}

std::string RoomJoinBody(const std::string& code, const std::string& taskFields) {
    return "{\"room_code\":\"" + JsonEscape(code) + "\"," + taskFields + "}";
}

std::string RoomConfirmBody(int64_t taskId, const std::string& taskFields) {
    return "{\"task_id\":" + std::to_string(taskId) + "," + taskFields + "}";
}

void GenerateRoomCode() {
    AppState& app = App();
    bool signedIn;
    std::string email;
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        signedIn = app.session.logged_in;
        email = app.session.email;
    }
    if (!signedIn || email.empty()) return ShowMessage(L"请稍候，正在登录并对准时间。", L"澄序", MB_ICONWARNING);
    const std::optional<std::string> code = DeriveRoomCode(email, UnifiedNowMs());
    if (!code) return ShowMessage(L"房间号生成失败，请重试。", L"澄序", MB_ICONERROR);
    WriteFormField(FormField::RoomCode, Utf8ToUtf16(*code));
    SetStatus(L"已生成 8 位随机房间号", L"");
}

void StartCreateRoom() {
    if (RefuseWhileTaskBusy()) return;
    // The fields are disabled until a purpose is saved: ask for it before reading them.
    if (!PurposeGate()) return;
    const std::string code = NormaliseRoomCode(ReadFormField(FormField::RoomCode));
    const std::wstring participantsText = ReadFormField(FormField::Participants);
    const std::wstring timeText = ReadFormField(FormField::ClickTime);
    int64_t executeAt = 0;
    if (ExplainInputFaults({FaultOfRoomCode(FormField::RoomCode, code), FaultOfParticipants(participantsText),
                            FaultOfClickTime(FormField::ClickTime, timeText, UnifiedNowMs(), kRoomLeadMs, &executeAt)}))
        return;

    TargetSelection confirmed;
    if (!ConfirmTaskStart(L"创建房间", &confirmed, ClickTimeLine(timeText, executeAt - kRoomLeadMs),
                          ScreenSaverWarningBefore(executeAt)))
        return;
    // The box may have stood open a while: the time must still leave the room its lead.
    if (ExplainInputFaults({FaultOfClickTime(FormField::ClickTime, timeText, UnifiedNowMs(), kRoomLeadMs, &executeAt)}))
        return;

    auto job = std::make_unique<RoomJob>();
    job->create = true;
    job->code = code;
    job->executeAtMs = executeAt;
    job->capacity = ParseParticipants(participantsText);
    job->requestFailed = L"创建房间失败";
    job->confirmFailed = L"房间准备失败";
    job->waiting = L"房间已创建，等待一起点击";
    StartRoomJob(std::move(job), confirmed);
}

void StartJoinRoom() {
    if (RefuseWhileTaskBusy()) return;
    if (!PurposeGate()) return;
    const std::string code = NormaliseRoomCode(ReadFormField(FormField::JoinCode));
    if (ExplainInputFaults({FaultOfRoomCode(FormField::JoinCode, code)})) return;

    TargetSelection confirmed;
    if (!ConfirmTaskStart(L"加入房间", &confirmed, kJoinClickTimeLine)) return;

    auto job = std::make_unique<RoomJob>();
    job->code = code;
    job->requestFailed = L"加入房间失败";
    job->confirmFailed = L"加入后的准备失败";
    job->waiting = L"已加入房间，等待一起点击";
    StartRoomJob(std::move(job), confirmed);
}

std::optional<InputFault> FaultOfRoomCode(FormField field, const std::string& code) {
    if (IsValidRoomCode(code)) return std::nullopt;
    return InputFault{field, false, kRoomCodeFaultText};
}

std::optional<InputFault> FaultOfParticipants(const std::wstring& text) {
    if (ParticipantsAllowed(ParseParticipants(text))) return std::nullopt;
    return InputFault{FormField::Participants, false, kParticipantsFaultText};
}
