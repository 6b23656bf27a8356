// Blacklist codes ("QVTR1." + base64 of a sealed box) produced by developer accounts.
#pragma once
#include <cstdint>
#include <string>
#include <variant>

#include "crypto.h"

namespace orvane {

struct BlacklistRecord {
  std::string display_name;
  std::string executable_name;
  std::string executable_sha256;  // lower-case
  std::string block_reason;
  int64_t user_id = 0;
  int64_t issued_at_ms = 0;
  int64_t expires_at_ms = 0;
};

constexpr int64_t kBlacklistCodeLifetimeMs = 7LL * 24 * 3600 * 1000;

// Checks the decrypted record: format version 1, every member present and within its limits,
// a lifetime of at most seven days that has not run out at `now_ms`, issued no later than a day ahead.
// Returns the record or a Chinese error text.
std::variant<BlacklistRecord, std::string> ParseBlacklistRecord(const std::string &plaintext,
                                                                int64_t now_ms);

// Strips blanks and line breaks, checks the prefix, decodes and opens the sealed box.
std::variant<BlacklistRecord, std::string> OpenBlacklistCode(const std::string &code,
                                                             const SigningKey &key, int64_t now_ms);

}  // namespace orvane
