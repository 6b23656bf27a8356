// What both database back ends share: the tables, their version, and the statements that bring an older
// database up to it. Only db.cpp and the back ends (db_sqlite.cpp, db_pg.cpp) include this.
#pragma once

#include <cstdint>
#include <string>

namespace orvane::schema {

// Tables as both backends keep them (written for SQLite; PostgresSchema() adapts the types).
extern const char *const kSqliteSchema;
// PostgreSQL keeps the same tables with 64-bit keys made by sequences; user names are unique
// without regard to case through an index on lower(username).
std::string PostgresSchema();

// The version of the tables above. An open that finds it (or a later one) changes nothing, so
// admin commands and instances starting beside load take no table lock; an older database is
// brought up to it once, by whichever process gets the migration lock first.
inline constexpr int kSchemaVersion = 6;
// The oldest schema whose programs may still serve a database of this one, kept beside the version
// as "servable_from". A migration that older programs can live with (a new table, a column they
// never read) leaves it; one they cannot raises it to its own version, and every older instance
// then stops writing. 5: rooms count their seats, and an older program would admit past capacity.
// 6 leaves it at 5: reports keep the uncertainty shown and whether the instant was missed, rooms the
// token of their result page; a program of schema 5 never reads them, and a report it takes simply
// has neither.
inline constexpr int kServableFrom = 5;
// The servable_from of the database; databases from before it was kept hold only their version.
inline constexpr const char *kServableFromQuery =
    "SELECT COALESCE((SELECT value FROM meta WHERE key = 'servable_from'), "
    "(SELECT value FROM meta WHERE key = 'schema_version'))";
// Instances hold this lock (shared) through each transaction and a migration holds it alone, so no
// transaction of an older instance runs across a migration: it ends before, or finds the new
// version when it begins.
inline constexpr int64_t kMigrationLock = 4207731;
// Records kSchemaVersion and kServableFrom in the meta table.
extern const std::string kSetSchemaVersion;

// Rooms count their seats (schema 5); rooms made before that are counted once.
extern const char *const kCountSeats;
// The unique index of the result pages' tokens (schema 6), made after the column exists.
extern const char *const kRoomTokenIndex;
// Amounts in fen instead of tenths of a yuan (schema 3), the same statements on both backends.
extern const char *const kAmountInFen;

}  // namespace orvane::schema
