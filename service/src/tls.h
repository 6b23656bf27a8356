// Development TLS material: a private CA and a server certificate for "localhost",
// made with OpenSSL's C API in DIR/tls/ and reused on later starts.
#pragma once
#include <string>

namespace orvane {

struct TlsFiles {
  std::string ca_cert;      // DIR/tls/dev-ca.pem
  std::string ca_key;       // DIR/tls/dev-ca.key
  std::string server_cert;  // DIR/tls/server.pem
  std::string server_key;   // DIR/tls/server.key
};

// Creates whatever is missing. The CA is kept as long as its files load; the server certificate is
// remade when it is missing, unreadable, not issued by that CA or expiring within a day.
// Throws std::runtime_error with a readable text on failure.
TlsFiles EnsureDevTls(const std::string &data_dir);

}  // namespace orvane
