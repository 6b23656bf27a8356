// Slowing down password guessing without handing strangers a way to lock owners out.
// Every password check is counted twice: against the address tried (an e-mail address or a
// developer user name, whether or not such an account exists, so the answers tell nothing about
// which addresses are taken) and against the source address it came from. A few wrong passwords
// are free; after that each further check on the same key waits a delay that doubles with every
// failure, up to a short cap for an address (its owner waits at most that long) and a longer one
// for a source. The decision and the counting happen in one transaction under the key's row lock,
// so a parallel burst gets exactly as many checks as a sequence would; a correct password clears
// only the failures that had ended before it started, never those counted beside it.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "db.h"

namespace orvane {

struct GuardLimits {
  int64_t free_failures = 5;     // failures before any delay
  int64_t delay_cap_ms = 60000;  // longest delay between two checks
  int64_t window_ms = 3600000;   // failures older than this are forgotten
  int64_t first_delay_ms = 1000; // the first delay; each further failure doubles it
};

// Delay before the next check after `failures` counted failures (pure).
int64_t GuardDelayMs(int64_t failures, const GuardLimits &limits);

struct GuardTicket {
  int64_t id = 0;
  int64_t started_ms = 0;
};

enum class GuardDecision {
  kAllowed,  // the attempt is recorded as under way (it counts as a failure until finished otherwise)
  kWait,     // failures that have ended hold the key back: answer as for a wrong password
  kBusy,     // only checks still running hold it back: answer "busy, try again" (nothing is known yet)
};

// Caller is inside a Transaction. `ticket` is set when the decision is kAllowed.
GuardDecision BeginGuardedAttempt(Db &db, const std::string &key, const GuardLimits &limits, int64_t now_ms,
                                  GuardTicket &ticket);
// Caller is inside a Transaction. `failed`: the password was wrong. `clear_earlier`: the password
// was right, so failures on the key that ended before this attempt started are forgotten.
void FinishGuardedAttempt(Db &db, const std::string &key, const GuardTicket &t, bool failed, bool clear_earlier,
                          int64_t now_ms);
// The owner proved control of the account another way (a password reset by e-mail code).
void ForgetGuardedFailures(Db &db, const std::string &key);
// An attempt that never checked a password (the service was busy): it counts for nothing.
void CancelGuardedAttempt(Db &db, const GuardTicket &t, int64_t now_ms);

}  // namespace orvane
