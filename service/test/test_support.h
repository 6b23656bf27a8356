// Helpers shared by the suites: temporary data directories, an in-process service in test mode,
// and an HTTPS client that validates the service certificate against the development CA.
#pragma once

#include <gtest/gtest.h>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "config.h"
#include "service.h"

namespace orvane::test {

using nlohmann::json;

class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string &path() const { return path_; }

 private:
  std::string path_;
};

struct HttpResult {
  bool received = false;  // false: connection failed or closed without an answer
  int status = 0;
  std::string body;
  std::string content_type;
  json j;  // parsed body (null when it is not JSON)
  bool ok() const { return received && status >= 200 && status < 300 && j.is_object() && j.value("ok", false); }
  std::string message() const { return j.is_object() ? j.value("message", std::string()) : std::string(); }
};

struct LoginInfo {
  std::string email;
  std::string password;
  std::string token;
  int64_t id = 0;
  std::string sign_public_key;
};

// A service on 127.0.0.1 with an ephemeral port, in test mode, quiet, in its own data directory
// (or a given one, for restarts).
class TestService {
 public:
  explicit TestService(std::function<void(ServeOptions &)> tweak = {}, std::string data_dir = "");
  // Calls as if through a proxy from `client_ip` (the service trusts X-Real-IP from 127.0.0.1
  // when started with real_ip_from).
  HttpResult CallFrom(const std::string &client_ip, const std::string &action, const std::string &body,
                      const std::string &token = "");
  ~TestService();

  Service &svc() { return *svc_; }
  int port() const { return svc_->Port(); }
  const std::string &data_dir() const { return data_dir_; }
  std::string ca_file() const { return data_dir_ + "/tls/dev-ca.pem"; }

  HttpResult Call(const std::string &action, const std::string &body, const std::string &token = "",
                  const std::vector<std::pair<std::string, std::string>> &extra_headers = {});
  HttpResult Post(const std::string &path, const std::string &body);
  HttpResult Get(const std::string &path);

  // Runs an admin command through the test endpoint; fails the test when it does not succeed.
  std::string Admin(const std::vector<std::string> &args, bool expect_ok = true);
  void SetConfig(const json &patch);
  void ClearFaults() { Post("/__test/clear", "{}"); }

  // A fresh e-mail account (made through the admin passthrough) and its login.
  LoginInfo NewAccount(const std::string &password = "correct-horse-9");
  LoginInfo Login(const std::string &email, const std::string &password);

 private:
  std::unique_ptr<TempDir> owned_dir_;
  std::string data_dir_;
  std::unique_ptr<Service> svc_;
};

// A test suite whose tests share one running service: each suite starts a fresh one and stops it at
// the end; each test puts back in its own TearDown what it changed.
class SharedServiceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ts_ = new TestService(); }
  static void TearDownTestSuite() {
    delete ts_;
    ts_ = nullptr;
  }
  inline static TestService *ts_ = nullptr;
};

// A unique e-mail address for this process.
std::string UniqueEmail(const std::string &tag = "user");

// Request body with the task members the client sends.
std::string TaskFieldsJson(int64_t x = 100, int64_t y = -20,
                           const std::string &sha = std::string(64, 'a'),
                           const std::string &name = "demo.exe");

// Sends `request` bytes as they stand over TLS (validating the certificate) and returns what came
// back before the server closed or `timeout_ms` passed. `closed_without_answer` is set when the
// connection ended without a single response byte.
std::string RawTlsExchange(int port, const std::string &ca_file, const std::string &request, int timeout_ms,
                           bool *closed_without_answer = nullptr);

// A connection made by hand, from a chosen loopback source address (127.0.0.2 and so on are all
// this machine), with or without TLS, sending exactly the bytes given.
class RawClient {
 public:
  RawClient(int port, const std::string &source_ip = "127.0.0.1");
  ~RawClient();
  RawClient(const RawClient &) = delete;
  RawClient &operator=(const RawClient &) = delete;

  bool connected() const { return fd_ >= 0; }
  // TLS handshake validating the certificate against `ca_file`.
  bool StartTls(const std::string &ca_file, int timeout_ms = 5000);
  bool Send(const std::string &bytes);
  // What arrives until the peer closes or `timeout_ms` passes; `closed` tells which.
  std::string Read(int timeout_ms, bool *closed = nullptr);

 private:
  int fd_ = -1;
  void *ssl_ = nullptr;
};

// An HTTP/1.1 request for the endpoint with the given body and header lines (each ending in CRLF).
std::string RawApiRequest(const std::string &action, const std::string &body, const std::string &headers);

// The TLS suite that `openssl s_client` agrees on with 127.0.0.1:`port` when it offers only what
// `client_options` allow (for example "-tls1_2 -cipher AES128-SHA"); empty when the server refuses.
std::string NegotiatedSuite(int port, const std::string &client_options);

// TLS 1.2 suites a client may offer, each with whether a server of ours accepts it.
struct OfferedSuite {
  const char *name;
  bool accepted;
};
extern const OfferedSuite kTls12Suites[];
extern const size_t kTls12SuiteCount;

bool VerifyWithKey(const std::string &message, const std::string &sig_b64, const std::string &pk_b64);
std::string Base64DecodeText(const std::string &b64);

int64_t NowMs();

}  // namespace orvane::test
