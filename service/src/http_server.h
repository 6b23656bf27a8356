// cpp-httplib server whose connections are handled here: TLS through OpenSSL, the raw request
// bytes kept for the test-mode "last request" view, the arrival time of each request's first
// byte, and the ability to drop a connection without answering.
//
// Slow and malformed clients are bounded here too: each request (for the first one of a
// connection including the TLS handshake) must arrive completely within one deadline; a body must
// follow its headers without a pause; Content-Length must be one plain decimal number that is not
// too large; and one source address holds only so many connections at once.
#pragma once
#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>

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
  std::string peer;               // the connection's source address
  std::chrono::steady_clock::time_point deadline;  // the current request must have arrived by then
  bool reading_body = false;
  bool deadline_passed = false;
  bool body_cut_short = false;    // the body ended or paused before its Content-Length
  bool read_failed = false;       // a read of this request ended in a time-out, error or end of stream
  int refusal_status = 0;         // set when the request is refused before its body is read
  std::string refusal_message;
  // The request line and header block: how much of it has arrived, and whether the library read it
  // as a request. One it could not read is answered (400, 414, 431) and ends the connection: what
  // follows on it, such as a declared body, is not the start of a request.
  size_t head_bytes = 0;
  int head_lines = 0;
  bool head_read = false;
  bool answered = false;          // bytes of an answer to this request have been written
};

// The connection of the request being handled on this thread, or nullptr.
ConnectionInfo *CurrentConnection();
// Closes the current connection at once; the response being built is never sent.
void DropCurrentConnection();

// Marks the current response as complete, so the error page hook leaves it alone.
void MarkResponseOwned();
bool ResponseOwned();

// Status and message for a request that the connection layer refused (malformed Content-Length,
// body cut short, deadline passed); 0 when it did not.
int ConnectionRefusal(std::string &message);

// True while handling a request whose request line or headers could not be read: its answer closes
// the connection.
bool RequestHeadUnreadable();

// The TLS 1.2 suites offered: ECDHE with AES-GCM or ChaCha20-Poly1305.
inline constexpr const char *kTls12Ciphers =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:"
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

// TLS context for the server certificate chain and key. Throws with a readable text on failure.
SSL_CTX *MakeServerTlsContext(const std::string &cert_file, const std::string &key_file);

struct ConnectionLimits {
  int request_deadline_ms = 10000;
  int body_pause_ms = 1000;        // longest silence between the headers and the end of the body
  int per_source = 16;             // 0: no limit
  std::string exempt_source;       // a proxy in front, whose connections are not counted
  size_t max_body_bytes = 64 * 1024;
  // The request line and headers together, as nginx's four 8 KiB header buffers: beyond either
  // bound the request is answered 431 (414 while still in the request line) without reading on.
  size_t max_head_bytes = 32 * 1024;
  int max_head_lines = 100;
};

class OrvaneHttpServer : public httplib::Server {
 public:
  // A connection over its address's share gets this long to start its request, and is then
  // answered 503 with Retry-After.
  static constexpr int kRefusalDeadlineMs = 2000;
  // Connections with bytes to read that may wait for a free worker thread (as many as the kernel's
  // own queue of connections to accept); beyond that a further one is closed at once rather than
  // queued without end.
  static constexpr size_t kMaxQueuedConnections = 4096;

  // Takes ownership of `tls` (nullptr: plain HTTP).
  OrvaneHttpServer(SSL_CTX *tls, bool record_requests, ConnectionLimits limits);
  ~OrvaneHttpServer() override;

  // Takes ownership of `tls`: new connections use it (a renewed certificate), running ones keep theirs.
  void ReplaceTls(SSL_CTX *tls);

  // Connections refused because their source already held its share (diagnostics).
  int64_t RefusedConnections() const;
  // The worker threads (set as new_task_queue): `threads` of them, and the waiting room where
  // connections that have sent nothing yet wait without holding one.
  httplib::TaskQueue *MakeConnectionQueue(size_t threads);
  // Connections in the waiting room now (diagnostics).
  size_t WaitingConnections() const;
  // Connections closed because the queue for the worker threads was full (diagnostics).
  int64_t ShedConnections() const;
  // After binding: a long queue of connections waiting to be accepted. The library's own is five,
  // and in a burst of connections the rest lose their SYN and retry only a second later.
  void WidenAcceptQueue();

 private:
  class ConnectionQueue;
  struct Arrival {
    int fd = -1;
    std::string peer;
    bool admitted = false;  // within its address's share
    std::chrono::steady_clock::time_point deadline;
  };
  bool process_and_close_socket(socket_t sock) override;
  bool Serve(const Arrival &a);
  void Refuse(const Arrival &a);
  void Park(const Arrival &a);
  void Close(const Arrival &a);
  void Hand(const Arrival &a);
  void WaitingRoom();
  void StopWaitingRoom();
  bool WaitForNextRequest(int fd, SSL *ssl, bool buffered);
  bool AdmitSource(const std::string &peer);
  SSL *NewTlsConnection();
  void ReleaseSource(const std::string &peer);

  std::mutex tls_mutex_;
  SSL_CTX *tls_;  // guarded by tls_mutex_
  const bool tls_enabled_;
  bool record_;
  ConnectionLimits limits_;
  mutable std::mutex sources_mutex_;
  std::map<std::string, int> open_per_source_;
  int64_t refused_connections_ = 0;

  mutable std::mutex room_mutex_;
  std::map<int, Arrival> waiting_;
  int epoll_fd_ = -1;
  bool room_stop_ = false;
  std::thread room_thread_;
  ConnectionQueue *queue_ = nullptr;  // owned by the library's listen loop
  std::atomic<int64_t> shed_connections_{0};
};

}  // namespace orvane
