// After a room's click: what the whole room did, as the service holds it from every machine's report.
// Each machine's error is its own measurement against its own alignment, so the words say so and never
// claim the machines closer together than their shown uncertainties allow.
#pragma once

#include <cstdint>
#include <string>

// The service's answer to "room.result" (only the summary; the page shows the rows).
struct RoomResult {
    bool read = false;  // the answer named the room
    int64_t capacity = 0;
    int64_t joined = 0;
    int64_t reported = 0;
    int64_t clicked = 0;
    int64_t waiting = 0;  // may still report
    bool complete = false;  // every machine reported, or none still can
    std::wstring notClickedList;  // machine numbers, "2、3"
    int64_t spreadMs = -1;       // max − min of the clicked machines' own errors; -1 below two clicks
    int64_t spreadBoundMs = -1;  // how far apart they may really have been; -1 when not known
    std::wstring pageUrl;        // the result page (only a web address is kept)
};
RoomResult ParseRoomResult(const std::string& body);

struct RoomResultLines {
    std::wstring status;
    std::wstring detail;
};
// The status lines for the room's result; `ownStatus` is what this machine's own outcome read.
RoomResultLines DescribeRoomResult(const RoomResult& result, const std::wstring& ownStatus);

inline constexpr wchar_t kRoomResultButtonText[] = L"查看房间结果";
// How long after its own outcome a machine keeps asking for the others' reports (ms).
inline constexpr int64_t kRoomResultFollowMs = 15000;

// Asks for the room's result on the retry rhythm until every machine has reported or the follow time
// has passed, showing each answer while the status lines are still the ones it wrote (a new task, a
// sign-out or any other report takes them over, and the following ends). Runs on the task's worker.
void FollowRoomResult(const std::string& token, int64_t taskId, const std::wstring& ownStatus,
                      const std::wstring& ownDetail);

// "查看房间结果": opens the page shown with the status line on a worker; the main window then shows
// its address to copy, as it does for a payment page.
void OpenRoomResultPage();
