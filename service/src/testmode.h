// Test mode: injected faults per action, the SNTP responder's faults and the record of the last
// request of each action. Only wired up when the service runs with --test-mode.
#pragma once
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "json_util.h"
#include "sntp.h"

namespace orvane {

struct Fault {
  std::optional<int> status;                 // HTTP status of the answer
  std::optional<bool> ok;                    // false: answer {"ok":false,"message":…}; true: force ok
  std::optional<std::string> message;
  int64_t delay_ms = 0;                      // wait before doing anything
  bool drop = false;                         // close the connection without any answer
  std::vector<std::string> omit;             // top-level members removed from the answer
  OJson set = OJson::object();               // top-level members added or replaced
  std::optional<std::string> raw_body;       // exact answer bytes ("" = no body)
  std::optional<std::string> content_type;
  std::optional<int64_t> times;              // remaining uses; none = until cleared
  std::optional<bool> run;                   // run the action itself (see RunsAction)

  // By default the action runs unless its answer is thrown away (drop, raw_body, ok:false),
  // so a dropped "task.claim" or "task.consume" changes nothing on the service.
  bool RunsAction() const {
    if (run) return *run;
    return !(drop || raw_body || (ok && !*ok));
  }
};

// Validates a POST /__test/fault body (without "action"). Error text on failure.
std::variant<Fault, std::string> ParseFault(const Json &j);
std::variant<SntpFault, std::string> ParseSntpFault(const Json &j, std::optional<int64_t> &times);

struct WireAnswer {
  int status = 200;
  std::string body;
  std::string content_type = "application/json; charset=utf-8";
};

// Shapes the answer the client will see from the normal reply (empty when the action did not run).
WireAnswer ApplyFault(const Fault &fault, const Reply &normal);

struct RecordedRequest {
  std::string method;
  std::string target;
  std::vector<std::pair<std::string, std::string>> headers;  // as received, in order
  std::string body;
};

// Header lines of a raw HTTP request (request line skipped), in order, duplicates kept.
// Values lose their surrounding blanks; names keep their spelling.
std::vector<std::pair<std::string, std::string>> ParseRawHeaders(const std::string &raw);

class TestControl {
 public:
  void SetFault(const std::string &action, Fault f);
  void SetSntpFault(SntpFault f, std::optional<int64_t> times);
  void Clear();
  // Takes one use of the fault for `action` (or of the "*" fault when there is none for it).
  std::optional<Fault> TakeFault(const std::string &action);
  std::optional<SntpFault> TakeSntpFault();

  void Record(const std::string &action, RecordedRequest r);
  std::optional<RecordedRequest> Last(const std::string &action);

 private:
  std::mutex mutex_;
  std::map<std::string, Fault> faults_;
  std::optional<SntpFault> sntp_fault_;
  std::optional<int64_t> sntp_times_;
  std::map<std::string, RecordedRequest> last_;
};

}  // namespace orvane
