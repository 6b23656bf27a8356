// What both database back ends share; each back end lives in its own file (db_sqlite.cpp, db_pg.cpp)
// behind the Db interface, and db_open.cpp opens one by its location.
#include "db.h"

#include "db_schema.h"

namespace orvane {

SchemaTooNew::SchemaTooNew(int needed_version, int known_version)
    : DbError("the database has been brought to schema version " + std::to_string(needed_version) +
              " by a newer program; this program knows schema " + std::to_string(known_version) +
              " and must be upgraded before it serves this database (docs/deployment.md, \"Upgrading\")"),
      needed(needed_version),
      known(known_version) {}

int KnownSchemaVersion() { return schema::kSchemaVersion; }

bool Db::IsPostgresUrl(const std::string &location) {
  return location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0;
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
