// Command-line options of "serve" and the runtime settings that tests may tune.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace orvane {

// Settings read on every request; changed at run time only through the test-mode endpoint.
struct RuntimeConfig {
  std::string min_version = "0.9.0";
  std::string latest_version = "0.9.10";
  std::string download_url;  // empty: <public base>/download/
  int64_t release_lead_ms = 20000;    // instruction released this long before the click
  int64_t retry_after_ms = 30000;     // longest retry hint while not released
  int64_t claim_expiry_ms = 60000;    // instruction valid this long after the click
  int64_t starting_credits = 20;
  int64_t points_per_yuan = 10;
  bool alipay = true;
  bool wxpay = true;
  int64_t room_cost = 2;
  int64_t test_cost = 1;
  int64_t code_ttl_ms = 600000;       // e-mail codes valid 10 minutes
  int64_t code_max_attempts = 5;      // wrong entries before a code is burnt
  int64_t code_resend_ms = 60000;     // minimum gap between two codes for one address
  // Wrong passwords: free failures per address tried and per source, then a doubling delay up to a
  // cap (short for an address, so strangers cannot keep its owner out for long).
  int64_t login_free_failures = 5;
  int64_t login_delay_cap_ms = 60000;
  int64_t source_free_failures = 20;
  int64_t source_delay_cap_ms = 300000;
  int64_t login_failure_window_ms = 3600000;  // failures older than this are forgotten
  int64_t login_first_delay_ms = 1000;        // the first delay, doubled with each further failure
  int64_t session_idle_ms = 30LL * 24 * 3600 * 1000;  // a session unused this long ends
  int64_t payment_ttl_ms = 1800000;   // payment pages stay payable 30 minutes
  int64_t max_schedule_ahead_ms = 7LL * 24 * 3600 * 1000;
  std::string time_source;            // empty: "system_fallback"
  double time_uncertainty_ms = -1;    // negative: derived from the kernel's clock status

  // Applies the members present in `patch`; returns an error text for an unknown or mistyped key.
  std::optional<std::string> Apply(const nlohmann::json &patch);
  nlohmann::ordered_json ToJson() const;
};

struct ServeOptions {
  std::string data_dir;
  std::string listen_host = "127.0.0.1";
  int listen_port = 8443;
  std::string tls_cert;
  std::string tls_key;
  std::string ntp_host;
  int ntp_port = -1;  // -1: no SNTP responder
  int ntp_stratum = 2;
  bool test_mode = false;
  bool plain_http = false;
  bool quiet = false;
  std::string public_url;  // base for pay and download links; default https://localhost:PORT
  // Each connection holds a thread while it is read and answered; a flood of cheap requests (logins
  // answered "busy") queued behind too few threads delays everyone else's "time".
  int threads = 128;
  std::string db_url;               // empty: SQLite in DIR/orvane.db; postgresql://… shares one database
  int db_connections = 8;           // PostgreSQL connections of this instance (SQLite: one)
  int hash_threads = 0;             // password hashes at once (0: one fewer than the cores, at least one)
  int hash_queue = -1;              // hashes waiting beyond those (-1: two per hashing thread)
  int hash_wait_ms = 1000;          // beyond those, how long a login waits in line for a place (the line
                                    // holds half the worker threads at most); 0: refused at once
  int64_t request_deadline_ms = 10000;  // TLS handshake, request line, headers and body together
  int max_connections_per_source = 16;  // 0: no limit
  std::string real_ip_from;         // a proxy whose X-Real-IP header names the client
  RuntimeConfig runtime;
};

// Parses the arguments after "serve". On failure returns nothing and sets `error`.
std::optional<ServeOptions> ParseServeArgs(const std::vector<std::string> &args, std::string &error);

std::string UsageText();
// The admin subcommands, for "orvane-service admin --help".
std::string AdminHelpText();

}  // namespace orvane
