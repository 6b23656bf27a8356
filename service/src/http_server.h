// cpp-httplib server whose connections are handled here: TLS through OpenSSL, the raw request
// bytes kept for the test-mode "last request" view, the arrival time of each request's first
// byte, and the ability to drop a connection without answering.
#pragma once
#include <openssl/ssl.h>

#include <cstdint>
#include <string>

#include <httplib.h>

namespace orvane {

// What the worker thread knows about the connection whose request it is handling.
struct ConnectionInfo {
  int fd = -1;
  bool tls = false;
  bool recording = false;         // keep the raw request bytes
  std::string raw;                // request line, header lines and body as received
  int64_t first_byte_system_us = 0;  // system clock when the request's first byte was read
  bool dropped = false;
};

// The connection of the request being handled on this thread, or nullptr.
ConnectionInfo *CurrentConnection();
// Closes the current connection at once; the response being built is never sent.
void DropCurrentConnection();

// Marks the current response as complete, so the error page hook leaves it alone.
void MarkResponseOwned();
bool ResponseOwned();

// TLS context for the server certificate chain and key. Throws with a readable text on failure.
SSL_CTX *MakeServerTlsContext(const std::string &cert_file, const std::string &key_file);

class OrvaneHttpServer : public httplib::Server {
 public:
  // Takes ownership of `tls` (nullptr: plain HTTP).
  OrvaneHttpServer(SSL_CTX *tls, bool record_requests);
  ~OrvaneHttpServer() override;

 private:
  bool process_and_close_socket(socket_t sock) override;
  bool WaitForNextRequest(int fd, SSL *ssl, bool buffered);

  SSL_CTX *tls_;
  bool record_;
};

}  // namespace orvane
