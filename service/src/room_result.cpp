#include "room_result.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace orvane {
namespace {

MachineState StateOf(const Task &t, int64_t now_ms, int64_t claim_expiry_ms) {
  if (t.result == "success") return MachineState::kClicked;
  // A report that came after the instruction ran out is kept as "expired" and not taken as a click:
  // for the room that machine missed the instant, whatever it did.
  if (t.result == "expired" || (!t.result.empty() && t.missed_instant.value_or(false))) return MachineState::kMissed;
  if (!t.result.empty()) return MachineState::kFailed;
  int64_t last_report_ms = t.expires_at_ms.value_or(t.execute_at_ms + claim_expiry_ms);
  return now_ms > last_report_ms ? MachineState::kNoReport : MachineState::kPending;
}

}  // namespace

const char *MachineStateName(MachineState state) {
  switch (state) {
    case MachineState::kClicked: return "clicked";
    case MachineState::kFailed: return "failed";
    case MachineState::kMissed: return "missed";
    case MachineState::kPending: return "pending";
    case MachineState::kNoReport: return "no_report";
  }
  return "pending";
}

std::string RoomResult::NotClickedList() const {
  std::string out;
  for (const auto &m : machines) {
    if (m.state == MachineState::kClicked || m.state == MachineState::kPending) continue;
    if (!out.empty()) out += "、";
    out += std::to_string(m.number);
  }
  return out;
}

const RoomMachine *RoomResult::Machine(int64_t task_id) const {
  for (const auto &m : machines)
    if (m.task_id == task_id) return &m;
  return nullptr;
}

RoomResult ReadRoomResult(const Room &room, const std::vector<Task> &tasks, int64_t now_ms, int64_t claim_expiry_ms) {
  RoomResult r;
  r.room = room;
  std::vector<MeasuredClick> clicks;
  bool every_click_has_uncertainty = true;
  for (const Task &t : tasks) {
    RoomMachine m;
    m.number = static_cast<int64_t>(r.machines.size()) + 1;
    m.task_id = t.id;
    m.state = StateOf(t, now_ms, claim_expiry_ms);
    m.detail = t.result_detail;
    m.shown_uncertainty_ms = t.shown_uncertainty_ms;
    ++r.joined;
    if (t.confirmed) ++r.confirmed;
    if (!t.nonce.empty()) ++r.claimed;
    if (!t.result.empty()) ++r.reported;
    switch (m.state) {
      case MachineState::kClicked:
        ++r.clicked;
        // Only a click has a timing error worth showing; a machine that did not click sends one too.
        m.error_ms = t.client_error_ms.value_or(0);
        clicks.push_back({*m.error_ms, t.shown_uncertainty_ms.value_or(0)});
        every_click_has_uncertainty = every_click_has_uncertainty && t.shown_uncertainty_ms.has_value();
        break;
      case MachineState::kMissed: ++r.missed; break;
      case MachineState::kFailed: ++r.failed; break;
      case MachineState::kPending: ++r.waiting; break;
      case MachineState::kNoReport: ++r.silent; break;
    }
    r.machines.push_back(std::move(m));
  }
  r.complete = r.waiting == 0;
  if (clicks.size() >= 2) {
    auto [low, high] = std::minmax_element(clicks.begin(), clicks.end(), [](const MeasuredClick &a, const MeasuredClick &b) {
      return a.error_ms < b.error_ms;
    });
    r.spread_ms = high->error_ms - low->error_ms;
    if (every_click_has_uncertainty) r.spread_bound_ms = SpreadBound(clicks);
  }
  return r;
}

std::optional<int64_t> SpreadBound(const std::vector<MeasuredClick> &clicks) {
  if (clicks.size() < 2) return std::nullopt;
  // |e_i − e_j| + u_i + u_j is the larger of (e_i + u_i) + (u_j − e_j) and the same with i and j
  // swapped, so the largest over pairs is the largest a_i + b_j over i ≠ j with a = e + u and
  // b = u − e: the best a with the best b, or, when one machine holds both, the better of that a with
  // the second b and the second a with that b. One pass instead of every pair (rooms hold 100,000).
  struct Best {
    int64_t first = INT64_MIN, second = INT64_MIN;
    size_t at = 0;
    void Offer(int64_t v, size_t i) {
      if (v > first) {
        second = first;
        first = v;
        at = i;
      } else if (v > second) {
        second = v;
      }
    }
  } a, b;
  for (size_t i = 0; i < clicks.size(); ++i) {
    a.Offer(clicks[i].error_ms + clicks[i].uncertainty_ms, i);
    b.Offer(clicks[i].uncertainty_ms - clicks[i].error_ms, i);
  }
  if (a.at != b.at) return a.first + b.first;
  return std::max(a.first + b.second, a.second + b.first);
}

std::string UtcTimeText(int64_t ms) {
  int64_t secs = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
  time_t t = static_cast<time_t>(secs);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms - secs * 1000));
  return text;
}

}  // namespace orvane
