// The two database back ends, as Db::Open (db_open.cpp) chooses between them.
#pragma once

#include <memory>
#include <string>

#include "db.h"

namespace orvane {

std::unique_ptr<Db> OpenSqliteDb(const std::string &path);
std::unique_ptr<Db> OpenPgDb(const std::string &url);

}  // namespace orvane
