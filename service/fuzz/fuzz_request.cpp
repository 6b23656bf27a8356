// Fuzz target: what the service reads from a request's body and headers. Beyond not crashing, each
// answer is checked where a reference exists: a parsed body dumps back to the same JSON, amounts
// agree with strtod and strtoll, normalised fields are stable, measured milliseconds keep their range,
// header lines end at line feeds.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "json_util.h"
#include "testmode.h"
#include "validate.h"

namespace {

void Check(bool ok, const char *what) {
  if (!ok) {
    std::fprintf(stderr, "fuzz_request: %s\n", what);
    std::abort();
  }
}

void CheckBody(const std::string &text) {
  orvane::Json body;
  try {
    body = orvane::ParseObject(text);
  } catch (const orvane::ApiError &e) {
    Check(e.status == 400, "a body that is not one object is answered 400");
    return;
  }
  Check(body.is_object(), "ParseObject returns an object");
  // Escaping round trip: what the service writes back parses to what it read.
  std::string dumped = orvane::DumpJson(body);
  Check(orvane::ParseObject(dumped) == body, "DumpJson(ParseObject(x)) parses back to the same object");
  for (const char *key : {"email", "task_id", "amount", "privacy_notice_accepted", "nonce", "client_error_ms",
                          "shown_uncertainty_ms", "missed_instant"}) {
    try {
      std::string s = orvane::RequireString(body, key, 64);
      Check(s.size() <= 64, "RequireString keeps its bound");
    } catch (const orvane::ApiError &e) {
      Check(e.status == 400 && !e.message.empty(), "a refused string member is answered 400 with a text");
    }
    try {
      int64_t n = orvane::RequireInt(body, key, -1000, 1000);
      Check(n >= -1000 && n <= 1000, "RequireInt keeps its range");
    } catch (const orvane::ApiError &e) {
      Check(e.status == 400 && !e.message.empty(), "a refused number member is answered 400 with a text");
    }
    for (bool may_be_negative : {true, false}) {
      try {
        auto ms = orvane::OptionalMs(body, key, may_be_negative);
        Check(!ms || (*ms <= 1000000000 && *ms >= (may_be_negative ? -1000000000 : 0)), "OptionalMs keeps its range");
        Check(ms.has_value() == (body.contains(key) && !body[key].is_null()), "OptionalMs reads what is there");
      } catch (const orvane::ApiError &e) {
        Check(e.status == 400 && !e.message.empty(), "a refused millisecond member is answered 400 with a text");
      }
    }
    try {
      (void)orvane::OptionalBool(body, key);
    } catch (const orvane::ApiError &e) {
      Check(e.status == 400, "a refused boolean member is answered 400");
    }
  }
}

void CheckFields(const std::string &text) {
  if (auto e = orvane::NormaliseEmail(text)) Check(orvane::NormaliseEmail(*e) == e, "NormaliseEmail is stable");
  if (auto r = orvane::NormaliseRoomCode(text)) Check(orvane::NormaliseRoomCode(*r) == r, "NormaliseRoomCode is stable");
  if (auto s = orvane::NormaliseSha256(text)) Check(s->size() == 64, "a SHA-256 has 64 hex digits");
  if (auto v = orvane::ParseVersion(text)) Check(orvane::CompareVersions(*v, *v) == 0, "a version equals itself");
  std::string quoted = orvane::SanitiseForMessage(text);
  Check(quoted.size() <= 40 + 3, "a text quoted in a message stays short");
  for (char c : quoted) Check(c >= 0x20 && c < 0x7F, "a text quoted in a message is printable ASCII");
  // Amounts against the C library's own reading of the same text.
  auto fen = orvane::ParseAmountFen(text);
  if (fen) {
    char *end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    Check(end == text.c_str() + text.size(), "an accepted amount is one number to its end");
    Check(v >= 1.0 - 1e-9 && v <= 9999.9 + 1e-9, "an accepted amount lies within 1 .. 9999.9");
    Check(std::fabs(v * 100 - static_cast<double>(*fen)) <= 0.5 + 1e-6 * v, "fen agree with strtod");
  }
  if (!text.empty() && text.size() <= 4 && text.find_first_not_of("0123456789") == std::string::npos) {
    long long n = std::strtoll(text.c_str(), nullptr, 10);
    Check(fen.has_value() == (n >= 1), "whole yuan from 1 are amounts");
    if (fen) Check(*fen == n * 100, "whole yuan agree with strtoll");
  }
  // Header lines end at a line feed (a carriage return before it is dropped; one elsewhere is text).
  for (const auto &[name, value] : orvane::ParseRawHeaders(text)) {
    Check(name.find('\n') == std::string::npos, "a header name holds no line feed");
    Check(value.find('\n') == std::string::npos, "a header value holds no line feed");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string text(reinterpret_cast<const char *>(data), size);
  CheckBody(text);
  CheckFields(text);
  return 0;
}
