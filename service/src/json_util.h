// Answer envelope and typed access to request members.
// Every answer is a JSON object whose first member is "ok"; text goes out as raw UTF-8.
#pragma once
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

namespace orvane {

using Json = nlohmann::json;
using OJson = nlohmann::ordered_json;

// An expected failure of an action: HTTP status plus the Chinese text shown to the user.
struct ApiError : std::runtime_error {
  ApiError(int status, std::string message)
      : std::runtime_error(message), status(status), message(std::move(message)) {}
  int status;
  std::string message;
};

struct Reply {
  int status = 200;
  OJson body;
};

OJson OkBody();
OJson FailBody(const std::string &message);
Reply Fail(int status, const std::string &message);
// Compact, raw UTF-8 (no \u escapes); invalid UTF-8 is replaced rather than thrown on.
std::string DumpJson(const OJson &j);
std::string DumpJson(const Json &j);

// Parses a request body; throws ApiError(400) unless it is one JSON object.
Json ParseObject(const std::string &body);

// Member access with uniform failure texts. `max_bytes` bounds strings.
std::string RequireString(const Json &body, const char *key, size_t max_bytes);
std::optional<std::string> OptionalString(const Json &body, const char *key, size_t max_bytes);
int64_t RequireInt(const Json &body, const char *key, int64_t lo, int64_t hi);
std::optional<bool> OptionalBool(const Json &body, const char *key);
// Milliseconds as a client measured them: any JSON number, rounded to whole milliseconds, within a
// billion either way (beyond that it is garbage, not a measurement), not below 0 unless
// `may_be_negative`. Nothing when absent or null.
std::optional<int64_t> OptionalMs(const Json &body, const char *key, bool may_be_negative);

}  // namespace orvane
