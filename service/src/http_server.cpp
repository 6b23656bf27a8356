#include "http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <stdexcept>

#include "clock.h"

namespace orvane {
namespace {

thread_local ConnectionInfo *t_connection = nullptr;
thread_local bool t_response_owned = false;

constexpr size_t kMaxRecordedBytes = 1 << 20;

bool WaitFd(int fd, short events, int timeout_ms) {
  pollfd p{fd, events, 0};
  int rc;
  do {
    rc = ::poll(&p, 1, timeout_ms);
  } while (rc < 0 && errno == EINTR);
  return rc > 0 && (p.revents & (events | POLLHUP | POLLERR));
}

void AddressOf(const sockaddr_storage &ss, std::string &ip, int &port) {
  char buf[INET6_ADDRSTRLEN] = "";
  if (ss.ss_family == AF_INET) {
    auto *a = reinterpret_cast<const sockaddr_in *>(&ss);
    inet_ntop(AF_INET, &a->sin_addr, buf, sizeof buf);
    port = ntohs(a->sin_port);
  } else if (ss.ss_family == AF_INET6) {
    auto *a = reinterpret_cast<const sockaddr_in6 *>(&ss);
    inet_ntop(AF_INET6, &a->sin6_addr, buf, sizeof buf);
    port = ntohs(a->sin6_port);
  }
  ip = buf;
}

using SteadyClock = std::chrono::steady_clock;

// Milliseconds to wait for the next read: `base_ms`, but never past the request's deadline (rounded
// up, so a wait that ends early by a fraction never looks like an ordinary time-out). Sets
// `by_deadline` when the deadline is what bounds the wait.
int ReadWaitMs(const ConnectionInfo &info, int base_ms, bool *by_deadline = nullptr) {
  auto left_us = std::chrono::duration_cast<std::chrono::microseconds>(info.deadline - SteadyClock::now()).count();
  int64_t left_ms = left_us <= 0 ? 0 : (left_us + 999) / 1000;
  if (by_deadline) *by_deadline = left_ms <= base_ms;
  return static_cast<int>(std::min<int64_t>(base_ms, left_ms));
}

class ConnectionStream final : public httplib::Stream {
 public:
  ConnectionStream(int fd, SSL *ssl, int read_timeout_ms, int write_timeout_ms, const ConnectionLimits &limits,
                   ConnectionInfo &info)
      : fd_(fd), ssl_(ssl), read_ms_(read_timeout_ms), write_ms_(write_timeout_ms), body_pause_ms_(limits.body_pause_ms),
        max_head_bytes_(limits.max_head_bytes), max_head_lines_(limits.max_head_lines), info_(info) {}

  bool Buffered() const { return (ssl_ && SSL_pending(ssl_) > 0) || off_ < len_; }

  bool is_readable() const override { return Buffered() || WaitFd(fd_, POLLIN, ReadWaitMs(info_, read_ms_)); }
  bool is_writable() const override { return !info_.dropped && WaitFd(fd_, POLLOUT, write_ms_); }

  ssize_t read(char *ptr, size_t size) override {
    if (info_.dropped || info_.refusal_status) return -1;
    size_t got = 0;
    if (ssl_) {
      for (;;) {
        if (SSL_pending(ssl_) <= 0 && !WaitForData()) return -1;
        int r = SSL_read(ssl_, ptr, static_cast<int>(std::min<size_t>(size, INT_MAX)));
        if (r > 0) {
          got = static_cast<size_t>(r);
          break;
        }
        int err = SSL_get_error(ssl_, r);
        ERR_clear_error();
        if (err == SSL_ERROR_WANT_READ) continue;  // a record arrives in pieces
        if (err == SSL_ERROR_WANT_WRITE && WaitFd(fd_, POLLOUT, write_ms_)) continue;
        if (info_.reading_body) info_.body_cut_short = true;
        info_.read_failed = true;
        return err == SSL_ERROR_ZERO_RETURN ? 0 : -1;
      }
    } else {
      if (off_ >= len_) {
        ssize_t r;
        for (;;) {
          if (!WaitForData()) return -1;
          r = ::recv(fd_, buf_, sizeof buf_, 0);
          if (r >= 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) break;
        }
        if (r <= 0) {
          if (info_.reading_body) info_.body_cut_short = true;
          info_.read_failed = true;
          return r < 0 ? -1 : 0;
        }
        off_ = 0;
        len_ = static_cast<size_t>(r);
      }
      got = std::min(size, len_ - off_);
      std::memcpy(ptr, buf_ + off_, got);
      off_ += got;
    }
    if (info_.first_byte_system_us == 0) info_.first_byte_system_us = ServiceClock::SystemNowUs();
    if (!info_.reading_body && !CountHead(ptr, got)) return -1;
    if (info_.recording && info_.raw.size() < kMaxRecordedBytes) info_.raw.append(ptr, got);
    return static_cast<ssize_t>(got);
  }

  ssize_t write(const char *ptr, size_t size) override {
    if (info_.dropped) return -1;
    info_.answered = true;
    if (ssl_) {
      for (;;) {
        int r = SSL_write(ssl_, ptr, static_cast<int>(std::min<size_t>(size, INT_MAX)));
        if (r > 0) return r;
        int err = SSL_get_error(ssl_, r);
        ERR_clear_error();
        if (err == SSL_ERROR_WANT_WRITE && WaitFd(fd_, POLLOUT, write_ms_)) continue;
        if (err == SSL_ERROR_WANT_READ && WaitFd(fd_, POLLIN, write_ms_)) continue;
        return -1;
      }
    }
    for (;;) {
      ssize_t r = ::send(fd_, ptr, size, MSG_NOSIGNAL);
      if (r >= 0) return r;
      if (errno == EINTR) continue;
      if ((errno == EAGAIN || errno == EWOULDBLOCK) && WaitFd(fd_, POLLOUT, write_ms_)) continue;
      return -1;
    }
  }

  void get_remote_ip_and_port(std::string &ip, int &port) const override {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (getpeername(fd_, reinterpret_cast<sockaddr *>(&ss), &len) == 0) AddressOf(ss, ip, port);
  }
  void get_local_ip_and_port(std::string &ip, int &port) const override {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (getsockname(fd_, reinterpret_cast<sockaddr *>(&ss), &len) == 0) AddressOf(ss, ip, port);
  }
  socket_t socket() const override { return fd_; }

 private:
  // Waits for bytes within the read time-out, the body pause and the request deadline, and notes
  // which of them ran out.
  bool WaitForData() {
    bool by_deadline = false;
    int wait_ms = ReadWaitMs(info_, info_.reading_body ? body_pause_ms_ : read_ms_, &by_deadline);
    if (wait_ms > 0 && WaitFd(fd_, POLLIN, wait_ms)) return true;
    if (by_deadline) info_.deadline_passed = true;
    else if (info_.reading_body) info_.body_cut_short = true;
    info_.read_failed = true;
    return false;
  }

  // The library keeps every header line it reads, so a client sending header lines without end
  // would grow this process without end: the request line and headers are bounded here, before
  // the library sees them. Over either bound, the request is refused and nothing more is read.
  bool CountHead(const char *p, size_t n) {
    info_.head_bytes += n;
    info_.head_lines += static_cast<int>(std::count(p, p + n, '\n'));
    if (info_.head_bytes <= max_head_bytes_ && info_.head_lines <= max_head_lines_) return true;
    if (info_.head_lines == 0) {
      info_.refusal_status = 414;
      info_.refusal_message = "请求地址过长";
    } else {
      info_.refusal_status = 431;
      info_.refusal_message = "请求头过大";
    }
    info_.read_failed = true;
    return false;
  }

  int fd_;
  SSL *ssl_;
  int read_ms_;
  int write_ms_;
  int body_pause_ms_;
  size_t max_head_bytes_;
  int max_head_lines_;
  ConnectionInfo &info_;
  char buf_[16384];
  size_t off_ = 0;
  size_t len_ = 0;
};

// Content-Length as one plain decimal number; duplicates must agree. Sets the refusal otherwise.
void CheckBodyFraming(httplib::Request &req, ConnectionInfo &info, size_t max_body) {
  auto refuse = [&](int status, const char *message) {
    info.refusal_status = status;
    info.refusal_message = message;
  };
  if (req.has_header("Transfer-Encoding")) return refuse(400, "不支持分块传输的请求，请注明 Content-Length");
  auto range = req.headers.equal_range("Content-Length");
  bool have = false;
  uint64_t length = 0;
  for (auto it = range.first; it != range.second; ++it) {
    const std::string &v = it->second;
    if (v.empty() || v.size() > 18 || v.find_first_not_of("0123456789") != std::string::npos)
      return refuse(400, "请求头 Content-Length 不正确");
    uint64_t n = std::stoull(v);
    if (have && n != length) return refuse(400, "请求头 Content-Length 重复且互相矛盾");
    have = true;
    length = n;
  }
  bool has_body = req.method == "POST" || req.method == "PUT" || req.method == "PATCH";
  if (has_body && !have) return refuse(411, "请求缺少 Content-Length");
  // The library reads a body only for the methods that carry one (DELETE too); any other method's
  // body would be left on the connection and read as the next request.
  if (!has_body && req.method != "DELETE" && length > 0) return refuse(400, "此类请求不能带有内容");
  if (length > max_body) return refuse(413, "请求内容过大");
}

// An answer written here rather than by the library; it always ends the connection.
std::string ClosingAnswer(int status, const std::string &message, const std::string &extra_headers = "") {
  const char *reason = status == 503 ? "Service Unavailable"
                       : status == 414 ? "URI Too Long"
                       : status == 431 ? "Request Header Fields Too Large"
                                       : "Bad Request";
  const std::string body = "{\"ok\":false,\"message\":\"" + message + "\"}";
  return "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n" + extra_headers +
         "Content-Type: application/json; charset=utf-8\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}

// After a refused request the client may still be sending its body; closing at once would reset
// the connection and could destroy the answer before the client reads it. Stop sending, then read
// and discard for a short while.
void LingeringClose(int fd) {
  ::shutdown(fd, SHUT_WR);
  char sink[8192];
  size_t drained = 0;
  auto until = SteadyClock::now() + std::chrono::milliseconds(1000);
  while (drained < (1u << 20)) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - SteadyClock::now()).count();
    if (left <= 0 || !WaitFd(fd, POLLIN, static_cast<int>(left))) break;
    ssize_t r = ::recv(fd, sink, sizeof sink, 0);
    if (r <= 0 && !(r < 0 && (errno == EINTR || errno == EAGAIN))) break;
    if (r > 0) drained += static_cast<size_t>(r);
  }
}

}  // namespace

ConnectionInfo *CurrentConnection() { return t_connection; }

void DropCurrentConnection() {
  if (!t_connection || t_connection->dropped) return;
  t_connection->dropped = true;
  ::shutdown(t_connection->fd, SHUT_RDWR);
}

bool RequestHeadUnreadable() { return t_connection && !t_connection->head_read; }

void MarkResponseOwned() { t_response_owned = true; }
bool ResponseOwned() { return t_response_owned; }

int ConnectionRefusal(std::string &message) {
  if (!t_connection) return 0;
  if (t_connection->refusal_status) {
    message = t_connection->refusal_message;
    return t_connection->refusal_status;
  }
  if (t_connection->deadline_passed) {
    message = "请求发送超时，请重试";
    return 408;
  }
  if (t_connection->body_cut_short) {
    message = "请求内容短于 Content-Length 所声明的长度";
    return 400;
  }
  return 0;
}

SSL_CTX *MakeServerTlsContext(const std::string &cert_file, const std::string &key_file) {
  SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
  if (!ctx) throw std::runtime_error("cannot create TLS context");
  auto fail = [&](const std::string &what) {
    unsigned long e = ERR_get_error();
    char buf[256] = "";
    if (e) ERR_error_string_n(e, buf, sizeof buf);
    SSL_CTX_free(ctx);
    throw std::runtime_error(what + (e ? std::string(": ") + buf : std::string()));
  };
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_options(ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION);
  // TLS 1.2 offers only forward-secret key exchange with authenticated encryption (the common
  // "intermediate" profile): no static RSA, no CBC, no SHA-1. TLS 1.3's own suites are all of that kind.
  if (SSL_CTX_set_cipher_list(ctx, kTls12Ciphers) != 1) fail("cannot set the TLS 1.2 cipher suites");
  if (SSL_CTX_set1_groups_list(ctx, "X25519:P-256:P-384") != 1) fail("cannot set the key exchange groups");
  SSL_CTX_set_mode(ctx, SSL_MODE_AUTO_RETRY);
  if (SSL_CTX_use_certificate_chain_file(ctx, cert_file.c_str()) != 1)
    fail("cannot load certificate " + cert_file);
  if (SSL_CTX_use_PrivateKey_file(ctx, key_file.c_str(), SSL_FILETYPE_PEM) != 1)
    fail("cannot load private key " + key_file);
  if (SSL_CTX_check_private_key(ctx) != 1) fail(key_file + " does not match " + cert_file);
  return ctx;
}

OrvaneHttpServer::OrvaneHttpServer(SSL_CTX *tls, bool record_requests, ConnectionLimits limits)
    : tls_(tls), tls_enabled_(tls != nullptr), record_(record_requests), limits_(std::move(limits)) {}

OrvaneHttpServer::~OrvaneHttpServer() {
  StopWaitingRoom();
  if (epoll_fd_ >= 0) ::close(epoll_fd_);
  if (tls_) SSL_CTX_free(tls_);
}

void OrvaneHttpServer::ReplaceTls(SSL_CTX *tls) {
  SSL_CTX *old = nullptr;
  {
    std::lock_guard<std::mutex> lock(tls_mutex_);
    old = tls_;
    tls_ = tls;
  }
  // Connections made with the old context hold their own reference to it.
  if (old) SSL_CTX_free(old);
}

SSL *OrvaneHttpServer::NewTlsConnection() {
  std::lock_guard<std::mutex> lock(tls_mutex_);
  return tls_ ? SSL_new(tls_) : nullptr;
}

int64_t OrvaneHttpServer::RefusedConnections() const {
  std::lock_guard<std::mutex> lock(sources_mutex_);
  return refused_connections_;
}

void OrvaneHttpServer::WidenAcceptQueue() {
  if (svr_sock_ != INVALID_SOCKET) ::listen(svr_sock_, SOMAXCONN);
}

bool OrvaneHttpServer::AdmitSource(const std::string &peer) {
  if (limits_.per_source <= 0 || peer == limits_.exempt_source) return true;
  std::lock_guard<std::mutex> lock(sources_mutex_);
  int &open = open_per_source_[peer];
  if (open >= limits_.per_source) {
    ++refused_connections_;
    return false;
  }
  ++open;
  return true;
}

void OrvaneHttpServer::ReleaseSource(const std::string &peer) {
  if (limits_.per_source <= 0 || peer == limits_.exempt_source) return;
  std::lock_guard<std::mutex> lock(sources_mutex_);
  auto it = open_per_source_.find(peer);
  if (it != open_per_source_.end() && --it->second <= 0) open_per_source_.erase(it);
}

bool OrvaneHttpServer::WaitForNextRequest(int fd, SSL *ssl, bool buffered) {
  if (buffered || (ssl && SSL_pending(ssl) > 0)) return true;
  const int64_t limit_ms = static_cast<int64_t>(keep_alive_timeout_sec_) * 1000;
  int64_t waited = 0;
  while (svr_sock_ != INVALID_SOCKET) {
    if (WaitFd(fd, POLLIN, 100)) return true;
    waited += 100;
    if (waited >= limit_ms) return false;
  }
  return false;
}

// ---- the waiting room ------------------------------------------------------------------------
// A connection holds a worker thread only once it has sent something. Until then it waits here,
// in one epoll set, costing a file descriptor and no thread: a few thousand silent connections do
// not lock anyone out. One that stays silent is closed at its deadline.

class OrvaneHttpServer::ConnectionQueue final : public httplib::TaskQueue {
 public:
  ConnectionQueue(OrvaneHttpServer &server, size_t threads)
      : server_(server), pool_(threads), limit_(kMaxQueuedConnections) {}
  // The library hands over each accepted connection here. Taking one in never waits (it is parked,
  // or handed to a worker when its bytes are there already), so it runs on the accepting thread:
  // a flood of arrivals, silent or over their address's share, takes no worker thread at all.
  void enqueue(std::function<void()> fn) override { fn(); }
  // A connection with bytes to read, for the next free worker; false when too many wait already.
  bool Dispatch(std::function<void()> fn) {
    if (queued_.fetch_add(1) >= limit_) {
      --queued_;
      return false;
    }
    pool_.enqueue([this, fn = std::move(fn)] {
      --queued_;
      fn();
    });
    return true;
  }
  void shutdown() override {
    server_.StopWaitingRoom();
    pool_.shutdown();
  }

 private:
  OrvaneHttpServer &server_;
  httplib::ThreadPool pool_;
  const size_t limit_;
  std::atomic<size_t> queued_{0};
};

httplib::TaskQueue *OrvaneHttpServer::MakeConnectionQueue(size_t threads) {
  auto *queue = new ConnectionQueue(*this, threads);
  std::lock_guard<std::mutex> lock(room_mutex_);
  queue_ = queue;
  room_stop_ = false;
  if (epoll_fd_ < 0) epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
  room_thread_ = std::thread([this] { WaitingRoom(); });
  return queue;
}

int64_t OrvaneHttpServer::ShedConnections() const { return shed_connections_.load(); }

void OrvaneHttpServer::Hand(const Arrival &a) {
  if (queue_->Dispatch([this, a] { Serve(a); })) return;
  ++shed_connections_;
  Close(a);
}

size_t OrvaneHttpServer::WaitingConnections() const {
  std::lock_guard<std::mutex> lock(room_mutex_);
  return waiting_.size();
}

void OrvaneHttpServer::Park(const Arrival &a) {
  std::lock_guard<std::mutex> lock(room_mutex_);
  if (room_stop_ || epoll_fd_ < 0) {
    Close(a);
    return;
  }
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
  ev.data.fd = a.fd;
  if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, a.fd, &ev) != 0) {
    Close(a);
    return;
  }
  waiting_[a.fd] = a;
}

void OrvaneHttpServer::Close(const Arrival &a) {
  ::close(a.fd);
  if (a.admitted) ReleaseSource(a.peer);
}

void OrvaneHttpServer::WaitingRoom() {
  epoll_event events[256];
  for (;;) {
    int n = epoll_wait(epoll_fd_, events, 256, 100);
    std::vector<Arrival> ready, expired;
    {
      std::lock_guard<std::mutex> lock(room_mutex_);
      if (room_stop_) {
        for (auto &[fd, a] : waiting_) {
          epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
          expired.push_back(a);
        }
        waiting_.clear();
      } else {
        for (int i = 0; i < n; ++i) {
          auto it = waiting_.find(events[i].data.fd);
          if (it == waiting_.end()) continue;
          epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, it->first, nullptr);
          // Closed by the client without a byte: nothing for a worker to do.
          char byte;
          bool gone = (events[i].events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) &&
                      ::recv(it->first, &byte, 1, MSG_PEEK | MSG_DONTWAIT) <= 0;
          (gone ? expired : ready).push_back(it->second);
          waiting_.erase(it);
        }
        auto now = SteadyClock::now();
        for (auto it = waiting_.begin(); it != waiting_.end();) {
          if (it->second.deadline <= now) {
            epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, it->first, nullptr);
            expired.push_back(it->second);
            it = waiting_.erase(it);
          } else {
            ++it;
          }
        }
      }
    }
    for (const Arrival &a : ready) Hand(a);
    for (const Arrival &a : expired) Close(a);
    std::lock_guard<std::mutex> lock(room_mutex_);
    if (room_stop_) return;
  }
}

void OrvaneHttpServer::StopWaitingRoom() {
  {
    std::lock_guard<std::mutex> lock(room_mutex_);
    room_stop_ = true;
  }
  if (room_thread_.joinable()) room_thread_.join();
}

bool OrvaneHttpServer::process_and_close_socket(socket_t sock) {
  Arrival a;
  a.fd = sock;
  {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    int port = 0;
    if (getpeername(sock, reinterpret_cast<sockaddr *>(&ss), &len) == 0) AddressOf(ss, a.peer, port);
  }
  a.admitted = AdmitSource(a.peer);
  // A connection over its address's share is answered, briefly: it has this long to start.
  int deadline_ms = a.admitted ? limits_.request_deadline_ms : std::min(limits_.request_deadline_ms, kRefusalDeadlineMs);
  a.deadline = SteadyClock::now() + std::chrono::milliseconds(deadline_ms);
  fcntl(sock, F_SETFL, fcntl(sock, F_GETFL, 0) | O_NONBLOCK);
  // On the accepting thread: a connection whose first bytes are here already goes to a worker, any
  // other waits in the waiting room until they come, holding no thread meanwhile.
  if (WaitFd(sock, POLLIN, 0)) Hand(a);
  else Park(a);
  return true;
}

void OrvaneHttpServer::Refuse(const Arrival &a) {
  SSL *ssl = nullptr;
  bool ok = true;
  if (tls_enabled_) {
    ssl = NewTlsConnection();
    ok = ssl && SSL_set_fd(ssl, a.fd) == 1;
    while (ok) {
      int r = SSL_accept(ssl);
      if (r == 1) break;
      int err = SSL_get_error(ssl, r);
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(a.deadline - SteadyClock::now()).count();
      if (left > 0 && err == SSL_ERROR_WANT_READ && WaitFd(a.fd, POLLIN, static_cast<int>(left))) continue;
      if (left > 0 && err == SSL_ERROR_WANT_WRITE && WaitFd(a.fd, POLLOUT, static_cast<int>(left))) continue;
      ok = false;
    }
  }
  if (ok) {
    const std::string answer = ClosingAnswer(503, "来自同一地址的连接过多，请稍后重试", "Retry-After: 1\r\n");
    if (ssl) {
      SSL_write(ssl, answer.data(), static_cast<int>(answer.size()));
      SSL_shutdown(ssl);
    } else {
      ::send(a.fd, answer.data(), answer.size(), MSG_NOSIGNAL);
    }
  }
  if (ssl) SSL_free(ssl);
  ERR_clear_error();
  // The request it may have sent is not read: drain it, so that closing does not reset the
  // connection before the answer is read.
  if (ok) LingeringClose(a.fd);
  ::close(a.fd);
}

bool OrvaneHttpServer::Serve(const Arrival &a) {
  socket_t sock = a.fd;
  if (!a.admitted) {
    Refuse(a);
    return false;
  }
  ConnectionInfo info;
  info.fd = sock;
  info.deadline = a.deadline;
  info.peer = a.peer;
  struct SourceSlot {
    OrvaneHttpServer *server;
    const std::string &peer;
    ~SourceSlot() { server->ReleaseSource(peer); }
  } slot{this, info.peer};

  int one = 1;
  setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  // Non-blocking (since its arrival), so that every wait below is a poll bounded by a time-out or
  // the deadline.

  SSL *ssl = nullptr;
  bool ret = false;
  if (tls_enabled_) {
    ssl = NewTlsConnection();
    bool ok = ssl && SSL_set_fd(ssl, sock) == 1;
    while (ok) {
      int r = SSL_accept(ssl);
      if (r == 1) break;
      int err = SSL_get_error(ssl, r);
      int wait_ms = ReadWaitMs(info, limits_.request_deadline_ms + 1);
      if (err == SSL_ERROR_WANT_READ && wait_ms > 0 && WaitFd(sock, POLLIN, wait_ms)) continue;
      if (err == SSL_ERROR_WANT_WRITE && wait_ms > 0 && WaitFd(sock, POLLOUT, wait_ms)) continue;
      ok = false;
    }
    if (!ok) {
      ERR_clear_error();
      if (ssl) SSL_free(ssl);
      ::shutdown(sock, SHUT_RDWR);
      ::close(sock);
      return false;
    }
  }
  info.tls = ssl != nullptr;
  ConnectionStream strm(sock, ssl, static_cast<int>(read_timeout_sec_ * 1000),
                        static_cast<int>(write_timeout_sec_ * 1000), limits_, info);
  t_connection = &info;
  size_t count = keep_alive_max_count_;
  bool first = true;
  bool linger = false;
  while (count > 0 && WaitForNextRequest(sock, ssl, strm.Buffered())) {
    // The first request's deadline began with the connection (it covers the TLS handshake).
    if (!first) info.deadline = SteadyClock::now() + std::chrono::milliseconds(limits_.request_deadline_ms);
    first = false;
    info.raw.clear();
    info.first_byte_system_us = 0;
    info.recording = record_;
    info.reading_body = false;
    info.read_failed = false;
    info.head_bytes = 0;
    info.head_lines = 0;
    info.head_read = false;
    info.answered = false;
    t_response_owned = false;
    bool connection_closed = false;
    const size_t max_body = limits_.max_body_bytes;
    ret = process_request(strm, count == 1, connection_closed, [ssl, &info, max_body](httplib::Request &req) {
      req.ssl = ssl;
      info.head_read = true;
      CheckBodyFraming(req, info, max_body);
      if (info.refusal_status) {
        // Answer from the error page without running any handler, then close.
        req.path = "/__refused";
        req.headers.erase("Connection");
        req.headers.emplace("Connection", "close");
      }
      info.reading_body = true;
    });
    info.reading_body = false;
    // A request line over the bound leaves the library nothing to answer: answer it here.
    if (info.refusal_status && !info.answered && !info.dropped) {
      const std::string answer = ClosingAnswer(info.refusal_status, info.refusal_message);
      for (size_t sent = 0; sent < answer.size();) {
        ssize_t n = strm.write(answer.data() + sent, answer.size() - sent);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
      }
    }
    // A request that could not be read completely ends the connection: what follows on it is not
    // the start of a request. That includes one whose request line or headers the library could
    // not read (an unknown method, a header line over its bound): it answers those itself and
    // would read on.
    if (!info.head_read || info.refusal_status || info.body_cut_short || info.deadline_passed || info.read_failed) {
      linger = !info.dropped;
      break;
    }
    if (!ret || connection_closed || info.dropped) break;
    --count;
  }
  t_connection = nullptr;
  if (ssl) {
    if (!info.dropped) SSL_shutdown(ssl);
    SSL_free(ssl);
    ERR_clear_error();
  }
  if (linger) LingeringClose(sock);
  ::shutdown(sock, SHUT_RDWR);
  ::close(sock);
  return ret;
}

}  // namespace orvane
