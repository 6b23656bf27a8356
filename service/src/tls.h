// Development TLS material: a private CA and a server certificate for "localhost",
// made with OpenSSL's C API in DIR/tls/ and reused on later starts.
#pragma once
#include <ctime>
#include <string>

namespace orvane {

struct TlsFiles {
  std::string ca_cert;      // DIR/tls/dev-ca.pem
  std::string ca_key;       // DIR/tls/dev-ca.key
  std::string server_cert;  // DIR/tls/server.pem
  std::string server_key;   // DIR/tls/server.key
  bool server_renewed = false;  // the server certificate was made by this call
};

// The server certificate lives a year and is made again once it has less than this left, at a
// start or by the running service's daily check, so it never runs out while the service runs.
constexpr long kDevServerLifetimeDays = 365;
constexpr long kDevServerRenewDays = 30;

// Creates whatever is missing. The CA is kept as long as its files load; the server certificate is
// remade when it is missing, unreadable, not issued by that CA or within kDevServerRenewDays of its
// end at `now`. Throws std::runtime_error with a readable text on failure.
TlsFiles EnsureDevTls(const std::string &data_dir, time_t now = time(nullptr));

}  // namespace orvane
