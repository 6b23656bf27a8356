#include "store.h"

#include "crypto.h"

#include <cstring>
#include <stdexcept>

namespace orvane {
namespace {

const char *kAccountCols =
    "id, COALESCE(email,''), COALESCE(username,''), password_hash, developer, COALESCE(device_id,''), "
    "credits, failed_logins, locked_until_ms, deletion_requested_ms, created_ms";

Account ReadAccount(Stmt &s) {
  Account a;
  a.id = s.Int(0);
  a.email = s.Text(1);
  a.username = s.Text(2);
  a.password_hash = s.Text(3);
  a.developer = s.Int(4) != 0;
  a.device_id = s.Text(5);
  a.credits = s.Int(6);
  a.failed_logins = s.Int(7);
  a.locked_until_ms = s.Int(8);
  a.deletion_requested_ms = s.OptInt(9);
  a.created_ms = s.Int(10);
  return a;
}

std::optional<Account> FindBy(Db &db, const std::string &where, const std::string &value) {
  Stmt s = db.Prepare(std::string("SELECT ") + kAccountCols + " FROM accounts WHERE " + where);
  s.Bind(1, value);
  if (!s.Step()) return std::nullopt;
  return ReadAccount(s);
}

const char *kTaskCols =
    "t.id, t.kind, t.room_id, COALESCE(r.code,''), t.account_id, t.execute_at_ms, t.target_x, t.target_y, "
    "t.executable_name, t.executable_sha256, t.purpose, t.client_platform, t.confirmed, t.created_ms, "
    "COALESCE(t.nonce,''), COALESCE(t.payload,''), COALESCE(t.signature,''), t.released_ms, t.expires_at_ms, "
    "t.consumed_ms, t.client_error_ms, COALESCE(t.result,''), COALESCE(t.result_detail,''), "
    "COALESCE(t.report_platform,''), t.shown_uncertainty_ms, t.missed_instant";

Task ReadTask(Stmt &s) {
  Task t;
  t.id = s.Int(0);
  t.kind = s.Text(1);
  t.room_id = s.OptInt(2);
  t.room_code = s.Text(3);
  t.account_id = s.Int(4);
  t.execute_at_ms = s.Int(5);
  t.target_x = s.Int(6);
  t.target_y = s.Int(7);
  t.executable_name = s.Text(8);
  t.executable_sha256 = s.Text(9);
  t.purpose = s.Text(10);
  t.client_platform = s.Text(11);
  t.confirmed = s.Int(12) != 0;
  t.created_ms = s.Int(13);
  t.nonce = s.Text(14);
  t.payload = s.Text(15);
  t.signature = s.Text(16);
  t.released_ms = s.OptInt(17);
  t.expires_at_ms = s.OptInt(18);
  t.consumed_ms = s.OptInt(19);
  t.client_error_ms = s.OptInt(20);
  t.result = s.Text(21);
  t.result_detail = s.Text(22);
  t.report_platform = s.Text(23);
  t.shown_uncertainty_ms = s.OptInt(24);
  if (!s.IsNull(25)) t.missed_instant = s.Int(25) != 0;
  return t;
}

BlacklistEntry ReadBlacklist(Stmt &s) {
  BlacklistEntry e;
  e.sha256 = s.Text(0);
  e.reason = s.Text(1);
  e.display_name = s.Text(2);
  e.executable_name = s.Text(3);
  e.source = s.Text(4);
  e.submitted_by = s.OptInt(5);
  e.created_ms = s.Int(6);
  e.updated_ms = s.Int(7);
  return e;
}

}  // namespace

std::optional<Account> LoadAccount(Db &db, int64_t id) {
  Stmt s = db.Prepare(std::string("SELECT ") + kAccountCols + " FROM accounts WHERE id = ?1");
  s.Bind(1, id);
  if (!s.Step()) return std::nullopt;
  return ReadAccount(s);
}

std::optional<Account> FindAccountByEmail(Db &db, const std::string &email) {
  return FindBy(db, "email = ?1", email);
}

std::optional<Account> FindAccountByUsername(Db &db, const std::string &username) {
  return FindBy(db, "lower(username) = lower(?1)", username);
}

std::optional<Account> FindAccountByReference(Db &db, const std::string &ref) {
  if (ref.size() > 1 && ref[0] == '#') {
    int64_t id = 0;
    for (size_t i = 1; i < ref.size(); ++i) {
      if (ref[i] < '0' || ref[i] > '9' || i > 18) return std::nullopt;
      id = id * 10 + (ref[i] - '0');
    }
    return LoadAccount(db, id);
  }
  if (ref.find('@') != std::string::npos) {
    std::string lower;
    for (char c : ref) lower.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
    return FindAccountByEmail(db, lower);
  }
  return FindAccountByUsername(db, ref);
}

std::vector<Account> ListAccounts(Db &db) {
  Stmt s = db.Prepare(std::string("SELECT ") + kAccountCols + " FROM accounts ORDER BY id");
  std::vector<Account> out;
  while (s.Step()) out.push_back(ReadAccount(s));
  return out;
}

int64_t InsertAccount(Db &db, const std::string &email, const std::string &username,
                      const std::string &password_hash, bool developer, int64_t now_ms,
                      std::optional<int64_t> privacy_accepted_ms) {
  Stmt s = db.Prepare(
      "INSERT INTO accounts(email, username, password_hash, developer, credits, created_ms, privacy_accepted_ms) "
      "VALUES (?1, ?2, ?3, ?4, 0, ?5, ?6) RETURNING id");
  if (email.empty()) s.BindNull(1); else s.Bind(1, email);
  if (username.empty()) s.BindNull(2); else s.Bind(2, username);
  s.Bind(3, password_hash).Bind(4, developer ? 1 : 0).Bind(5, now_ms).Bind(6, privacy_accepted_ms);
  if (!s.Step()) throw DbError("database: account was not stored");
  return s.Int(0);
}

std::optional<int64_t> ChangeCredits(Db &db, int64_t account_id, int64_t delta, const std::string &reason,
                                     const std::string &reference, int64_t now_ms, bool allow_negative) {
  // One statement reads and writes the balance, so two instances charging the same account at once
  // wait for each other's row lock instead of both spending the same credits.
  int64_t balance = 0;
  {
    Stmt change = db.Prepare(
        "UPDATE accounts SET credits = credits + ?2 WHERE id = ?1 AND (?3 = 1 OR credits + ?2 >= 0) "
        "RETURNING credits");
    change.Bind(1, account_id).Bind(2, delta).Bind(3, allow_negative ? 1 : 0);
    if (!change.Step()) return std::nullopt;
    balance = change.Int(0);
  }
  db.Prepare(
        "INSERT INTO ledger(account_id, delta, balance_after, reason, reference, created_ms) "
        "VALUES (?1, ?2, ?3, ?4, ?5, ?6)")
      .Bind(1, account_id)
      .Bind(2, delta)
      .Bind(3, balance)
      .Bind(4, reason)
      .Bind(5, reference)
      .Bind(6, now_ms)
      .Run();
  return balance;
}

std::string CreateSession(Db &db, int64_t account_id, const std::string &device_name,
                          const std::string &platform, int64_t now_ms) {
  std::string token = RandomToken();
  db.Prepare(
        "INSERT INTO sessions(token_hash, account_id, device_name, platform, created_ms, last_used_ms) "
        "VALUES (?1, ?2, ?3, ?4, ?5, ?5)")
      .Bind(1, Sha256Hex(token))
      .Bind(2, account_id)
      .Bind(3, device_name)
      .Bind(4, platform)
      .Bind(5, now_ms)
      .Run();
  return token;
}

SessionState LookupSession(Db &db, const std::string &token, int64_t now_ms, int64_t idle_ms, int64_t &account_id) {
  std::string hash = Sha256Hex(token);
  int64_t last_used = 0;
  {
    Stmt s = db.Prepare("SELECT account_id, revoked_ms, COALESCE(last_used_ms, created_ms) FROM sessions WHERE token_hash = ?1");
    s.Bind(1, hash);
    if (!s.Step()) return SessionState::kUnknown;
    account_id = s.Int(0);
    if (!s.IsNull(1)) return SessionState::kRevoked;
    last_used = s.Int(2);
  }
  if (now_ms - last_used > idle_ms) {
    db.Prepare("UPDATE sessions SET revoked_ms = ?2, revoke_reason = 'idle' WHERE token_hash = ?1 AND revoked_ms IS NULL")
        .Bind(1, hash)
        .Bind(2, now_ms)
        .Run();
    return SessionState::kRevoked;
  }
  // Claims poll every few hundred milliseconds; a minute's precision is plenty for an idle limit
  // counted in days and keeps polling from writing.
  if (now_ms - last_used >= kSessionTouchMs)
    db.Prepare("UPDATE sessions SET last_used_ms = ?2 WHERE token_hash = ?1").Bind(1, hash).Bind(2, now_ms).Run();
  return SessionState::kValid;
}

void RevokeSession(Db &db, const std::string &token, const std::string &reason, int64_t now_ms) {
  db.Prepare("UPDATE sessions SET revoked_ms = ?2, revoke_reason = ?3 WHERE token_hash = ?1 AND revoked_ms IS NULL")
      .Bind(1, Sha256Hex(token))
      .Bind(2, now_ms)
      .Bind(3, reason)
      .Run();
}

void RevokeAllSessions(Db &db, int64_t account_id, const std::string &reason, int64_t now_ms) {
  db.Prepare("UPDATE sessions SET revoked_ms = ?2, revoke_reason = ?3 WHERE account_id = ?1 AND revoked_ms IS NULL")
      .Bind(1, account_id)
      .Bind(2, now_ms)
      .Bind(3, reason)
      .Run();
}

std::optional<BlacklistEntry> FindBlacklistEntry(Db &db, const std::string &sha256) {
  Stmt s = db.Prepare(
      "SELECT sha256, reason, display_name, executable_name, source, submitted_by, created_ms, updated_ms "
      "FROM blacklist WHERE sha256 = ?1");
  s.Bind(1, sha256);
  if (!s.Step()) return std::nullopt;
  return ReadBlacklist(s);
}

bool UpsertBlacklistEntry(Db &db, const BlacklistEntry &e, int64_t now_ms) {
  bool existed = FindBlacklistEntry(db, e.sha256).has_value();
  db.Prepare(
        "INSERT INTO blacklist(sha256, reason, display_name, executable_name, source, submitted_by, created_ms, updated_ms) "
        "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?7) "
        "ON CONFLICT(sha256) DO UPDATE SET reason = excluded.reason, display_name = excluded.display_name, "
        "executable_name = CASE WHEN excluded.executable_name = '' THEN blacklist.executable_name "
        "ELSE excluded.executable_name END, source = excluded.source, submitted_by = excluded.submitted_by, "
        "updated_ms = excluded.updated_ms")
      .Bind(1, e.sha256)
      .Bind(2, e.reason)
      .Bind(3, e.display_name)
      .Bind(4, e.executable_name)
      .Bind(5, e.source)
      .Bind(6, e.submitted_by)
      .Bind(7, now_ms)
      .Run();
  return !existed;
}

bool RemoveBlacklistEntry(Db &db, const std::string &sha256) {
  db.Prepare("DELETE FROM blacklist WHERE sha256 = ?1").Bind(1, sha256).Run();
  return db.Changes() > 0;
}

std::vector<BlacklistEntry> ListBlacklist(Db &db) {
  Stmt s = db.Prepare(
      "SELECT sha256, reason, display_name, executable_name, source, submitted_by, created_ms, updated_ms "
      "FROM blacklist ORDER BY created_ms, sha256");
  std::vector<BlacklistEntry> out;
  while (s.Step()) out.push_back(ReadBlacklist(s));
  return out;
}

void AddOutboxMail(Db &db, const OutboxMail &m) {
  db.Prepare("INSERT INTO outbox(email, purpose, subject, body, code, created_ms) VALUES (?1, ?2, ?3, ?4, ?5, ?6)")
      .Bind(1, m.email)
      .Bind(2, m.purpose)
      .Bind(3, m.subject)
      .Bind(4, m.body)
      .Bind(5, m.code)
      .Bind(6, m.created_ms)
      .Run();
}

std::vector<OutboxMail> ListOutbox(Db &db, const std::string &email, int limit) {
  Stmt s = db.Prepare(
      "SELECT id, email, purpose, subject, body, code, created_ms FROM outbox "
      "WHERE ?1 = '' OR email = ?1 ORDER BY id DESC LIMIT ?2");
  s.Bind(1, email).Bind(2, limit);
  std::vector<OutboxMail> out;
  while (s.Step()) {
    OutboxMail m;
    m.id = s.Int(0);
    m.email = s.Text(1);
    m.purpose = s.Text(2);
    m.subject = s.Text(3);
    m.body = s.Text(4);
    m.code = s.Text(5);
    m.created_ms = s.Int(6);
    out.push_back(std::move(m));
  }
  return out;
}

std::optional<Task> LoadTask(Db &db, int64_t id) {
  Stmt s = db.Prepare(std::string("SELECT ") + kTaskCols +
                      " FROM tasks t LEFT JOIN rooms r ON r.id = t.room_id WHERE t.id = ?1");
  s.Bind(1, id);
  if (!s.Step()) return std::nullopt;
  return ReadTask(s);
}

std::vector<Task> ListTasks(Db &db, const std::string &room_code) {
  Stmt s = db.Prepare(std::string("SELECT ") + kTaskCols +
                      " FROM tasks t LEFT JOIN rooms r ON r.id = t.room_id "
                      "WHERE ?1 = '' OR r.code = ?1 ORDER BY t.id");
  s.Bind(1, room_code);
  std::vector<Task> out;
  while (s.Step()) out.push_back(ReadTask(s));
  return out;
}

namespace {
const char *kRoomCols = "id, code, execute_at_ms, capacity, COALESCE(result_token,'')";

std::optional<Room> ReadRoom(Stmt &s) {
  if (!s.Step()) return std::nullopt;
  Room r;
  r.id = s.Int(0);
  r.code = s.Text(1);
  r.execute_at_ms = s.Int(2);
  r.capacity = s.Int(3);
  r.result_token = s.Text(4);
  return r;
}
}  // namespace

std::optional<Room> LoadRoom(Db &db, int64_t id) {
  Stmt s = db.Prepare(std::string("SELECT ") + kRoomCols + " FROM rooms WHERE id = ?1");
  s.Bind(1, id);
  return ReadRoom(s);
}

std::optional<Room> FindLatestRoom(Db &db, const std::string &code) {
  Stmt s = db.Prepare(std::string("SELECT ") + kRoomCols + " FROM rooms WHERE code = ?1 ORDER BY execute_at_ms DESC, id DESC LIMIT 1");
  s.Bind(1, code);
  return ReadRoom(s);
}

std::optional<Room> FindRoomByResultToken(Db &db, const std::string &token) {
  Stmt s = db.Prepare(std::string("SELECT ") + kRoomCols + " FROM rooms WHERE result_token = ?1");
  s.Bind(1, token);
  return ReadRoom(s);
}

std::string EnsureRoomResultToken(Db &db, int64_t room_id) {
  Transaction tx(db);
  // Only a room without one takes the new token: on PostgreSQL a second writer waits for the first
  // one's row and then finds it set.
  db.Prepare("UPDATE rooms SET result_token = ?2 WHERE id = ?1 AND result_token IS NULL")
      .Bind(1, room_id)
      .Bind(2, RandomToken())
      .Run();
  auto room = LoadRoom(db, room_id);
  if (!room || room->result_token.empty()) throw DbError("database: the room's result token was not stored");
  tx.Commit();
  return room->result_token;
}

std::vector<Task> ListRoomTasks(Db &db, int64_t room_id) {
  // Task ids grow with each join, and joining again keeps the seat's task.
  Stmt s = db.Prepare(std::string("SELECT ") + kTaskCols +
                      " FROM tasks t LEFT JOIN rooms r ON r.id = t.room_id WHERE t.room_id = ?1 ORDER BY t.id");
  s.Bind(1, room_id);
  std::vector<Task> out;
  while (s.Step()) out.push_back(ReadTask(s));
  return out;
}

namespace {
std::array<uint8_t, 32> RandomSeed() {
  std::array<uint8_t, 32> seed{};
  Bytes b = RandomBytes(32);
  std::memcpy(seed.data(), b.data(), 32);
  return seed;
}
}  // namespace

SigningKey LoadOrCreateSharedSigningKey(Db &db, const std::string &key_file) {
  std::lock_guard<std::mutex> lock(db.Mutex());
  auto stored = [&]() -> std::optional<std::string> {
    Stmt s = db.Prepare("SELECT value FROM meta WHERE key = 'sign_seed'");
    if (!s.Step()) return std::nullopt;
    return s.Text(0);
  };
  if (!stored()) {
    // Keep the key an instance had before it moved to the shared database.
    SigningKey own = key_file.empty() ? SigningKey::FromSeed(RandomSeed()) : SigningKey::LoadOrCreate(key_file);
    Transaction tx(db);
    db.Prepare("INSERT INTO meta(key, value) VALUES ('sign_seed', ?1) ON CONFLICT(key) DO NOTHING")
        .Bind(1, own.SeedHex())
        .Run();
    tx.Commit();
  }
  auto hex = stored();
  auto bytes = hex ? HexDecode(*hex) : std::nullopt;
  if (!bytes || bytes->size() != 32) throw std::runtime_error("the database holds no usable signing key (meta sign_seed)");
  std::array<uint8_t, 32> seed{};
  std::memcpy(seed.data(), bytes->data(), 32);
  return SigningKey::FromSeed(seed);
}

}  // namespace orvane
