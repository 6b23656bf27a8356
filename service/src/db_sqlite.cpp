// The SQLite back end of Db: one connection under the store's lock, commits grouped and made durable by
// a flusher thread.
#include <sqlite3.h>

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

}  // namespace

std::unique_ptr<Db> OpenSqliteDb(const std::string &path) { return std::make_unique<SqliteDb>(path); }

}  // namespace orvane
