// The signed one-shot click instruction and the release schedule of a task.
#pragma once
#include <cstdint>
#include <string>

namespace orvane {

struct Instruction {
  int64_t task_id = 0;
  int64_t user_id = 0;
  int64_t target_x = 0;
  int64_t target_y = 0;
  std::string executable_sha256;
  int64_t execute_at_ms = 0;
  int64_t expires_at_ms = 0;
  std::string nonce;
};

// Flat JSON without white space, members in the order the client documents:
// taskId, userId, action, targetX, targetY, executableSha256, executeAtMs, expiresAtMs, nonce.
std::string BuildInstructionJson(const Instruction &in);

enum class ClaimPhase { kWaiting, kReleased, kExpired };

struct ClaimSchedule {
  ClaimPhase phase = ClaimPhase::kWaiting;
  int64_t release_at_ms = 0;
  int64_t retry_at_ms = 0;  // only while waiting: when to ask again
};

// Released `release_lead_ms` before the click; expired `expiry_ms` after it.
// While waiting the retry hint is the release moment, but never more than `retry_after_ms` away.
ClaimSchedule ScheduleClaim(int64_t now_ms, int64_t execute_at_ms, int64_t release_lead_ms,
                            int64_t retry_after_ms, int64_t expiry_ms);

}  // namespace orvane
