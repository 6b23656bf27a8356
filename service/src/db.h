// A small SQLite wrapper: one connection, WAL journal, prepared statements, transactions.
// The connection is not shared between threads without holding Db::Mutex().
#pragma once
#include <sqlite3.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>

namespace orvane {

struct DbError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class Stmt {
 public:
  explicit Stmt(sqlite3_stmt *s) : s_(s) {}
  Stmt(const Stmt &) = delete;
  Stmt &operator=(const Stmt &) = delete;
  Stmt(Stmt &&o) noexcept : s_(o.s_) { o.s_ = nullptr; }
  // Resetting ends the statement's read snapshot, so other connections' writes become visible.
  ~Stmt() {
    if (s_) sqlite3_reset(s_);
  }
  Stmt &Bind(int i, int64_t v);
  Stmt &Bind(int i, const std::string &v);
  Stmt &Bind(int i, const char *v) { return Bind(i, std::string(v)); }
  Stmt &Bind(int i, int v) { return Bind(i, static_cast<int64_t>(v)); }
  Stmt &BindNull(int i);
  Stmt &Bind(int i, const std::optional<int64_t> &v) { return v ? Bind(i, *v) : BindNull(i); }
  // Returns true while a row is available.
  bool Step();
  // Runs a statement that returns no rows.
  void Run();
  int64_t Int(int col) const { return sqlite3_column_int64(s_, col); }
  std::string Text(int col) const;
  bool IsNull(int col) const { return sqlite3_column_type(s_, col) == SQLITE_NULL; }
  std::optional<int64_t> OptInt(int col) const {
    return IsNull(col) ? std::nullopt : std::optional<int64_t>(Int(col));
  }

 private:
  sqlite3_stmt *s_;
};

class Db {
 public:
  explicit Db(const std::string &path);
  ~Db();
  Db(const Db &) = delete;
  Db &operator=(const Db &) = delete;

  std::mutex &Mutex() { return mutex_; }
  // A cached prepared statement, reset and unbound. Caller holds Mutex().
  Stmt Prepare(const std::string &sql);
  void Exec(const std::string &sql);
  int64_t LastInsertId() const { return sqlite3_last_insert_rowid(db_); }
  int Changes() const { return sqlite3_changes(db_); }

 private:
  void Migrate();
  sqlite3 *db_ = nullptr;
  std::mutex mutex_;
  std::unordered_map<std::string, sqlite3_stmt *> cache_;
};

// BEGIN IMMEDIATE on construction; ROLLBACK unless Commit() was called.
class Transaction {
 public:
  explicit Transaction(Db &db) : db_(db) { db_.Exec("BEGIN IMMEDIATE"); }
  ~Transaction() {
    if (!done_) {
      try {
        db_.Exec("ROLLBACK");
      } catch (...) {
      }
    }
  }
  void Commit() {
    db_.Exec("COMMIT");
    done_ = true;
  }

 private:
  Db &db_;
  bool done_ = false;
};

}  // namespace orvane
