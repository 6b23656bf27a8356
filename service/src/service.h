// The running service: data directory, database, signing key, TLS, HTTP routes, SNTP responder.
#pragma once
#include <atomic>
#include <condition_variable>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "clock.h"
#include "config.h"
#include "crypto.h"
#include "db.h"
#include "json_util.h"
#include "password_pool.h"
#include "sntp.h"
#include "testmode.h"
#include "tls.h"

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace orvane {

class OrvaneHttpServer;

class Service {
 public:
  // Prepares the data directory (mode 0700), the database, the signing key and, unless plain HTTP
  // or a certificate is given, the development TLS files. Throws with a readable text on failure.
  // With a shared database the signing key lives there, so every instance signs with the same key.
  explicit Service(ServeOptions options);
  ~Service();
  Service(const Service &) = delete;
  Service &operator=(const Service &) = delete;

  // Binds the HTTP(S) and SNTP addresses and starts serving. Throws when an address cannot be bound.
  void Start();
  // Stops both servers and waits for their threads; safe to call twice.
  void Stop();

  int Port() const { return port_; }
  int NtpPort() const { return sntp_ ? sntp_->Port() : -1; }
  // Base of the links handed out (pay pages, download page), without a trailing slash.
  std::string PublicBase() const;
  // "listening on https://localhost:PORT/api.php"
  std::string ListeningLine() const;

  // The first database connection (admin, test endpoints, payment pages); requests take any one.
  Db &Database() { return *db_; }
  // A connection for one request: an idle one if there is, else the next in turn. The caller
  // locks its Mutex() as usual.
  Db &AnyConnection();
  PasswordPool &Passwords() { return *passwords_; }
  OrvaneHttpServer *Http() { return http_.get(); }
  ServiceClock &Clock() { return clock_; }
  const SigningKey &Key() const { return key_; }
  const ServeOptions &Options() const { return options_; }
  const TlsFiles &Tls() const { return tls_files_; }
  TestControl *Test() { return options_.test_mode ? &test_ : nullptr; }
  RuntimeConfig Config() const;
  // What the service claims about its clock now, for "time" and the SNTP responder alike: the
  // operator's figure, else the kernel's reading (in test mode a reading a test has fed instead).
  ClockClaim CurrentClockClaim() const;
  // Claims seen per task since start (diagnostics only; kept in memory so that polling never writes
  // to the database).
  void CountClaim(int64_t task_id) {
    std::lock_guard<std::mutex> lock(claim_counts_mutex_);
    ++claim_counts_[task_id];
  }
  int64_t ClaimCount(int64_t task_id) {
    std::lock_guard<std::mutex> lock(claim_counts_mutex_);
    auto it = claim_counts_.find(task_id);
    return it == claim_counts_.end() ? 0 : it->second;
  }
  // With the development certificate: makes a new server certificate when the current one nears its
  // end at `now` and serves it to new connections. Returns true when it did. Runs once a day.
  bool RenewTlsIfDue(time_t now);
  // Applies a runtime patch; returns an error text on failure.
  std::optional<std::string> PatchConfig(const Json &patch);

 private:
  void RegisterRoutes();
  void RegisterTestRoutes();
  // GET /pay/<reference> and /room/<token>, rendered by the actions' files (dispatch.cpp).
  void AddPageRoutes();
  void HandleApi(const httplib::Request &req, httplib::Response &res);
  // The client's address: the peer, or what a trusted proxy in front says in X-Real-IP.
  std::string ClientAddress(const httplib::Request &req) const;
  Reply Dispatch(const std::string &action, const httplib::Request &req, int64_t receive_system_us,
                 int64_t &account_id);

  ServeOptions options_;
  ServiceClock clock_;
  std::unique_ptr<Db> db_;
  std::vector<std::unique_ptr<Db>> more_connections_;  // PostgreSQL: the rest of the pool
  std::atomic<size_t> next_connection_{0};
  std::unique_ptr<PasswordPool> passwords_;
  SigningKey key_;
  TlsFiles tls_files_;
  mutable std::mutex config_mutex_;
  RuntimeConfig config_;
  std::optional<KernelClockReading> fed_kernel_;  // test mode: replaces the kernel's reading
  TestControl test_;
  std::mutex claim_counts_mutex_;
  std::unordered_map<int64_t, int64_t> claim_counts_;
  std::unique_ptr<OrvaneHttpServer> http_;
  std::unique_ptr<SntpResponder> sntp_;
  std::thread http_thread_;
  std::thread renewal_thread_;
  std::mutex renewal_mutex_;
  std::condition_variable renewal_wake_;
  bool stopping_ = false;
  int port_ = 0;
  bool started_ = false;
};

}  // namespace orvane
