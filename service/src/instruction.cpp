#include "instruction.h"

#include <algorithm>

#include "json_util.h"

namespace orvane {

std::string BuildInstructionJson(const Instruction &in) {
  OJson j;
  j["taskId"] = in.task_id;
  j["userId"] = in.user_id;
  j["action"] = "single_click";
  j["targetX"] = in.target_x;
  j["targetY"] = in.target_y;
  j["executableSha256"] = in.executable_sha256;
  j["executeAtMs"] = in.execute_at_ms;
  j["expiresAtMs"] = in.expires_at_ms;
  j["nonce"] = in.nonce;
  return DumpJson(j);
}

ClaimSchedule ScheduleClaim(int64_t now_ms, int64_t execute_at_ms, int64_t release_lead_ms,
                            int64_t retry_after_ms, int64_t expiry_ms) {
  ClaimSchedule s;
  s.release_at_ms = execute_at_ms - release_lead_ms;
  if (now_ms > execute_at_ms + expiry_ms) {
    s.phase = ClaimPhase::kExpired;
  } else if (now_ms >= s.release_at_ms) {
    s.phase = ClaimPhase::kReleased;
  } else {
    s.phase = ClaimPhase::kWaiting;
    s.retry_at_ms = std::min(s.release_at_ms, now_ms + retry_after_ms);
  }
  return s;
}

}  // namespace orvane
