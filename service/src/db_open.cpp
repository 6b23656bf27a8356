#include "db_backends.h"

namespace orvane {

std::unique_ptr<Db> Db::Open(const std::string &location) {
  if (IsPostgresUrl(location)) return OpenPgDb(location);
  return OpenSqliteDb(location);
}

}  // namespace orvane
