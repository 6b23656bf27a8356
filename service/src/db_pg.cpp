// The PostgreSQL back end of Db: a pool of connections shared by several instances, which coordinate
// their migrations and transactions through advisory locks.
#include <libpq-fe.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "db.h"
#include "db_backends.h"
#include "db_schema.h"
#include "log.h"

namespace orvane {
namespace {

using namespace schema;

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

std::unique_ptr<Db> OpenPgDb(const std::string &url) { return std::make_unique<PgDb>(url); }

}  // namespace orvane
