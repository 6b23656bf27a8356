// A room's outcome as its participants see it: each machine's state, the counts, and how far apart the
// clicks were. Read from the room's tasks without the database or the clock, so that the action, the
// admin table and the result page show one and the same reading.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "store.h"

namespace orvane {

enum class MachineState { kClicked, kFailed, kMissed, kPending, kNoReport };
// "clicked", "failed", "missed", "pending", "no_report".
const char *MachineStateName(MachineState state);

struct RoomMachine {
  int64_t number = 0;   // 1, 2, … in join order
  int64_t task_id = 0;  // never shown; tells the caller's own machine
  MachineState state = MachineState::kPending;
  std::string detail;
  std::optional<int64_t> error_ms;              // as the machine measured itself
  std::optional<int64_t> shown_uncertainty_ms;  // the alignment uncertainty it showed its person
};

struct RoomResult {
  Room room;
  int64_t joined = 0, confirmed = 0, claimed = 0, reported = 0, clicked = 0;
  int64_t missed = 0, failed = 0, waiting = 0, silent = 0;  // machines per state besides clicked
  bool complete = false;  // no further report can change what is shown
  std::optional<int64_t> spread_ms;
  std::optional<int64_t> spread_bound_ms;
  std::vector<RoomMachine> machines;

  // Numbers of the machines that did not click (missed, failed, no report), "2、3"; "" when none.
  std::string NotClickedList() const;
  const RoomMachine *Machine(int64_t task_id) const;
};

// `tasks` are the room's, in join order. A task not yet reported may still be while its instruction
// is valid: until its expiry when released, else until `claim_expiry_ms` after the instant (the
// moment after which it can be neither confirmed nor claimed).
RoomResult ReadRoomResult(const Room &room, const std::vector<Task> &tasks, int64_t now_ms, int64_t claim_expiry_ms);

// How far apart two clicks may really have been: the largest |e_i − e_j| + u_i + u_j over pairs of
// clicked machines with their measured errors e and shown uncertainties u. Nothing for fewer than two.
struct MeasuredClick {
  int64_t error_ms = 0;
  int64_t uncertainty_ms = 0;
};
std::optional<int64_t> SpreadBound(const std::vector<MeasuredClick> &clicks);

// "2026-12-08 10:00:00.123": milliseconds since 1970 as a UTC calendar time.
std::string UtcTimeText(int64_t ms);

}  // namespace orvane
