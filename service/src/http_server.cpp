#include "http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

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

class ConnectionStream final : public httplib::Stream {
 public:
  ConnectionStream(int fd, SSL *ssl, int read_timeout_ms, int write_timeout_ms, ConnectionInfo &info)
      : fd_(fd), ssl_(ssl), read_ms_(read_timeout_ms), write_ms_(write_timeout_ms), info_(info) {}

  bool Buffered() const { return (ssl_ && SSL_pending(ssl_) > 0) || off_ < len_; }

  bool is_readable() const override { return Buffered() || WaitFd(fd_, POLLIN, read_ms_); }
  bool is_writable() const override { return !info_.dropped && WaitFd(fd_, POLLOUT, write_ms_); }

  ssize_t read(char *ptr, size_t size) override {
    if (info_.dropped) return -1;
    size_t got = 0;
    if (ssl_) {
      if (SSL_pending(ssl_) <= 0 && !WaitFd(fd_, POLLIN, read_ms_)) return -1;
      int r = SSL_read(ssl_, ptr, static_cast<int>(std::min<size_t>(size, INT_MAX)));
      if (r <= 0) {
        int err = SSL_get_error(ssl_, r);
        ERR_clear_error();
        return err == SSL_ERROR_ZERO_RETURN ? 0 : -1;
      }
      got = static_cast<size_t>(r);
    } else {
      if (off_ >= len_) {
        if (!WaitFd(fd_, POLLIN, read_ms_)) return -1;
        ssize_t r;
        do {
          r = ::recv(fd_, buf_, sizeof buf_, 0);
        } while (r < 0 && errno == EINTR);
        if (r < 0) return -1;
        if (r == 0) return 0;
        off_ = 0;
        len_ = static_cast<size_t>(r);
      }
      got = std::min(size, len_ - off_);
      std::memcpy(ptr, buf_ + off_, got);
      off_ += got;
    }
    if (info_.first_byte_system_us == 0) info_.first_byte_system_us = ServiceClock::SystemNowUs();
    if (info_.recording && info_.raw.size() < kMaxRecordedBytes) info_.raw.append(ptr, got);
    return static_cast<ssize_t>(got);
  }

  ssize_t write(const char *ptr, size_t size) override {
    if (info_.dropped) return -1;
    if (!WaitFd(fd_, POLLOUT, write_ms_)) return -1;
    if (ssl_) {
      int r = SSL_write(ssl_, ptr, static_cast<int>(std::min<size_t>(size, INT_MAX)));
      if (r <= 0) {
        ERR_clear_error();
        return -1;
      }
      return r;
    }
    ssize_t r;
    do {
      r = ::send(fd_, ptr, size, MSG_NOSIGNAL);
    } while (r < 0 && errno == EINTR);
    return r;
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
  int fd_;
  SSL *ssl_;
  int read_ms_;
  int write_ms_;
  ConnectionInfo &info_;
  char buf_[16384];
  size_t off_ = 0;
  size_t len_ = 0;
};

}  // namespace

ConnectionInfo *CurrentConnection() { return t_connection; }

void DropCurrentConnection() {
  if (!t_connection || t_connection->dropped) return;
  t_connection->dropped = true;
  ::shutdown(t_connection->fd, SHUT_RDWR);
}

void MarkResponseOwned() { t_response_owned = true; }
bool ResponseOwned() { return t_response_owned; }

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
  SSL_CTX_set_mode(ctx, SSL_MODE_AUTO_RETRY);
  if (SSL_CTX_use_certificate_chain_file(ctx, cert_file.c_str()) != 1)
    fail("cannot load certificate " + cert_file);
  if (SSL_CTX_use_PrivateKey_file(ctx, key_file.c_str(), SSL_FILETYPE_PEM) != 1)
    fail("cannot load private key " + key_file);
  if (SSL_CTX_check_private_key(ctx) != 1) fail(key_file + " does not match " + cert_file);
  return ctx;
}

OrvaneHttpServer::OrvaneHttpServer(SSL_CTX *tls, bool record_requests)
    : tls_(tls), record_(record_requests) {}

OrvaneHttpServer::~OrvaneHttpServer() {
  if (tls_) SSL_CTX_free(tls_);
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

bool OrvaneHttpServer::process_and_close_socket(socket_t sock) {
  int one = 1;
  setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  timeval tv{};
  tv.tv_sec = static_cast<long>(read_timeout_sec_);
  setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  tv.tv_sec = static_cast<long>(write_timeout_sec_);
  setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);

  SSL *ssl = nullptr;
  bool ret = false;
  if (tls_) {
    ssl = SSL_new(tls_);
    if (!ssl || SSL_set_fd(ssl, sock) != 1 || SSL_accept(ssl) != 1) {
      ERR_clear_error();
      if (ssl) SSL_free(ssl);
      ::shutdown(sock, SHUT_RDWR);
      ::close(sock);
      return false;
    }
  }
  ConnectionInfo info;
  info.fd = sock;
  info.tls = ssl != nullptr;
  ConnectionStream strm(sock, ssl, static_cast<int>(read_timeout_sec_ * 1000),
                        static_cast<int>(write_timeout_sec_ * 1000), info);
  t_connection = &info;
  size_t count = keep_alive_max_count_;
  while (count > 0 && WaitForNextRequest(sock, ssl, strm.Buffered())) {
    info.raw.clear();
    info.first_byte_system_us = 0;
    info.recording = record_;
    t_response_owned = false;
    bool connection_closed = false;
    ret = process_request(strm, count == 1, connection_closed,
                          [ssl](httplib::Request &req) { req.ssl = ssl; });
    if (!ret || connection_closed || info.dropped) break;
    --count;
  }
  t_connection = nullptr;
  if (ssl) {
    if (!info.dropped) SSL_shutdown(ssl);
    SSL_free(ssl);
    ERR_clear_error();
  }
  ::shutdown(sock, SHUT_RDWR);
  ::close(sock);
  return ret;
}

}  // namespace orvane
