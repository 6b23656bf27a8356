#include "config.h"

#include "db.h"
#include "validate.h"

#include <cstdlib>

namespace orvane {
namespace {

bool ParseInt64(const std::string &text, int64_t &out) {
  if (text.empty() || text.size() > 19) return false;
  size_t i = 0;
  bool neg = false;
  if (text[0] == '-') {
    neg = true;
    i = 1;
  }
  if (i >= text.size()) return false;
  int64_t v = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
  }
  out = neg ? -v : v;
  return true;
}

template <typename T>
std::optional<std::string> SetInt(const nlohmann::json &v, const char *key, T &dst, int64_t lo,
                                  int64_t hi) {
  if (!v.is_number_integer()) return std::string(key) + " 需要整数";
  int64_t x = v.get<int64_t>();
  if (x < lo || x > hi) return std::string(key) + " 超出允许范围";
  dst = x;
  return std::nullopt;
}

}  // namespace

std::optional<std::string> RuntimeConfig::Apply(const nlohmann::json &patch) {
  if (!patch.is_object()) return std::string("配置需要 JSON 对象");
  RuntimeConfig next = *this;
  for (auto it = patch.begin(); it != patch.end(); ++it) {
    const std::string &k = it.key();
    const auto &v = it.value();
    std::optional<std::string> err;
    const int64_t kDay = 24LL * 3600 * 1000;
    if (k == "min_version" || k == "latest_version") {
      if (!v.is_string() || !ParseVersion(v.get<std::string>())) err = k + " 需要形如 1.2.3 的版本号";
      else (k == "min_version" ? next.min_version : next.latest_version) = v.get<std::string>();
    } else if (k == "download_url" || k == "time_source") {
      if (!v.is_string()) err = k + " 需要文本";
      else (k == "download_url" ? next.download_url : next.time_source) = v.get<std::string>();
    } else if (k == "time_uncertainty_ms") {
      if (!v.is_number()) err = k + " 需要数字";
      else next.time_uncertainty_ms = v.get<double>();
    } else if (k == "alipay" || k == "wxpay") {
      if (!v.is_boolean()) err = k + " 需要 true 或 false";
      else (k == "alipay" ? next.alipay : next.wxpay) = v.get<bool>();
    } else if (k == "release_lead_ms") err = SetInt(v, "release_lead_ms", next.release_lead_ms, 0, kDay);
    else if (k == "retry_after_ms") err = SetInt(v, "retry_after_ms", next.retry_after_ms, 1, kDay);
    else if (k == "claim_expiry_ms") err = SetInt(v, "claim_expiry_ms", next.claim_expiry_ms, 1000, kDay);
    else if (k == "starting_credits") err = SetInt(v, "starting_credits", next.starting_credits, 0, 1000000000);
    else if (k == "points_per_yuan") err = SetInt(v, "points_per_yuan", next.points_per_yuan, 1, 100000);
    else if (k == "room_cost") err = SetInt(v, "room_cost", next.room_cost, 0, 1000000);
    else if (k == "test_cost") err = SetInt(v, "test_cost", next.test_cost, 0, 1000000);
    else if (k == "code_ttl_ms") err = SetInt(v, "code_ttl_ms", next.code_ttl_ms, 1000, kDay);
    else if (k == "code_max_attempts") err = SetInt(v, "code_max_attempts", next.code_max_attempts, 1, 100);
    else if (k == "code_resend_ms") err = SetInt(v, "code_resend_ms", next.code_resend_ms, 0, kDay);
    else if (k == "login_free_failures") err = SetInt(v, "login_free_failures", next.login_free_failures, 1, 1000000);
    else if (k == "login_delay_cap_ms") err = SetInt(v, "login_delay_cap_ms", next.login_delay_cap_ms, 0, kDay);
    else if (k == "source_free_failures") err = SetInt(v, "source_free_failures", next.source_free_failures, 1, 1000000);
    else if (k == "source_delay_cap_ms") err = SetInt(v, "source_delay_cap_ms", next.source_delay_cap_ms, 0, kDay);
    else if (k == "login_failure_window_ms") err = SetInt(v, "login_failure_window_ms", next.login_failure_window_ms, 1000, 30 * kDay);
    else if (k == "login_first_delay_ms") err = SetInt(v, "login_first_delay_ms", next.login_first_delay_ms, 1, kDay);
    else if (k == "session_idle_ms") err = SetInt(v, "session_idle_ms", next.session_idle_ms, 60000, 3660 * kDay);
    else if (k == "payment_ttl_ms") err = SetInt(v, "payment_ttl_ms", next.payment_ttl_ms, 1000, kDay);
    else if (k == "max_schedule_ahead_ms") err = SetInt(v, "max_schedule_ahead_ms", next.max_schedule_ahead_ms, 1000, 366 * kDay);
    else err = "未知的配置项 " + SanitiseForMessage(k);
    if (err) return err;
  }
  *this = next;
  return std::nullopt;
}

nlohmann::ordered_json RuntimeConfig::ToJson() const {
  nlohmann::ordered_json j;
  j["min_version"] = min_version;
  j["latest_version"] = latest_version;
  j["download_url"] = download_url;
  j["release_lead_ms"] = release_lead_ms;
  j["retry_after_ms"] = retry_after_ms;
  j["claim_expiry_ms"] = claim_expiry_ms;
  j["starting_credits"] = starting_credits;
  j["points_per_yuan"] = points_per_yuan;
  j["alipay"] = alipay;
  j["wxpay"] = wxpay;
  j["room_cost"] = room_cost;
  j["test_cost"] = test_cost;
  j["code_ttl_ms"] = code_ttl_ms;
  j["code_max_attempts"] = code_max_attempts;
  j["code_resend_ms"] = code_resend_ms;
  j["login_free_failures"] = login_free_failures;
  j["login_delay_cap_ms"] = login_delay_cap_ms;
  j["source_free_failures"] = source_free_failures;
  j["source_delay_cap_ms"] = source_delay_cap_ms;
  j["login_failure_window_ms"] = login_failure_window_ms;
  j["login_first_delay_ms"] = login_first_delay_ms;
  j["session_idle_ms"] = session_idle_ms;
  j["payment_ttl_ms"] = payment_ttl_ms;
  j["max_schedule_ahead_ms"] = max_schedule_ahead_ms;
  j["time_source"] = time_source;
  j["time_uncertainty_ms"] = time_uncertainty_ms;
  return j;
}

namespace {

using OptionError = std::optional<std::string>;  // what is wrong with an option's value

OptionError IntInto(const std::string &v, int64_t lo, int64_t hi, int64_t &dst) {
  int64_t x = 0;
  if (!ParseInt64(v, x) || x < lo || x > hi)
    return "expected an integer in " + std::to_string(lo) + ".." + std::to_string(hi);
  dst = x;
  return std::nullopt;
}

template <typename T>
OptionError IntInto(const std::string &v, int64_t lo, int64_t hi, T &dst) {
  int64_t x = 0;
  OptionError e = IntInto(v, lo, hi, x);
  if (!e) dst = static_cast<T>(x);
  return e;
}

OptionError HostPortInto(const std::string &v, std::string &host, int &port) {
  auto hp = ParseHostPort(v);
  if (!hp) return "expected HOST:PORT, got '" + v + "'";
  host = hp->host;
  port = hp->port;
  return std::nullopt;
}

OptionError VersionInto(const std::string &v, std::string &dst) {
  if (!ParseVersion(v)) return "expected a version like 0.9.10";
  dst = v;
  return std::nullopt;
}

// One option of `serve`: its name, whether a value follows it, and what it does (with the value, when
// one follows).
struct ServeOption {
  const char *name;
  bool takes_value;
  OptionError (*apply)(ServeOptions &o, const std::string &v);
};

const ServeOption kServeOptions[] = {
    {"--data", true, [](ServeOptions &o, const std::string &v) -> OptionError { o.data_dir = v; return std::nullopt; }},
    {"--listen", true, [](ServeOptions &o, const std::string &v) { return HostPortInto(v, o.listen_host, o.listen_port); }},
    {"--ntp", true, [](ServeOptions &o, const std::string &v) { return HostPortInto(v, o.ntp_host, o.ntp_port); }},
    {"--tls-cert", true, [](ServeOptions &o, const std::string &v) -> OptionError { o.tls_cert = v; return std::nullopt; }},
    {"--tls-key", true, [](ServeOptions &o, const std::string &v) -> OptionError { o.tls_key = v; return std::nullopt; }},
    {"--public-url", true,
     [](ServeOptions &o, const std::string &v) -> OptionError { o.public_url = v; return std::nullopt; }},
    {"--min-version", true, [](ServeOptions &o, const std::string &v) { return VersionInto(v, o.runtime.min_version); }},
    {"--latest-version", true,
     [](ServeOptions &o, const std::string &v) { return VersionInto(v, o.runtime.latest_version); }},
    {"--download-url", true,
     [](ServeOptions &o, const std::string &v) -> OptionError { o.runtime.download_url = v; return std::nullopt; }},
    {"--time-source", true,
     [](ServeOptions &o, const std::string &v) -> OptionError { o.runtime.time_source = v; return std::nullopt; }},
    {"--time-uncertainty-ms", true,
     [](ServeOptions &o, const std::string &v) -> OptionError {
       char *end = nullptr;
       double d = std::strtod(v.c_str(), &end);
       if (v.empty() || *end != '\0' || !(d >= 0 && d <= 86400000)) return "expected a number of milliseconds >= 0";
       o.runtime.time_uncertainty_ms = d;
       return std::nullopt;
     }},
    {"--release-lead-ms", true,
     [](ServeOptions &o, const std::string &v) { return IntInto(v, 0, 86400000, o.runtime.release_lead_ms); }},
    {"--claim-expiry-ms", true,
     [](ServeOptions &o, const std::string &v) { return IntInto(v, 1000, 86400000, o.runtime.claim_expiry_ms); }},
    {"--starting-credits", true,
     [](ServeOptions &o, const std::string &v) { return IntInto(v, 0, 1000000000, o.runtime.starting_credits); }},
    {"--points-per-yuan", true,
     [](ServeOptions &o, const std::string &v) { return IntInto(v, 1, 100000, o.runtime.points_per_yuan); }},
    {"--payment-methods", true,
     [](ServeOptions &o, const std::string &v) -> OptionError {
       if (v != "alipay,wxpay" && v != "wxpay,alipay" && v != "alipay" && v != "wxpay" && v != "none")
         return "expected alipay,wxpay | alipay | wxpay | none";
       o.runtime.alipay = v.find("alipay") != std::string::npos;
       o.runtime.wxpay = v.find("wxpay") != std::string::npos;
       return std::nullopt;
     }},
    {"--ntp-stratum", true, [](ServeOptions &o, const std::string &v) { return IntInto(v, 1, 15, o.ntp_stratum); }},
    {"--threads", true, [](ServeOptions &o, const std::string &v) { return IntInto(v, 2, 1024, o.threads); }},
    {"--db", true,
     [](ServeOptions &o, const std::string &v) -> OptionError {
       if (!Db::IsPostgresUrl(v)) return "expected a postgresql://… address";
       o.db_url = v;
       return std::nullopt;
     }},
    {"--db-connections", true, [](ServeOptions &o, const std::string &v) { return IntInto(v, 1, 256, o.db_connections); }},
    {"--hash-threads", true, [](ServeOptions &o, const std::string &v) { return IntInto(v, 0, 256, o.hash_threads); }},
    {"--hash-queue", true, [](ServeOptions &o, const std::string &v) { return IntInto(v, 0, 1024, o.hash_queue); }},
    {"--hash-wait-ms", true, [](ServeOptions &o, const std::string &v) { return IntInto(v, 0, 10000, o.hash_wait_ms); }},
    {"--request-deadline-ms", true,
     [](ServeOptions &o, const std::string &v) { return IntInto(v, 500, 600000, o.request_deadline_ms); }},
    {"--max-connections-per-source", true,
     [](ServeOptions &o, const std::string &v) { return IntInto(v, 0, 100000, o.max_connections_per_source); }},
    {"--real-ip-from", true,
     [](ServeOptions &o, const std::string &v) -> OptionError { o.real_ip_from = v; return std::nullopt; }},
    {"--session-idle-days", true,
     [](ServeOptions &o, const std::string &v) -> OptionError {
       int64_t d = 0;
       OptionError e = IntInto(v, 1, 3650, d);
       if (!e) o.runtime.session_idle_ms = d * 24 * 3600 * 1000;
       return e;
     }},
    {"--test-mode", false, [](ServeOptions &o, const std::string &) -> OptionError { o.test_mode = true; return std::nullopt; }},
    {"--plain-http", false,
     [](ServeOptions &o, const std::string &) -> OptionError { o.plain_http = true; return std::nullopt; }},
    {"--quiet", false, [](ServeOptions &o, const std::string &) -> OptionError { o.quiet = true; return std::nullopt; }},
};

}  // namespace

std::optional<ServeOptions> ParseServeArgs(const std::vector<std::string> &args, std::string &error) {
  ServeOptions o;
  bool have_listen = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string &a = args[i];
    const ServeOption *option = nullptr;
    for (const ServeOption &candidate : kServeOptions)
      if (a == candidate.name) option = &candidate;
    if (!option) {
      error = "unknown option '" + a + "'";
      return std::nullopt;
    }
    std::string value;
    if (option->takes_value) {
      if (i + 1 >= args.size()) {
        error = a + " needs a value";
        return std::nullopt;
      }
      value = args[++i];
    }
    if (OptionError e = option->apply(o, value)) {
      error = a + ": " + *e;
      return std::nullopt;
    }
    have_listen = have_listen || a == "--listen";
  }
  if (o.data_dir.empty()) {
    error = "--data DIR is required";
    return std::nullopt;
  }
  if (!have_listen) {
    error = "--listen HOST:PORT is required";
    return std::nullopt;
  }
  if (o.tls_cert.empty() != o.tls_key.empty()) {
    error = "--tls-cert and --tls-key go together";
    return std::nullopt;
  }
  if (o.plain_http && !o.tls_cert.empty()) {
    error = "--plain-http cannot be combined with --tls-cert/--tls-key";
    return std::nullopt;
  }
  return o;
}

std::string UsageText() {
  return R"(orvane-service - reference service for the Orvane synchronised-click client

Usage:
  orvane-service serve --data DIR --listen HOST:PORT [options]
  orvane-service admin (--data DIR | --db postgresql://… | both) SUBCOMMAND [ARGS...]
  orvane-service admin --help
  orvane-service --help

serve options:
  --data DIR               data directory (database, keys, TLS files); created if missing
  --listen HOST:PORT       HTTPS address; port 0 picks a free port. "localhost" binds 127.0.0.1
  --tls-cert F --tls-key F server certificate chain and key (PEM). Without them a development
                           CA and a certificate for localhost are made in DIR/tls/
  --plain-http             serve plain HTTP instead (behind a TLS proxy on the same machine, or
                           for manual checks)
  --db postgresql://…      keep the data in PostgreSQL instead of DIR/orvane.db, so several
                           instances (behind nginx, see service/deploy/) share accounts, rooms,
                           credits and the signing key
  --db-connections N       PostgreSQL connections of this instance, each with its own prepared
                           statements (default 8; SQLite uses one, whose commits are grouped)
  --ntp HOST:PORT          also answer SNTP (NTP v4 server mode) on this UDP address
  --ntp-stratum N          stratum announced by the SNTP responder (default 2)
  --min-version X.Y.Z      oldest client version still served (default 0.9.0)
  --latest-version X.Y.Z   version offered for download (default 0.9.10)
  --download-url URL       download page (default <public url>/download/)
  --public-url URL         base of links handed out (default https://localhost:PORT)
  --release-lead-ms N      instruction released N ms before the click (default 20000)
  --claim-expiry-ms N      instruction valid N ms after the click (default 60000)
  --starting-credits N     credits of new accounts (default 20)
  --points-per-yuan N      credits per yuan paid (default 10)
  --payment-methods LIST   alipay,wxpay | alipay | wxpay | none (default alipay,wxpay)
  --time-source CODE       time_source reported by "time" (default system_fallback)
  --time-uncertainty-ms X  source_uncertainty_ms reported by "time" and the SNTP root dispersion
                           (default: the kernel's maximum error; while the kernel reports the clock
                           unsynchronised at least 1000, and the SNTP replies say leap indicator 3)
  --threads N              worker threads for connections (default 128)
  --max-connections-per-source N
                           open connections one address may hold (default 16, 0: no limit)
  --request-deadline-ms N  time a connection has for the TLS handshake, request line, headers
                           and body of a request together (default 10000)
  --real-ip-from ADDR      connections from ADDR (a proxy) name the client in X-Real-IP; they are
                           exempt from the per-address connection limit
  --hash-threads N         password hashes computed at once (default: one fewer than the cores)
  --hash-queue N           password hashes waiting beyond those before logins are answered
                           "busy" (default: two per hashing thread)
  --hash-wait-ms N         beyond those, a login waits in line up to N ms for a place before it is
                           answered "busy"; the line holds up to half of --threads (default 1000)
  --session-idle-days N    a login session unused for N days ends (default 30)
  --test-mode              enable the /__test/ endpoints (fault injection, clock shifts)
  --quiet                  no per-request log lines
  Prints "listening on https://localhost:PORT/api.php" when ready; SIGINT/SIGTERM stop it.

)" + AdminHelpText();
}

std::string AdminHelpText() {
  return R"(admin subcommands (work on the database in DIR or at --db, also while the service runs):
  account-create EMAIL PASSWORD        e-mail account (password 8..200 characters)
  developer-create USERNAME PASSWORD   developer account (name 4..32, password 12..128);
                                       bound to the device id of its first login
  developer-unbind USERNAME            forget the bound device id
  accounts                             list accounts
  credits-set ACCOUNT N                set the balance (ACCOUNT: e-mail, user name or #id)
  credits-add ACCOUNT N                add N (may be negative) to the balance
  blacklist-add SHA256 REASON [NAME]   add or update an entry
  blacklist-remove SHA256              remove an entry
  blacklist-list                       list entries
  blacklist-import QVTR1.…             import a developer's blacklist code
  outbox [EMAIL]                       mails written instead of being sent (latest first)
  tasks [--room CODE]                  tasks with their state and reported timing error
  rooms show CODE                      the room's result as its participants see it: each
                                       machine's state, timing error and shown uncertainty, and
                                       how far apart the clicks were. Codes recur once a room's
                                       instant has passed: this shows the latest room of CODE
  public-key                           the signing public key (base64)
  A PASSWORD argument of "-" reads the password from the first line of standard input.
)";
}

}  // namespace orvane
