// The room's result page (GET /room/<token>): plain HTML and inline SVG, no script, readable on a
// phone. Data in, page out; the route looks the room up and passes what it read.
#pragma once
#include <string>

#include "room_result.h"

namespace orvane {

std::string RoomResultPageHtml(const RoomResult &r);
// The link is right but the instant has not come (the service's clock was set back since).
std::string RoomNotYetPageHtml(const Room &room);
std::string RoomUnknownPageHtml();

// The room's instant as people in China read it: "2026-12-08 18:00:00.000（北京时间）".
std::string BeijingTimeText(int64_t ms);

}  // namespace orvane
