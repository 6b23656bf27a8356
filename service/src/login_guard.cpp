#include "login_guard.h"

#include <algorithm>
#include <atomic>

namespace orvane {

int64_t GuardDelayMs(int64_t failures, const GuardLimits &limits) {
  if (failures < limits.free_failures) return 0;
  int64_t doublings = std::min<int64_t>(failures - limits.free_failures, 30);
  int64_t delay = limits.first_delay_ms;
  for (int64_t i = 0; i < doublings && delay < limits.delay_cap_ms; ++i) delay *= 2;
  return std::min<int64_t>(limits.delay_cap_ms, delay);
}

GuardDecision BeginGuardedAttempt(Db &db, const std::string &key, const GuardLimits &limits, int64_t now_ms,
                                  GuardTicket &ticket) {
  LockKey(db, "guard:" + key, now_ms);
  // Now and then forget old attempts of every key, so abandoned keys do not pile up.
  static std::atomic<int> since_sweep{0};
  if (++since_sweep >= 500) {
    since_sweep = 0;
    db.Prepare("DELETE FROM login_attempts WHERE started_ms <= ?1").Bind(1, now_ms - 2 * limits.window_ms).Run();
    db.Prepare("DELETE FROM key_locks WHERE touched_ms <= ?1 AND key <> ?2")
        .Bind(1, now_ms - int64_t{24 * 3600 * 1000})
        .Bind(2, "guard:" + key)
        .Run();
  }
  db.Prepare("DELETE FROM login_attempts WHERE key = ?1 AND started_ms <= ?2")
      .Bind(1, key)
      .Bind(2, now_ms - limits.window_ms)
      .Run();
  // Checks still running count as failures, so a parallel burst gets no more checks than a
  // sequence; but a refusal that only they cause is "busy", not "wrong".
  int64_t failed = 0, running = 0, last_ms = 0, last_failed_ms = 0;
  {
    Stmt s = db.Prepare(
        "SELECT COALESCE(SUM(failed), 0), COALESCE(SUM(CASE WHEN finished_ms IS NULL THEN 1 ELSE 0 END), 0), "
        "COALESCE(MAX(started_ms), 0), COALESCE(MAX(CASE WHEN failed = 1 THEN started_ms ELSE 0 END), 0) "
        "FROM login_attempts WHERE key = ?1 AND cleared = 0 AND (failed = 1 OR finished_ms IS NULL)");
    s.Bind(1, key);
    if (s.Step()) {
      failed = s.Int(0);
      running = s.Int(1);
      last_ms = s.Int(2);
      last_failed_ms = s.Int(3);
    }
  }
  int64_t delay = GuardDelayMs(failed + running, limits);
  if (delay > 0 && now_ms < last_ms + delay) {
    int64_t delay_by_failures = GuardDelayMs(failed, limits);
    bool failures_hold = delay_by_failures > 0 && now_ms < last_failed_ms + delay_by_failures;
    return failures_hold || running == 0 ? GuardDecision::kWait : GuardDecision::kBusy;
  }
  Stmt ins = db.Prepare("INSERT INTO login_attempts(key, started_ms) VALUES (?1, ?2) RETURNING id");
  ins.Bind(1, key).Bind(2, now_ms);
  if (!ins.Step()) throw DbError("database: login attempt was not stored");
  ticket = GuardTicket{ins.Int(0), now_ms};
  return GuardDecision::kAllowed;
}

void FinishGuardedAttempt(Db &db, const std::string &key, const GuardTicket &t, bool failed, bool clear_earlier,
                          int64_t now_ms) {
  db.Prepare("UPDATE login_attempts SET finished_ms = ?2, failed = ?3, cleared = ?4 WHERE id = ?1")
      .Bind(1, t.id)
      .Bind(2, now_ms)
      .Bind(3, failed ? 1 : 0)
      .Bind(4, failed ? 0 : 1)
      .Run();
  if (!failed && clear_earlier)
    db.Prepare("UPDATE login_attempts SET cleared = 1 WHERE key = ?1 AND failed = 1 AND finished_ms < ?2")
        .Bind(1, key)
        .Bind(2, t.started_ms)
        .Run();
}

void ForgetGuardedFailures(Db &db, const std::string &key) {
  db.Prepare("UPDATE login_attempts SET cleared = 1 WHERE key = ?1 AND failed = 1").Bind(1, key).Run();
}

void CancelGuardedAttempt(Db &db, const GuardTicket &t, int64_t now_ms) {
  db.Prepare("UPDATE login_attempts SET finished_ms = ?2, cleared = 1 WHERE id = ?1").Bind(1, t.id).Bind(2, now_ms).Run();
}

}  // namespace orvane
