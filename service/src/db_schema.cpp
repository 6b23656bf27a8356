#include "db_schema.h"

namespace orvane::schema {

const char *const kSqliteSchema = R"SQL(
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


const std::string kSetSchemaVersion =
    "UPDATE meta SET value = '" + std::to_string(kSchemaVersion) + "' WHERE key = 'schema_version'; " +
    "INSERT INTO meta(key, value) VALUES ('servable_from', '" + std::to_string(kServableFrom) +
    "') ON CONFLICT(key) DO UPDATE SET value = excluded.value";

// Rooms count their seats, so that a join need not count the room's tasks; rooms made before that
// are counted once.
const char *const kCountSeats = "UPDATE rooms SET seats = (SELECT COUNT(*) FROM tasks WHERE tasks.room_id = rooms.id)";

// Made after the column exists, which a database from before schema 6 gains by its migration.
const char *const kRoomTokenIndex = "CREATE UNIQUE INDEX IF NOT EXISTS rooms_result_token ON rooms(result_token)";

// Amounts were once kept in tenths of a yuan; they are kept in fen since an amount may have finer
// digits. The same statements on both backends.
const char *const kAmountInFen =
    "ALTER TABLE payments RENAME COLUMN amount_tenths TO amount_fen; "
    "UPDATE payments SET amount_fen = amount_fen * 10; "
    "UPDATE meta SET value = '3' WHERE key = 'schema_version';";

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

}  // namespace orvane::schema
