// The database behind the service: the embedded SQLite file (one instance, WAL journal) or a
// PostgreSQL server that several instances share. Both speak through the same small interface:
// prepared statements with ?1-style parameters, connections each guarded by its Mutex() (one for
// SQLite, a pool of them per instance for PostgreSQL), and transactions. Everything that must hold across instances (seats, credits, the once-only
// nonce, login attempts) is written so that the database's own row locks decide it.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

namespace orvane {

struct DbError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The database was brought to a schema this program does not know and cannot live with (a newer
// instance migrated it): this program must not write to it. Thrown by Open() and by Begin().
struct SchemaTooNew : DbError {
  SchemaTooNew(int needed, int known);
  int needed;  // the oldest schema a program must know to serve the database
  int known;   // this program's
};

// The schema version this program makes and knows.
int KnownSchemaVersion();

// One prepared statement of a backend; reused from the connection's cache.
class StmtImpl {
 public:
  virtual ~StmtImpl() = default;
  virtual void BindInt(int i, int64_t v) = 0;
  virtual void BindText(int i, const std::string &v) = 0;
  virtual void BindNull(int i) = 0;
  virtual bool Step() = 0;
  virtual int64_t Int(int col) const = 0;
  virtual std::string Text(int col) const = 0;
  virtual bool IsNull(int col) const = 0;
  // Ends the statement's run: the next use binds afresh and runs again.
  virtual void Reset() = 0;
};

class Stmt {
 public:
  explicit Stmt(StmtImpl *s) : s_(s) {}
  Stmt(const Stmt &) = delete;
  Stmt &operator=(const Stmt &) = delete;
  Stmt(Stmt &&o) noexcept : s_(o.s_) { o.s_ = nullptr; }
  // Resetting ends the statement's read snapshot, so other connections' writes become visible.
  ~Stmt() {
    if (s_) s_->Reset();
  }
  Stmt &Bind(int i, int64_t v) {
    s_->BindInt(i, v);
    return *this;
  }
  Stmt &Bind(int i, const std::string &v) {
    s_->BindText(i, v);
    return *this;
  }
  Stmt &Bind(int i, const char *v) { return Bind(i, std::string(v)); }
  Stmt &Bind(int i, int v) { return Bind(i, static_cast<int64_t>(v)); }
  Stmt &BindNull(int i) {
    s_->BindNull(i);
    return *this;
  }
  Stmt &Bind(int i, const std::optional<int64_t> &v) { return v ? Bind(i, *v) : BindNull(i); }
  // Returns true while a row is available.
  bool Step() { return s_->Step(); }
  // Runs a statement that returns no rows.
  void Run() {
    while (Step()) {
    }
  }
  int64_t Int(int col) const { return s_->Int(col); }
  std::string Text(int col) const { return s_->Text(col); }
  bool IsNull(int col) const { return s_->IsNull(col); }
  std::optional<int64_t> OptInt(int col) const {
    return IsNull(col) ? std::nullopt : std::optional<int64_t>(Int(col));
  }

 private:
  StmtImpl *s_;
};

class Db {
 public:
  // "postgresql://…" or "postgres://…" opens a PostgreSQL connection, anything else is the path of
  // an SQLite file. The schema is made or brought up to date. Throws DbError with a readable text.
  static std::unique_ptr<Db> Open(const std::string &location);
  static bool IsPostgresUrl(const std::string &location);

  virtual ~Db() = default;
  Db(const Db &) = delete;
  Db &operator=(const Db &) = delete;

  std::mutex &Mutex() { return mutex_; }
  // A cached prepared statement, reset and unbound. Caller holds Mutex(). Parameters are ?1, ?2, …
  virtual Stmt Prepare(const std::string &sql) = 0;
  virtual void Exec(const std::string &sql) = 0;
  // Rows changed by the statement run last.
  virtual int Changes() const = 0;
  // Starts a transaction that writes: SQLite takes its write lock at once; PostgreSQL relies on the
  // row locks that each statement takes (and on ForUpdate()).
  virtual void Begin() = 0;
  // " FOR UPDATE" where the database locks rows that a transaction reads, otherwise "" (SQLite
  // serialises writing transactions as a whole).
  virtual const char *ForUpdate() const = 0;
  virtual bool Shared() const = 0;  // several instances may use this database at once
  // The oldest schema a program must know to serve the database as it is now. Caller holds Mutex().
  virtual int ServableFrom() = 0;

  // Ends the transaction Begin() started (Transaction calls these).
  virtual void CommitTransaction() { Exec("COMMIT"); }
  virtual void RollbackTransaction() { Exec("ROLLBACK"); }
  // Group commit (SQLite): from now on the transactions of many requests are written to disk by one
  // commit, made by a thread of this connection as soon as it gets the lock. A request must not
  // answer before what it wrote or read is on disk: it calls WaitDurable() without holding
  // Mutex(), which returns once every group the calling thread wrote or read in is committed (at
  // once when there is none), and throws DbError when one of them was lost (its commit failed, or
  // a write that found the disk full undid it). Once a group of the thread's request is lost, its
  // further statements throw DbError too.
  virtual void EnableGroupCommit() {}
  virtual void WaitDurable() {}

 protected:
  Db() = default;

 private:
  std::mutex mutex_;
};

// Begin() on construction; ROLLBACK unless Commit() was called.
class Transaction {
 public:
  explicit Transaction(Db &db) : db_(db) { db_.Begin(); }
  ~Transaction() {
    if (!done_) {
      try {
        db_.RollbackTransaction();
      } catch (...) {
      }
    }
  }
  void Commit() {
    db_.CommitTransaction();
    done_ = true;
  }

 private:
  Db &db_;
  bool done_ = false;
};

// Serialises the transactions that name the same key until they end, on every instance (a row
// lock on the key's row). Caller is inside a Transaction.
void LockKey(Db &db, const std::string &key, int64_t now_ms);

}  // namespace orvane
