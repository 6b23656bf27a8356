// Administration commands: the same code serves "orvane-service admin …" and the test-mode
// passthrough /__test/admin, so both act on the database in the same way.
#pragma once
#include <istream>
#include <string>
#include <vector>

#include "clock.h"
#include "config.h"
#include "crypto.h"
#include "db.h"

namespace orvane {

struct AdminResult {
  bool ok = false;
  std::string output;  // what the command prints (or its error text)
};

struct AdminEnv {
  Db &db;
  const SigningKey &key;
  const ServiceClock &clock;
  RuntimeConfig config;
  std::istream *password_input = nullptr;  // for a PASSWORD argument of "-"
};

// Runs one subcommand; takes the database lock itself.
AdminResult RunAdmin(AdminEnv &env, const std::vector<std::string> &args);

// Task state as shown to operators: assigned, confirmed, released, consumed or expired.
std::string TaskStateName(bool confirmed, bool released, bool consumed, int64_t execute_at_ms,
                          int64_t expiry_ms, int64_t now_ms, std::optional<int64_t> expires_at_ms);

}  // namespace orvane
