#include "tasks/room_result.h"

#include <windows.h>

#include "core/app_state.h"
#include "core/clock.h"
#include "core/web_page.h"
#include "core/worker.h"
#include "net/json_text.h"
#include "net/service_api.h"
#include "net/startup_check.h"

namespace {

constexpr uint32_t kRoomResultTimeoutMs = 8000;
// The others report right after the instant too; a second gives most of them time to.
constexpr uint32_t kFirstAskDelayMs = 1000;
constexpr uint32_t kAskAgainMs = 1500;

std::wstring Count(int64_t value) { return std::to_wstring(value); }

// Writes the room's lines only while the status lines are still `shownStatus` / `shownDetail`: the
// following never overwrites what a later task or report put there.
bool ReplaceOwnLines(const std::wstring& shownStatus, const std::wstring& shownDetail, const RoomResultLines& lines,
                     const std::wstring& page) {
    AppState& app = App();
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        if (app.statusText != shownStatus || app.detailText != shownDetail) return false;
        app.statusText = lines.status;
        app.detailText = lines.detail;
        app.roomResultPage = page;
        app.roomResultStatus = page.empty() ? std::wstring() : lines.status;
    }
    PostToMainWindow(MSG_STATUS_CHANGED);
    return true;
}

}  // namespace

RoomResult ParseRoomResult(const std::string& body) {
    RoomResult r;
    // The summary's keys all come before the rows (the reader takes the first occurrence of a key).
    r.read = !JsonGetString(body, "code").empty();
    r.capacity = JsonGetInt64(body, "capacity", 0);
    r.joined = JsonGetInt64(body, "joined", 0);
    r.reported = JsonGetInt64(body, "reported", 0);
    r.clicked = JsonGetInt64(body, "clicked", 0);
    r.waiting = JsonGetInt64(body, "waiting_count", 0);
    r.complete = JsonGetBool(body, "complete", false);
    r.notClickedList = Utf8ToUtf16(JsonGetString(body, "not_clicked_list"));
    r.spreadMs = JsonGetInt64(body, "spread_ms", -1);
    r.spreadBoundMs = JsonGetInt64(body, "spread_bound_ms", -1);
    const std::wstring page = Utf8ToUtf16(JsonGetString(body, "page_url"));
    // Only a web page goes to the shell: anything else in the answer would be run or opened here.
    if (IsWebAddress(page)) r.pageUrl = page;
    return r;
}

RoomResultLines DescribeRoomResult(const RoomResult& r, const std::wstring& ownStatus) {
    RoomResultLines lines;
    lines.status = L"房间结果：" + Count(r.joined) + L" 台中 " + Count(r.clicked) + L" 台已点击";
    // Each machine measured its own click against its own alignment: the words say so.
    if (r.clicked >= 2 && r.spreadMs >= 0) lines.status += L"，各机自测彼此相差约 " + Count(r.spreadMs) + L" 毫秒";
    if (!r.notClickedList.empty()) lines.status += L"；机器 " + r.notClickedList + L" 未点击";
    if (!r.complete && r.waiting > 0) lines.status += L"；" + Count(r.waiting) + L" 台尚未报告";

    lines.detail = L"本机：" + ownStatus;
    // Shown uncertainties that allow more than the measured spread: the spread is not claimed smaller.
    if (r.clicked >= 2 && r.spreadBoundMs > r.spreadMs && r.spreadMs >= 0)
        lines.detail += L"；计入各机显示的对时误差，实际最多可能相差 " + Count(r.spreadBoundMs) + L" 毫秒";
    if (r.capacity > r.joined) lines.detail += L"；房间 " + Count(r.capacity) + L" 台，只有 " + Count(r.joined) + L" 台加入";
    return lines;
}

void FollowRoomResult(const std::string& token, int64_t taskId, const std::wstring& ownStatus,
                      const std::wstring& ownDetail) {
    // The summary alone: the rows are for the page.
    const std::string body = "{\"task_id\":" + std::to_string(taskId) + ",\"rows\":false}";
    const int64_t endUs = MonotonicUs() + kRoomResultFollowMs * 1000;
    std::wstring shownStatus = ownStatus, shownDetail = ownDetail;
    uint32_t pauseMs = kFirstAskDelayMs;
    int failed = 0;
    for (;;) {
        Sleep(pauseMs);
        const ApiResponse response = PostServiceAction("room.result", body, token, kRoomResultTimeoutMs);
        const AnswerVerdict verdict = JudgeServiceAnswer(response);
        if (verdict == AnswerVerdict::Accepted) {
            failed = 0;
            const RoomResult result = ParseRoomResult(response.body);
            if (!result.read) return;
            const RoomResultLines lines = DescribeRoomResult(result, ownStatus);
            if (!ReplaceOwnLines(shownStatus, shownDetail, lines, result.pageUrl)) return;
            shownStatus = lines.status;
            shownDetail = lines.detail;
            if (result.complete) return;
            pauseMs = kAskAgainMs;
        } else if (verdict == AnswerVerdict::Refused && response.httpStatus != 409) {
            // A service that does not offer the room's result (an older one) or refuses it: the
            // machine's own outcome stays as it was shown.
            return;
        } else {
            // On the way, or the service's clock not yet at the instant: asked again.
            pauseMs = RetryPauseMs(++failed);
        }
        if (MonotonicUs() + static_cast<int64_t>(pauseMs) * 1000 > endUs) return;
    }
}

void OpenRoomResultPage() {
    std::wstring page;
    {
        AppState& app = App();
        std::lock_guard<std::mutex> lock(app.stateMutex);
        if (app.statusText == app.roomResultStatus) page = app.roomResultPage;
    }
    if (page.empty()) return;
    auto offer = [page](bool opened) {
        AppState& app = App();
        {
            std::lock_guard<std::mutex> lock(app.stateMutex);
            app.roomPageToShow = page;
            app.roomPageOpened = opened;
        }
        PostToMainWindow(MSG_STATE_CHANGED);
    };
    // Without a thread for the shell the address is still offered to copy.
    if (!StartWorker([offer, page] { offer(OpenWebPage(page)); })) offer(false);
}
