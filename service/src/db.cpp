#include "db.h"

#include <libpq-fe.h>
#include <sqlite3.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "log.h"

namespace orvane {
namespace {

// Tables as both backends keep them (written for SQLite; PostgresSchema() adapts the types).
const char *kSqliteSchema = R"SQL(
CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS accounts (
  id INTEGER PRIMARY KEY,
  email TEXT UNIQUE,
  username TEXT UNIQUE COLLATE NOCASE,
  password_hash TEXT NOT NULL,
  developer INTEGER NOT NULL DEFAULT 0,
  device_id TEXT,
  credits INTEGER NOT NULL DEFAULT 0,
  failed_logins INTEGER NOT NULL DEFAULT 0,
  locked_until_ms INTEGER NOT NULL DEFAULT 0,
  privacy_accepted_ms INTEGER,
  deletion_requested_ms INTEGER,
  created_ms INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS sessions (
  token_hash TEXT PRIMARY KEY,
  account_id INTEGER NOT NULL REFERENCES accounts(id),
  device_name TEXT,
  platform TEXT,
  created_ms INTEGER NOT NULL,
  revoked_ms INTEGER,
  revoke_reason TEXT,
  last_used_ms INTEGER
);
CREATE INDEX IF NOT EXISTS sessions_account ON sessions(account_id);
CREATE TABLE IF NOT EXISTS ledger (
  id INTEGER PRIMARY KEY,
  account_id INTEGER NOT NULL REFERENCES accounts(id),
  delta INTEGER NOT NULL,
  balance_after INTEGER NOT NULL,
  reason TEXT NOT NULL,
  reference TEXT,
  created_ms INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS ledger_account ON ledger(account_id);
CREATE TABLE IF NOT EXISTS email_codes (
  id INTEGER PRIMARY KEY,
  email TEXT NOT NULL,
  purpose TEXT NOT NULL,
  code_hash TEXT NOT NULL,
  created_ms INTEGER NOT NULL,
  expires_ms INTEGER NOT NULL,
  attempts INTEGER NOT NULL DEFAULT 0,
  used_ms INTEGER,
  superseded INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX IF NOT EXISTS email_codes_email ON email_codes(email, purpose);
CREATE TABLE IF NOT EXISTS outbox (
  id INTEGER PRIMARY KEY,
  email TEXT NOT NULL,
  purpose TEXT NOT NULL,
  subject TEXT NOT NULL,
  body TEXT NOT NULL,
  code TEXT NOT NULL,
  created_ms INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS blacklist (
  sha256 TEXT PRIMARY KEY,
  reason TEXT NOT NULL,
  display_name TEXT NOT NULL DEFAULT '',
  executable_name TEXT NOT NULL DEFAULT '',
  source TEXT NOT NULL,
  submitted_by INTEGER,
  created_ms INTEGER NOT NULL,
  updated_ms INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS rooms (
  id INTEGER PRIMARY KEY,
  code TEXT NOT NULL,
  creator_id INTEGER NOT NULL REFERENCES accounts(id),
  execute_at_ms INTEGER NOT NULL,
  capacity INTEGER NOT NULL,
  purpose TEXT NOT NULL,
  created_ms INTEGER NOT NULL,
  seats INTEGER NOT NULL DEFAULT 0,
  result_token TEXT
);
CREATE INDEX IF NOT EXISTS rooms_code ON rooms(code, execute_at_ms);
CREATE TABLE IF NOT EXISTS tasks (
  id INTEGER PRIMARY KEY,
  kind TEXT NOT NULL,
  room_id INTEGER REFERENCES rooms(id),
  account_id INTEGER NOT NULL REFERENCES accounts(id),
  execute_at_ms INTEGER NOT NULL,
  target_x INTEGER NOT NULL,
  target_y INTEGER NOT NULL,
  executable_name TEXT NOT NULL,
  executable_sha256 TEXT NOT NULL,
  purpose TEXT NOT NULL,
  client_platform TEXT NOT NULL,
  confirmed INTEGER NOT NULL DEFAULT 0,
  created_ms INTEGER NOT NULL,
  nonce TEXT,
  payload TEXT,
  signature TEXT,
  released_ms INTEGER,
  expires_at_ms INTEGER,
  consumed_ms INTEGER,
  result TEXT,
  result_detail TEXT,
  client_error_ms INTEGER,
  report_platform TEXT,
  shown_uncertainty_ms INTEGER,
  missed_instant INTEGER
);
CREATE INDEX IF NOT EXISTS tasks_room ON tasks(room_id);
CREATE INDEX IF NOT EXISTS tasks_account ON tasks(account_id);
CREATE TABLE IF NOT EXISTS payments (
  id INTEGER PRIMARY KEY,
  reference TEXT NOT NULL UNIQUE,
  account_id INTEGER NOT NULL REFERENCES accounts(id),
  amount_fen INTEGER NOT NULL,
  method TEXT NOT NULL,
  credits INTEGER NOT NULL,
  status TEXT NOT NULL,
  created_ms INTEGER NOT NULL,
  expires_ms INTEGER NOT NULL,
  paid_ms INTEGER
);
CREATE TABLE IF NOT EXISTS login_attempts (
  id INTEGER PRIMARY KEY,
  key TEXT NOT NULL,
  started_ms INTEGER NOT NULL,
  finished_ms INTEGER,
  failed INTEGER NOT NULL DEFAULT 0,
  cleared INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX IF NOT EXISTS login_attempts_key ON login_attempts(key, started_ms);
CREATE TABLE IF NOT EXISTS key_locks (key TEXT PRIMARY KEY, touched_ms INTEGER NOT NULL);
INSERT INTO meta(key, value) VALUES ('schema_version', '6') ON CONFLICT(key) DO NOTHING;
INSERT INTO meta(key, value) VALUES ('servable_from', '5') ON CONFLICT(key) DO NOTHING;
)SQL";

// The version of the tables above. An open that finds it (or a later one) changes nothing, so
// admin commands and instances starting beside load take no table lock; an older database is
// brought up to it once, by whichever process gets the migration lock first.
constexpr int kSchemaVersion = 6;
// The oldest schema whose programs may still serve a database of this one, kept beside the version
// as "servable_from". A migration that older programs can live with (a new table, a column they
// never read) leaves it; one they cannot raises it to its own version, and every older instance
// then stops writing. 5: rooms count their seats, and an older program would admit past capacity.
// 6 leaves it at 5: reports keep the uncertainty shown and whether the instant was missed, rooms the
// token of their result page; a program of schema 5 never reads them, and a report it takes simply
// has neither.
constexpr int kServableFrom = 5;
const std::string kSetSchemaVersion =
    "UPDATE meta SET value = '" + std::to_string(kSchemaVersion) + "' WHERE key = 'schema_version'; " +
    "INSERT INTO meta(key, value) VALUES ('servable_from', '" + std::to_string(kServableFrom) +
    "') ON CONFLICT(key) DO UPDATE SET value = excluded.value";
// The servable_from of the database; databases from before it was kept hold only their version.
constexpr const char *kServableFromQuery =
    "SELECT COALESCE((SELECT value FROM meta WHERE key = 'servable_from'), "
    "(SELECT value FROM meta WHERE key = 'schema_version'))";
// Instances hold this lock (shared) through each transaction and a migration holds it alone, so no
// transaction of an older instance runs across a migration: it ends before, or finds the new
// version when it begins.
constexpr int64_t kMigrationLock = 4207731;

// Rooms count their seats, so that a join need not count the room's tasks; rooms made before that
// are counted once.
const char *kCountSeats = "UPDATE rooms SET seats = (SELECT COUNT(*) FROM tasks WHERE tasks.room_id = rooms.id)";

// Made after the column exists, which a database from before schema 6 gains by its migration.
const char *kRoomTokenIndex = "CREATE UNIQUE INDEX IF NOT EXISTS rooms_result_token ON rooms(result_token)";

// Amounts were once kept in tenths of a yuan; they are kept in fen since an amount may have finer
// digits. The same statements on both backends.
const char *kAmountInFen =
    "ALTER TABLE payments RENAME COLUMN amount_tenths TO amount_fen; "
    "UPDATE payments SET amount_fen = amount_fen * 10; "
    "UPDATE meta SET value = '3' WHERE key = 'schema_version';";

// PostgreSQL keeps the same tables with 64-bit keys made by sequences; user names are unique
// without regard to case through an index on lower(username).
std::string PostgresSchema() {
  std::string out = kSqliteSchema;
  auto replace_all = [&out](const std::string &from, const std::string &to) {
    for (size_t p = out.find(from); p != std::string::npos; p = out.find(from, p + to.size())) out.replace(p, from.size(), to);
  };
  replace_all("INTEGER PRIMARY KEY", "BIGSERIAL PRIMARY KEY");
  replace_all("INTEGER", "BIGINT");
  replace_all("username TEXT UNIQUE COLLATE NOCASE", "username TEXT");
  return out + "CREATE UNIQUE INDEX IF NOT EXISTS accounts_username ON accounts (lower(username));\n";
}

// ---- SQLite ------------------------------------------------------------------------------------

class SqliteDb;

class SqliteStmt final : public StmtImpl {
 public:
  SqliteStmt(SqliteDb &db, sqlite3_stmt *s) : db_(db), s_(s) {}
  ~SqliteStmt() override { sqlite3_finalize(s_); }
  void BindInt(int i, int64_t v) override { sqlite3_bind_int64(s_, i, v); }
  void BindText(int i, const std::string &v) override {
    sqlite3_bind_text(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
  }
  void BindNull(int i) override { sqlite3_bind_null(s_, i); }
  bool Step() override;
  int64_t Int(int col) const override { return sqlite3_column_int64(s_, col); }
  std::string Text(int col) const override {
    const unsigned char *p = sqlite3_column_text(s_, col);
    if (!p) return {};
    return std::string(reinterpret_cast<const char *>(p), sqlite3_column_bytes(s_, col));
  }
  bool IsNull(int col) const override { return sqlite3_column_type(s_, col) == SQLITE_NULL; }
  void Reset() override { sqlite3_reset(s_); }
  void Fresh() {
    sqlite3_reset(s_);
    sqlite3_clear_bindings(s_);
  }

 private:
  SqliteDb &db_;
  sqlite3_stmt *s_;
};

// One group commit: the writes of the requests that ended their transactions while it was open,
// committed (or lost) together.
struct CommitGroup {
  enum Outcome { kOpen, kStored, kLost };
  std::atomic<int> outcome{kOpen};
  bool taken = false;  // the flusher is committing it (guarded by the database's group mutex)
};

// The groups the request on this thread wrote or read in: its answer waits until each is
// committed, and is an error when one of them was lost. A thread serves one request at a time.
struct GroupDependency {
  const void *db;
  std::shared_ptr<CommitGroup> group;
};
thread_local std::vector<GroupDependency> t_groups;

class SqliteDb final : public Db {
 public:
  explicit SqliteDb(const std::string &path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
      std::string msg = db_ ? sqlite3_errmsg(db_) : "out of memory";
      sqlite3_close(db_);
      db_ = nullptr;
      throw DbError("cannot open database " + path + ": " + msg);
    }
    sqlite3_busy_timeout(db_, 5000);
    Exec("PRAGMA journal_mode=WAL");
    Exec("PRAGMA synchronous=FULL");
    Exec("PRAGMA foreign_keys=ON");
    try {
      if (StoredVersion() < kSchemaVersion) Migrate();
      if (int needed = ServableFrom(); needed > kSchemaVersion) throw SchemaTooNew(needed, kSchemaVersion);
    } catch (...) {
      cache_.clear();
      sqlite3_close(db_);
      db_ = nullptr;
      throw;
    }
  }
  ~SqliteDb() override {
    if (flusher_.joinable()) {
      {
        std::lock_guard<std::mutex> lock(group_mutex_);
        stopping_ = true;
      }
      flusher_wake_.notify_all();
      flusher_.join();  // its last round commits what is still open
      if (open_group_) Finish(*open_group_, false);  // begun after that round: closing undoes it
    }
    cache_.clear();
    if (db_) sqlite3_close(db_);
  }

  void EnableGroupCommit() override {
    if (flusher_.joinable()) return;
    flusher_ = std::thread([this] { Flush(); });
  }

  // Caller holds Mutex(): the open group changes only under it.
  void Begin() override {
    if (!flusher_.joinable()) return BeginWriting();
    RefuseAfterLostGroup();
    if (!open_group_) {
      BeginWriting();
      open_group_ = std::make_shared<CommitGroup>();
    }
    Depend(open_group_);
    Exec("SAVEPOINT request");
  }
  void CommitTransaction() override {
    if (!flusher_.joinable()) return Exec("COMMIT");
    Exec("RELEASE request");
    Written();
  }
  void RollbackTransaction() override {
    if (!flusher_.joinable()) return Exec("ROLLBACK");
    Exec("ROLLBACK TO request");
    Exec("RELEASE request");
    Written();  // the group stays open until the next commit ends it
  }

  void WaitDurable() override {
    if (!flusher_.joinable()) return;
    bool lost = false;
    std::unique_lock<std::mutex> lock(group_mutex_);
    for (auto it = t_groups.begin(); it != t_groups.end();) {
      if (it->db != this) {
        ++it;
        continue;
      }
      CommitGroup &g = *it->group;
      if (g.outcome == CommitGroup::kOpen && !g.taken) {
        // Only reads, or statements outside a transaction, went into it so far: have it committed.
        written_ = true;
        flusher_wake_.notify_one();
      }
      group_wake_.wait(lock, [&g] { return g.outcome != CommitGroup::kOpen; });
      if (g.outcome == CommitGroup::kLost) lost = true;
      it = t_groups.erase(it);
    }
    if (lost) throw DbError("database: a write this request made or read was not stored");
  }

  Stmt Prepare(const std::string &sql) override {
    if (flusher_.joinable()) {
      RefuseAfterLostGroup();
      if (open_group_) Depend(open_group_);
    }
    auto it = cache_.find(sql);
    if (it != cache_.end()) {
      it->second->Fresh();
      return Stmt(it->second.get());
    }
    sqlite3_stmt *s = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr) != SQLITE_OK)
      throw DbError(std::string("database: ") + sqlite3_errmsg(db_) + " in: " + sql);
    auto owned = std::make_unique<SqliteStmt>(*this, s);
    StmtImpl *raw = owned.get();
    cache_.emplace(sql, std::move(owned));
    return Stmt(raw);
  }

  void Exec(const std::string &sql) override {
    char *err = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
      std::string msg = err ? err : "unknown error";
      sqlite3_free(err);
      AfterFailedStatement();
      throw DbError("database: " + msg);
    }
  }
  int Changes() const override { return sqlite3_changes(db_); }
  const char *ForUpdate() const override { return ""; }
  bool Shared() const override { return false; }

  // A statement failed. When the disk is full (or memory short) SQLite may undo the whole
  // transaction rather than the statement: then the open group, with the writes of every request
  // that already ended its transaction in it, is gone, and each of them must learn so. The next
  // transaction starts a new group. Caller holds Mutex().
  void AfterFailedStatement() {
    if (!open_group_ || !sqlite3_get_autocommit(db_)) return;
    std::shared_ptr<CommitGroup> lost = std::exchange(open_group_, nullptr);
    LogLine("database: a failed write undid the open group of writes; its requests are answered with an error");
    Finish(*lost, false);
  }

 private:
  // The group commit's thread: whenever something was written, take the connection and commit
  // the open group; requests arriving meanwhile queue on the lock and join the next group.
  void Flush() {
    std::unique_lock<std::mutex> wake(group_mutex_);
    for (;;) {
      flusher_wake_.wait(wake, [this] { return written_ || stopping_; });
      const bool last = stopping_;
      written_ = false;
      wake.unlock();
      {
        std::lock_guard<std::mutex> lock(Mutex());
        if (std::shared_ptr<CommitGroup> group = std::exchange(open_group_, nullptr)) {
          {
            std::lock_guard<std::mutex> g(group_mutex_);
            group->taken = true;
          }
          bool stored = true;
          try {
            Exec("COMMIT");
          } catch (const DbError &e) {
            stored = false;
            LogLine(std::string("database: a group commit failed; its requests are answered with an error: ") + e.what());
            try {
              Exec("ROLLBACK");
            } catch (...) {
            }
          }
          // Settled before the connection is let go, so that no request runs a statement on it
          // while a group it depends on is still undecided.
          Finish(*group, stored);
        }
      }
      wake.lock();
      if (last) return;
    }
  }

  void Finish(CommitGroup &group, bool stored) {
    {
      std::lock_guard<std::mutex> lock(group_mutex_);
      group.outcome = stored ? CommitGroup::kStored : CommitGroup::kLost;
    }
    group_wake_.notify_all();
  }

  void Written() {
    {
      std::lock_guard<std::mutex> lock(group_mutex_);
      written_ = true;
    }
    flusher_wake_.notify_one();
  }

  void Depend(const std::shared_ptr<CommitGroup> &group) {
    for (const auto &d : t_groups)
      if (d.db == this && d.group == group) return;
    t_groups.push_back({this, group});
  }

  // A request that wrote or read in a group that was lost goes no further: what it would write
  // now could rest on what was undone, and its answer is an error anyway.
  void RefuseAfterLostGroup() {
    for (auto it = t_groups.begin(); it != t_groups.end();) {
      int outcome = it->db == this ? it->group->outcome.load() : CommitGroup::kOpen;
      if (outcome == CommitGroup::kLost) throw DbError("database: a write this request made or read was not stored");
      it = outcome == CommitGroup::kStored ? t_groups.erase(it) : it + 1;
    }
  }

  bool HasColumn(const std::string &table, const std::string &column) {
    Stmt s = Prepare("SELECT 1 FROM pragma_table_info('" + table + "') WHERE name = ?1");
    s.Bind(1, column);
    return s.Step();
  }
  int ServableFrom() override {
    Stmt s = Prepare(kServableFromQuery);
    return s.Step() ? std::atoi(s.Text(0).c_str()) : 0;
  }

 private:
  // The write lock, which a migration by a newer program takes too: under it the schema stays as
  // read here until the transaction ends.
  void BeginWriting() {
    Exec("BEGIN IMMEDIATE");
    int needed = 0;
    try {
      needed = ServableFrom();
    } catch (...) {
      Exec("ROLLBACK");
      throw;
    }
    if (needed > kSchemaVersion) {
      Exec("ROLLBACK");
      throw SchemaTooNew(needed, kSchemaVersion);
    }
  }

  // 0 for a new file (or one made before versions were kept).
  int StoredVersion() {
    Stmt t = Prepare("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'meta'");
    if (!t.Step()) return 0;
    Stmt v = Prepare("SELECT value FROM meta WHERE key = 'schema_version'");
    return v.Step() ? std::atoi(v.Text(0).c_str()) : 0;
  }
  // The write lock serialises processes opening the same file; the version is read again under it.
  void Migrate() {
    Exec("BEGIN IMMEDIATE");
    try {
      if (StoredVersion() >= kSchemaVersion) {
        Exec("COMMIT");
        return;
      }
      Exec(kSqliteSchema);
      // Files made before sessions could expire.
      if (!HasColumn("sessions", "last_used_ms")) Exec("ALTER TABLE sessions ADD COLUMN last_used_ms INTEGER");
      // Files made when amounts were kept in tenths of a yuan.
      if (HasColumn("payments", "amount_tenths")) Exec(kAmountInFen);
      if (!HasColumn("rooms", "seats")) {
        Exec("ALTER TABLE rooms ADD COLUMN seats INTEGER NOT NULL DEFAULT 0");
        Exec(kCountSeats);
      }
      // Files from before rooms showed their result.
      if (!HasColumn("tasks", "shown_uncertainty_ms")) Exec("ALTER TABLE tasks ADD COLUMN shown_uncertainty_ms INTEGER");
      if (!HasColumn("tasks", "missed_instant")) Exec("ALTER TABLE tasks ADD COLUMN missed_instant INTEGER");
      if (!HasColumn("rooms", "result_token")) Exec("ALTER TABLE rooms ADD COLUMN result_token TEXT");
      Exec(kRoomTokenIndex);
      Exec(kSetSchemaVersion);
      Exec("COMMIT");
    } catch (...) {
      Exec("ROLLBACK");
      throw;
    }
  }

  sqlite3 *db_ = nullptr;
  std::unordered_map<std::string, std::unique_ptr<SqliteStmt>> cache_;
  // Group commit. open_group_ is guarded by Mutex(); written_, stopping_ and the groups' taken
  // flags by group_mutex_.
  std::thread flusher_;
  std::shared_ptr<CommitGroup> open_group_;  // the transaction under way on the connection, if any
  std::mutex group_mutex_;
  std::condition_variable group_wake_;    // a group was settled: for the requests waiting on it
  std::condition_variable flusher_wake_;  // something was written: for the flusher
  bool written_ = false;  // a request ended its transaction (or waits) since the flusher last looked
  bool stopping_ = false;
};

bool SqliteStmt::Step() {
  int rc = sqlite3_step(s_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  std::string msg = std::string("database: ") + sqlite3_errmsg(sqlite3_db_handle(s_));
  db_.AfterFailedStatement();
  throw DbError(msg);
}

// ---- PostgreSQL --------------------------------------------------------------------------------

class PgDb;

class PgStmt final : public StmtImpl {
 public:
  PgStmt(PgDb &db, std::string name, std::string sql, int params)
      : db_(db), name_(std::move(name)), sql_(std::move(sql)), params_(static_cast<size_t>(params)) {}
  ~PgStmt() override { Clear(); }
  void BindInt(int i, int64_t v) override { Param(i) = std::to_string(v); }
  void BindText(int i, const std::string &v) override { Param(i) = v; }
  void BindNull(int i) override { Param(i).reset(); }
  bool Step() override;
  int64_t Int(int col) const override {
    if (!res_ || PQgetisnull(res_, row_, col)) return 0;
    const char *v = PQgetvalue(res_, row_, col);
    if (v[0] == 't' && v[1] == '\0') return 1;
    if (v[0] == 'f' && v[1] == '\0') return 0;
    return std::strtoll(v, nullptr, 10);
  }
  std::string Text(int col) const override {
    if (!res_ || PQgetisnull(res_, row_, col)) return {};
    return std::string(PQgetvalue(res_, row_, col), static_cast<size_t>(PQgetlength(res_, row_, col)));
  }
  bool IsNull(int col) const override { return !res_ || PQgetisnull(res_, row_, col); }
  void Reset() override { Clear(); }
  void Fresh() {
    Clear();
    for (auto &p : params_) p.reset();
  }
  void Unprepared() { prepared_ = false; }

 private:
  std::optional<std::string> &Param(int i) {
    if (i < 1 || static_cast<size_t>(i) > params_.size()) throw DbError("database: parameter out of range in: " + sql_);
    return params_[static_cast<size_t>(i - 1)];
  }
  void Clear() {
    if (res_) PQclear(res_);
    res_ = nullptr;
    row_ = -1;
  }

  PgDb &db_;
  std::string name_;
  std::string sql_;
  std::vector<std::optional<std::string>> params_;
  bool prepared_ = false;
  PGresult *res_ = nullptr;
  int row_ = -1;
};

class PgDb final : public Db {
 public:
  explicit PgDb(const std::string &url) {
    conn_ = PQconnectdb(url.c_str());
    if (!conn_ || PQstatus(conn_) != CONNECTION_OK) {
      std::string msg = conn_ ? PQerrorMessage(conn_) : "out of memory";
      if (conn_) PQfinish(conn_);
      conn_ = nullptr;
      while (!msg.empty() && (msg.back() == '\n' || msg.back() == ' ')) msg.pop_back();
      throw DbError("cannot connect to PostgreSQL: " + msg);
    }
    Exec("SET client_min_messages = warning");
    try {
      if (StoredVersion() < kSchemaVersion) Migrate();
      if (int needed = ServableFrom(); needed > kSchemaVersion) throw SchemaTooNew(needed, kSchemaVersion);
    } catch (...) {
      PQfinish(conn_);
      conn_ = nullptr;
      throw;
    }
  }
  ~PgDb() override {
    cache_.clear();
    if (conn_) PQfinish(conn_);
  }

  Stmt Prepare(const std::string &sql) override {
    EnsureConnected();
    auto it = cache_.find(sql);
    if (it != cache_.end()) {
      it->second->Fresh();
      return Stmt(it->second.get());
    }
    int params = 0;
    std::string converted = Convert(sql, params);
    std::string name = "s";  // built in two steps: GCC 12 warns falsely about "literal" + string here
    name += std::to_string(cache_.size() + 1);
    auto owned = std::make_unique<PgStmt>(*this, name, converted, params);
    StmtImpl *raw = owned.get();
    cache_.emplace(sql, std::move(owned));
    return Stmt(raw);
  }

  void Exec(const std::string &sql) override {
    EnsureConnected();
    PGresult *r = PQexec(conn_, sql.c_str());
    ExecStatusType st = PQresultStatus(r);
    if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK) {
      std::string msg = Describe(r);
      PQclear(r);
      throw DbError(msg);
    }
    changes_ = std::atoi(PQcmdTuples(r));
    PQclear(r);
    if (sql == "BEGIN") in_transaction_ = true;
    if (sql == "COMMIT" || sql == "ROLLBACK") in_transaction_ = false;
  }
  int Changes() const override { return changes_; }
  // One round trip: the transaction, the shared migration lock, and the schema as it is under it.
  void Begin() override {
    EnsureConnected();
    static const std::string begin = "BEGIN; SELECT pg_advisory_xact_lock_shared(" + std::to_string(kMigrationLock) +
                                     "); " + kServableFromQuery;
    PGresult *r = PQexec(conn_, begin.c_str());
    bool ok = PQresultStatus(r) == PGRES_TUPLES_OK;
    int needed = ok && PQntuples(r) == 1 && !PQgetisnull(r, 0, 0) ? std::atoi(PQgetvalue(r, 0, 0)) : 0;
    std::string msg = ok ? std::string() : Describe(r);
    PQclear(r);
    PGTransactionStatusType state = PQtransactionStatus(conn_);
    in_transaction_ = state == PQTRANS_INTRANS || state == PQTRANS_INERROR;
    if (!ok || needed > kSchemaVersion) {
      if (in_transaction_) RollbackTransaction();
      if (!ok) throw DbError(msg);
      throw SchemaTooNew(needed, kSchemaVersion);
    }
  }
  int ServableFrom() override {
    EnsureConnected();
    PGresult *r = PQexec(conn_, kServableFromQuery);
    bool ok = PQresultStatus(r) == PGRES_TUPLES_OK;
    int needed = ok && PQntuples(r) == 1 && !PQgetisnull(r, 0, 0) ? std::atoi(PQgetvalue(r, 0, 0)) : 0;
    std::string msg = ok ? std::string() : Describe(r);
    PQclear(r);
    if (!ok) throw DbError(msg);
    return needed;
  }
  // The transaction is over whatever becomes of the ROLLBACK: the server either runs it or, when
  // the connection is gone, has already aborted the transaction with the connection. So the
  // connection leaves the transaction here in any case; a broken one is made again at its next use,
  // and one that answered the ROLLBACK with an error is made again now, so that nothing of the
  // transaction can linger on it.
  void RollbackTransaction() override {
    in_transaction_ = false;
    if (PQstatus(conn_) != CONNECTION_OK) return;
    PGresult *r = PQexec(conn_, "ROLLBACK");
    bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
    PQclear(r);
    if (!ok && PQstatus(conn_) == CONNECTION_OK) Reconnect();
  }
  const char *ForUpdate() const override { return " FOR UPDATE"; }
  bool Shared() const override { return true; }

  PGconn *Conn() { return conn_; }
  void SetChanges(int n) { changes_ = n; }
  std::string Describe(PGresult *r) const {
    std::string msg = r ? PQresultErrorMessage(r) : PQerrorMessage(conn_);
    const char *state = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
    while (!msg.empty() && (msg.back() == '\n' || msg.back() == ' ')) msg.pop_back();
    return "database: " + msg + (state ? std::string(" (") + state + ")" : std::string());
  }

 private:
  // ?N -> $N. The statements of this program keep no question marks inside quoted text.
  static std::string Convert(const std::string &sql, int &params) {
    std::string out;
    out.reserve(sql.size());
    params = 0;
    for (size_t i = 0; i < sql.size(); ++i) {
      if (sql[i] == '?' && i + 1 < sql.size() && sql[i + 1] >= '0' && sql[i + 1] <= '9') {
        int n = 0;
        out.push_back('$');
        while (i + 1 < sql.size() && sql[i + 1] >= '0' && sql[i + 1] <= '9') {
          n = n * 10 + (sql[i + 1] - '0');
          out.push_back(sql[++i]);
        }
        if (n > params) params = n;
      } else {
        out.push_back(sql[i]);
      }
    }
    return out;
  }

  // A connection that dropped between transactions is made again; within one, the error stands
  // until the transaction's end (RollbackTransaction) takes the connection out of it.
  void EnsureConnected() {
    if (PQstatus(conn_) == CONNECTION_OK) return;
    if (in_transaction_) throw DbError("database: connection to PostgreSQL lost");
    Reconnect();
    if (PQstatus(conn_) != CONNECTION_OK) throw DbError("database: cannot reach PostgreSQL");
  }
  // A new session: the server forgets the prepared statements of the old one.
  void Reconnect() {
    PQreset(conn_);
    for (auto &kv : cache_) kv.second->Unprepared();
  }

  // 0 for an empty database. A plain read: it waits for no lock that load holds.
  int StoredVersion() {
    auto scalar = [this](const char *sql) -> std::optional<std::string> {
      PGresult *r = PQexec(conn_, sql);
      bool ok = PQresultStatus(r) == PGRES_TUPLES_OK;
      std::optional<std::string> value;
      if (ok && PQntuples(r) == 1 && !PQgetisnull(r, 0, 0)) value = PQgetvalue(r, 0, 0);
      std::string msg = ok ? std::string() : Describe(r);
      PQclear(r);
      if (!ok) throw DbError(msg);
      return value;
    };
    if (scalar("SELECT to_regclass('meta') IS NOT NULL") != "t") return 0;
    auto version = scalar("SELECT value FROM meta WHERE key = 'schema_version'");
    return version ? std::atoi(version->c_str()) : 0;
  }
  // Several processes may open an old or empty database at once; the advisory lock lets one of them
  // migrate while the others wait, and each reads the version again once it holds the lock. The
  // statements run in one transaction, so a migration that fails leaves the database as it was.
  void Migrate() {
    Exec("SELECT pg_advisory_lock(" + std::to_string(kMigrationLock) + ")");
    try {
      if (StoredVersion() < kSchemaVersion) {
        Exec("BEGIN");
        try {
          Exec(PostgresSchema());
          Exec("ALTER TABLE sessions ADD COLUMN IF NOT EXISTS last_used_ms BIGINT");
          Exec(std::string("DO $$ BEGIN IF NOT EXISTS (SELECT 1 FROM information_schema.columns WHERE table_schema = "
                           "current_schema() AND table_name = 'rooms' AND column_name = 'seats') THEN "
                           "ALTER TABLE rooms ADD COLUMN seats BIGINT NOT NULL DEFAULT 0; ") +
               kCountSeats + "; END IF; END $$");
          Exec(std::string("DO $$ BEGIN IF EXISTS (SELECT 1 FROM information_schema.columns WHERE table_schema = "
                           "current_schema() AND table_name = 'payments' AND column_name = 'amount_tenths') THEN ") +
               kAmountInFen + " END IF; END $$");
          Exec("ALTER TABLE tasks ADD COLUMN IF NOT EXISTS shown_uncertainty_ms BIGINT, "
               "ADD COLUMN IF NOT EXISTS missed_instant BIGINT");
          Exec("ALTER TABLE rooms ADD COLUMN IF NOT EXISTS result_token TEXT");
          Exec(kRoomTokenIndex);
          Exec(kSetSchemaVersion);
          Exec("COMMIT");
        } catch (...) {
          RollbackTransaction();
          throw;
        }
      }
    } catch (...) {
      Exec("SELECT pg_advisory_unlock(" + std::to_string(kMigrationLock) + ")");
      throw;
    }
    Exec("SELECT pg_advisory_unlock(" + std::to_string(kMigrationLock) + ")");
  }

  PGconn *conn_ = nullptr;
  std::unordered_map<std::string, std::unique_ptr<PgStmt>> cache_;
  int changes_ = 0;
  bool in_transaction_ = false;
};

bool PgStmt::Step() {
  if (!res_) {
    PGconn *conn = db_.Conn();
    if (!prepared_) {
      PGresult *p = PQprepare(conn, name_.c_str(), sql_.c_str(), 0, nullptr);
      bool ok = PQresultStatus(p) == PGRES_COMMAND_OK;
      std::string msg = ok ? std::string() : db_.Describe(p);
      PQclear(p);
      // After a dropped connection the server may still know the name; use it as it stands.
      if (!ok && msg.find("42P05") == std::string::npos) throw DbError(msg + " in: " + sql_);
      prepared_ = true;
    }
    std::vector<const char *> values(params_.size());
    for (size_t i = 0; i < params_.size(); ++i) values[i] = params_[i] ? params_[i]->c_str() : nullptr;
    res_ = PQexecPrepared(conn, name_.c_str(), static_cast<int>(values.size()), values.data(), nullptr, nullptr, 0);
    ExecStatusType st = PQresultStatus(res_);
    if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK) {
      std::string msg = db_.Describe(res_);
      Clear();
      throw DbError(msg);
    }
    db_.SetChanges(std::atoi(PQcmdTuples(res_)));
    row_ = -1;
  }
  ++row_;
  return row_ < PQntuples(res_);
}

}  // namespace

SchemaTooNew::SchemaTooNew(int needed_version, int known_version)
    : DbError("the database has been brought to schema version " + std::to_string(needed_version) +
              " by a newer program; this program knows schema " + std::to_string(known_version) +
              " and must be upgraded before it serves this database (docs/deployment.md, \"Upgrading\")"),
      needed(needed_version),
      known(known_version) {}

int KnownSchemaVersion() { return kSchemaVersion; }

bool Db::IsPostgresUrl(const std::string &location) {
  return location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0;
}

std::unique_ptr<Db> Db::Open(const std::string &location) {
  if (IsPostgresUrl(location)) return std::make_unique<PgDb>(location);
  return std::make_unique<SqliteDb>(location);
}

void LockKey(Db &db, const std::string &key, int64_t now_ms) {
  db.Prepare(
        "INSERT INTO key_locks(key, touched_ms) VALUES (?1, ?2) "
        "ON CONFLICT(key) DO UPDATE SET touched_ms = excluded.touched_ms")
      .Bind(1, key)
      .Bind(2, now_ms)
      .Run();
}

}  // namespace orvane
