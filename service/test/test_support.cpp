#include "test_support.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sodium.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <map>
#include <mutex>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include <gtest/gtest.h>
#include <httplib.h>

#include "crypto.h"

namespace orvane::test {

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "orvane-test-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

TestService::TestService(std::function<void(ServeOptions &)> tweak, std::string data_dir) {
  if (data_dir.empty()) {
    owned_dir_ = std::make_unique<TempDir>();
    data_dir_ = owned_dir_->path() + "/data";
  } else {
    data_dir_ = data_dir;
  }
  ServeOptions o;
  o.data_dir = data_dir_;
  o.listen_host = "127.0.0.1";
  o.listen_port = 0;
  o.test_mode = true;
  o.quiet = true;
  o.threads = 16;
  o.max_connections_per_source = 0;  // tests call from one address many at a time; SlowClients sets it
  if (tweak) tweak(o);
  svc_ = std::make_unique<Service>(o);
  svc_->Start();
}

TestService::~TestService() { svc_->Stop(); }

namespace {

HttpResult Convert(const httplib::Result &r) {
  HttpResult out;
  if (!r) return out;
  out.received = true;
  out.status = r->status;
  out.body = r->body;
  out.content_type = r->get_header_value("Content-Type");
  out.j = json::parse(r->body, nullptr, false);
  if (out.j.is_discarded()) out.j = json();
  return out;
}

std::unique_ptr<httplib::SSLClient> Client(int port, const std::string &ca) {
  auto c = std::make_unique<httplib::SSLClient>("localhost", port);
  c->set_ca_cert_path(ca.c_str());
  c->enable_server_certificate_verification(true);
  c->set_connection_timeout(5);
  c->set_read_timeout(15);
  return c;
}

}  // namespace

HttpResult TestService::Call(const std::string &action, const std::string &body, const std::string &token,
                             const std::vector<std::pair<std::string, std::string>> &extra_headers) {
  auto c = Client(port(), ca_file());
  httplib::Headers h = {{"Accept", "application/json"},
                        {"X-Orvane-Platform", "windows"},
                        {"X-Orvane-Version", "0.9.10"},
                        {"X-Orvane-Protocol", "2"}};
  if (!token.empty()) h.emplace("Authorization", "Bearer " + token);
  for (const auto &[k, v] : extra_headers) {
    h.erase(k);
    h.emplace(k, v);
  }
  return Convert(c->Post(("/api.php?action=" + action).c_str(), h, body, "application/json"));
}

HttpResult TestService::CallFrom(const std::string &client_ip, const std::string &action, const std::string &body,
                                 const std::string &token) {
  return Call(action, body, token, {{"X-Real-IP", client_ip}});
}

HttpResult TestService::Post(const std::string &path, const std::string &body) {
  return Convert(Client(port(), ca_file())->Post(path.c_str(), body, "application/json"));
}

HttpResult TestService::Get(const std::string &path) { return Convert(Client(port(), ca_file())->Get(path.c_str())); }

std::string TestService::Admin(const std::vector<std::string> &args, bool expect_ok) {
  json body = {{"args", args}};
  HttpResult r = Post("/__test/admin", body.dump());
  EXPECT_TRUE(r.received);
  EXPECT_EQ(r.j.value("ok", false), expect_ok) << r.body;
  return r.j.value("output", std::string());
}

void TestService::SetConfig(const json &patch) {
  HttpResult r = Post("/__test/config", patch.dump());
  ASSERT_TRUE(r.ok()) << r.body;
}

LoginInfo TestService::Login(const std::string &email, const std::string &password) {
  json body = {{"email", email}, {"password", password}, {"device_name", "Windows"},
               {"client_platform", "windows"}, {"privacy_notice_accepted", true}};
  HttpResult r = Call("auth.login", body.dump());
  LoginInfo info;
  EXPECT_TRUE(r.ok()) << r.body;
  info.email = email;
  info.password = password;
  info.token = r.j.value("token", std::string());
  info.id = r.j.value("id", int64_t{0});
  info.sign_public_key = r.j.value("sign_public_key", std::string());
  return info;
}

LoginInfo TestService::NewAccount(const std::string &password) {
  std::string email = UniqueEmail();
  Admin({"account-create", email, password});
  return Login(email, password);
}

std::string UniqueEmail(const std::string &tag) {
  static std::atomic<int> counter{0};
  return tag + std::to_string(getpid()) + "x" + std::to_string(++counter) + "@example.cn";
}

std::string TaskFieldsJson(int64_t x, int64_t y, const std::string &sha, const std::string &name) {
  return "\"client_platform\":\"windows\",\"purpose\":\"software_testing\",\"target_x\":" + std::to_string(x) +
         ",\"target_y\":" + std::to_string(y) + ",\"executable_name\":\"" + name + "\",\"executable_sha256\":\"" +
         sha + "\"";
}

std::string RawTlsExchange(int port, const std::string &ca_file, const std::string &request, int timeout_ms,
                           bool *closed_without_answer) {
  SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
  SSL_CTX_load_verify_locations(ctx, ca_file.c_str(), nullptr);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  std::string out;
  httplib::Client dummy("localhost");  // keeps OpenSSL initialised the same way as the library
  int fd = -1;
  {
    addrinfo hints{}, *res = nullptr;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    getaddrinfo("127.0.0.1", std::to_string(port).c_str(), &hints, &res);
    fd = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(fd, res->ai_addr, res->ai_addrlen) != 0) ADD_FAILURE() << "connect failed";
    freeaddrinfo(res);
  }
  SSL *ssl = SSL_new(ctx);
  SSL_set_fd(ssl, fd);
  SSL_set_tlsext_host_name(ssl, "localhost");
  SSL_set1_host(ssl, "localhost");
  if (SSL_connect(ssl) != 1) {
    ADD_FAILURE() << "TLS handshake failed";
  } else {
    SSL_write(ssl, request.data(), static_cast<int>(request.size()));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    char buf[4096];
    while (std::chrono::steady_clock::now() < deadline) {
      if (SSL_pending(ssl) <= 0) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
      }
      int n = SSL_read(ssl, buf, sizeof buf);
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
    }
  }
  if (closed_without_answer) *closed_without_answer = out.empty();
  SSL_free(ssl);
  close(fd);
  SSL_CTX_free(ctx);
  ERR_clear_error();
  return out;
}

bool VerifyWithKey(const std::string &message, const std::string &sig_b64, const std::string &pk_b64) {
  auto sig = Base64Decode(sig_b64);
  auto pk = Base64Decode(pk_b64);
  if (!sig || !pk || sig->size() != 64 || pk->size() != 32) return false;
  return crypto_sign_verify_detached(sig->data(), reinterpret_cast<const unsigned char *>(message.data()),
                                     message.size(), pk->data()) == 0;
}

std::string Base64DecodeText(const std::string &b64) {
  auto b = Base64Decode(b64);
  return b ? std::string(b->begin(), b->end()) : std::string();
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

namespace {
SSL_CTX *RawClientContext(const std::string &ca_file) {
  // One context per CA file for the whole run (clients come and go by the hundred in benchmarks),
  // freed at the end of the run.
  struct Free {
    void operator()(SSL_CTX *c) const { SSL_CTX_free(c); }
  };
  static std::mutex mutex;
  static std::map<std::string, std::unique_ptr<SSL_CTX, Free>> contexts;
  std::lock_guard<std::mutex> lock(mutex);
  auto &ctx = contexts[ca_file];
  if (!ctx) {
    ctx.reset(SSL_CTX_new(TLS_client_method()));
    SSL_CTX_load_verify_locations(ctx.get(), ca_file.c_str(), nullptr);
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
  }
  return ctx.get();
}
}  // namespace

RawClient::RawClient(int port, const std::string &source_ip) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in src{};
  src.sin_family = AF_INET;
  inet_pton(AF_INET, source_ip.c_str(), &src.sin_addr);
  sockaddr_in dst{};
  dst.sin_family = AF_INET;
  dst.sin_port = htons(static_cast<uint16_t>(port));
  dst.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&src), sizeof src) == 0 &&
      connect(fd, reinterpret_cast<sockaddr *>(&dst), sizeof dst) == 0) {
    fd_ = fd;
  } else if (fd >= 0) {
    close(fd);
  }
}

RawClient::~RawClient() {
  if (ssl_) SSL_free(static_cast<SSL *>(ssl_));
  if (fd_ >= 0) close(fd_);
  ERR_clear_error();
}

bool RawClient::StartTls(const std::string &ca_file, int timeout_ms) {
  if (fd_ < 0) return false;
  timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  SSL *ssl = SSL_new(RawClientContext(ca_file));
  SSL_set_fd(ssl, fd_);
  SSL_set_tlsext_host_name(ssl, "localhost");
  SSL_set1_host(ssl, "localhost");
  ssl_ = ssl;
  bool ok = SSL_connect(ssl) == 1;
  ERR_clear_error();
  return ok;
}

bool RawClient::Send(const std::string &bytes) {
  if (fd_ < 0) return false;
  if (ssl_) {
    int n = SSL_write(static_cast<SSL *>(ssl_), bytes.data(), static_cast<int>(bytes.size()));
    ERR_clear_error();
    return n == static_cast<int>(bytes.size());
  }
  return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

std::string RawClient::Read(int timeout_ms, bool *closed) {
  std::string out;
  if (closed) *closed = false;
  if (fd_ < 0) {
    if (closed) *closed = true;
    return out;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  char buf[4096];
  for (;;) {
    SSL *ssl = static_cast<SSL *>(ssl_);
    if (!ssl || SSL_pending(ssl) <= 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    }
    int n = ssl ? SSL_read(ssl, buf, sizeof buf) : static_cast<int>(::recv(fd_, buf, sizeof buf, 0));
    if (n <= 0) {
      if (ssl) {
        int err = SSL_get_error(ssl, n);
        ERR_clear_error();
        if (err == SSL_ERROR_WANT_READ) continue;
      }
      if (closed) *closed = true;
      break;
    }
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

std::string RawApiRequest(const std::string &action, const std::string &body, const std::string &headers) {
  return "POST /api.php?action=" + action + " HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/json\r\n" +
         "X-Orvane-Version: 0.9.10\r\n" + headers + "\r\n" + body;
}

std::string NegotiatedSuite(int port, const std::string &client_options) {
  // Security level 0 on the client's side, so that it really offers the weak suites it is given.
  std::string cmd = "openssl s_client -connect 127.0.0.1:" + std::to_string(port) + " -servername localhost " +
                    client_options + " </dev/null 2>&1";
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return {};
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  // "New, TLSv1.2, Cipher is ECDHE-RSA-AES128-GCM-SHA256" or "New, (NONE), Cipher is (NONE)".
  auto at = out.find("Cipher is ");
  if (at == std::string::npos) return {};
  std::string suite = out.substr(at + 10, out.find_first_of("\r\n", at) - at - 10);
  return suite == "(NONE)" ? std::string() : suite;
}

const OfferedSuite kTls12Suites[] = {
    {"ECDHE-RSA-AES128-GCM-SHA256", true},
    {"ECDHE-RSA-AES256-GCM-SHA384", true},
    {"ECDHE-RSA-CHACHA20-POLY1305", true},
    {"AES128-SHA", false},                   // static RSA key exchange, CBC with SHA-1
    {"AES128-GCM-SHA256", false},            // static RSA key exchange
    {"AES256-SHA256", false},                // static RSA key exchange, CBC
    {"ECDHE-RSA-AES128-SHA", false},         // CBC with SHA-1
    {"ECDHE-RSA-AES256-SHA384", false},      // CBC
    {"DHE-RSA-AES128-GCM-SHA256", false},    // finite-field Diffie-Hellman
    {"ECDHE-RSA-DES-CBC3-SHA", false},       // 3DES
};
const size_t kTls12SuiteCount = sizeof kTls12Suites / sizeof kTls12Suites[0];

}  // namespace orvane::test
