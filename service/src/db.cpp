#include "db.h"

namespace orvane {
namespace {

const char *kSchema = R"SQL(
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
  revoke_reason TEXT
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
  created_ms INTEGER NOT NULL
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
  report_platform TEXT
);
CREATE INDEX IF NOT EXISTS tasks_room ON tasks(room_id);
CREATE INDEX IF NOT EXISTS tasks_account ON tasks(account_id);
CREATE TABLE IF NOT EXISTS payments (
  id INTEGER PRIMARY KEY,
  reference TEXT NOT NULL UNIQUE,
  account_id INTEGER NOT NULL REFERENCES accounts(id),
  amount_tenths INTEGER NOT NULL,
  method TEXT NOT NULL,
  credits INTEGER NOT NULL,
  status TEXT NOT NULL,
  created_ms INTEGER NOT NULL,
  expires_ms INTEGER NOT NULL,
  paid_ms INTEGER
);
INSERT OR IGNORE INTO meta(key, value) VALUES ('schema_version', '1');
)SQL";

}  // namespace

Stmt &Stmt::Bind(int i, int64_t v) {
  sqlite3_bind_int64(s_, i, v);
  return *this;
}
Stmt &Stmt::Bind(int i, const std::string &v) {
  sqlite3_bind_text(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
  return *this;
}
Stmt &Stmt::BindNull(int i) {
  sqlite3_bind_null(s_, i);
  return *this;
}

bool Stmt::Step() {
  int rc = sqlite3_step(s_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  throw DbError(std::string("database: ") + sqlite3_errmsg(sqlite3_db_handle(s_)));
}

void Stmt::Run() {
  while (Step()) {
  }
}

std::string Stmt::Text(int col) const {
  const unsigned char *p = sqlite3_column_text(s_, col);
  if (!p) return {};
  return std::string(reinterpret_cast<const char *>(p), sqlite3_column_bytes(s_, col));
}

Db::Db(const std::string &path) {
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
  Migrate();
}

Db::~Db() {
  for (auto &kv : cache_) sqlite3_finalize(kv.second);
  if (db_) sqlite3_close(db_);
}

void Db::Exec(const std::string &sql) {
  char *err = nullptr;
  if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
    std::string msg = err ? err : "unknown error";
    sqlite3_free(err);
    throw DbError("database: " + msg);
  }
}

Stmt Db::Prepare(const std::string &sql) {
  auto it = cache_.find(sql);
  if (it != cache_.end()) {
    sqlite3_reset(it->second);
    sqlite3_clear_bindings(it->second);
    return Stmt(it->second);
  }
  sqlite3_stmt *s = nullptr;
  if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr) != SQLITE_OK)
    throw DbError(std::string("database: ") + sqlite3_errmsg(db_) + " in: " + sql);
  cache_.emplace(sql, s);
  return Stmt(s);
}

void Db::Migrate() {
  Exec("BEGIN IMMEDIATE");
  try {
    Exec(kSchema);
    Exec("COMMIT");
  } catch (...) {
    Exec("ROLLBACK");
    throw;
  }
}

}  // namespace orvane
