// `orvane-service-bench room --participants N`: one room of N participants against real service
// instances on loopback, over real TLS, each participant from its own loopback address with one
// connection per request (as the client makes them) and its own TLS session kept for resumption.
//
// A room is a storm, not a rate: the joins are spread over a minute, then every participant starts
// claiming within the three seconds before the instruction is released and follows the client's
// own rhythm (again after max(300 ms, min(3 s, retry_at_ms - now))), so that nearly all of them
// claim at the release; every instruction's Ed25519 signature and fields are checked with
// libsodium; and all of them report with task.consume at the instant itself.
#include "room_bench.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sodium.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <queue>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "crypto.h"
#include "db.h"
#include "local_servers.h"
#include "log.h"
#include "store.h"
#include "tls.h"

namespace orvane::bench {
namespace {

using SteadyClock = std::chrono::steady_clock;
using nlohmann::json;

const std::string kPassword = "room-password-1";
const std::string kSha = std::string(64, 'b');

int64_t WallMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(p / 100.0 * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

// CPU seconds a process has used so far (user and system).
double CpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::vector<std::string> fields;
  std::string field;
  for (size_t i = close + 2; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == ' ') {
      fields.push_back(field);
      field.clear();
    } else {
      field += text[i];
    }
  }
  // Fields after the name start at "state" (3); utime and stime are 14 and 15.
  if (fields.size() < 13) return 0;
  double ticks = std::atof(fields[11].c_str()) + std::atof(fields[12].c_str());
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The source address of participant i: 127.1.0.1 onwards, one per participant, so that the
// service's per-address limits see a room of machines and not one client.
std::string SourceAddress(int i) {
  int n = i + 1;
  return "127." + std::to_string(1 + n / 65536) + "." + std::to_string(n / 256 % 256) + "." + std::to_string(n % 256);
}

struct Answer {
  int status = 0;
  std::string body;
  std::string error;  // kind of failure below HTTP: "connect", "tls", "time-out", "closed"
};

// One HTTPS request on a fresh connection from `source`, validating the certificate, resuming
// the participant's TLS session when it has one.
class TlsRequester {
 public:
  TlsRequester(const std::string &ca_file, int port) : port_(port) {
    ctx_ = SSL_CTX_new(TLS_client_method());
    SSL_CTX_load_verify_locations(ctx_, ca_file.c_str(), nullptr);
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_session_cache_mode(ctx_, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  }
  ~TlsRequester() { SSL_CTX_free(ctx_); }

  Answer Post(const std::string &source, SSL_SESSION *&session, const std::string &action, const std::string &body,
              const std::string &token, int timeout_ms) {
    Answer a;
    auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeout_ms);
    auto left = [&] {
      return static_cast<int>(std::max<int64_t>(
          0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count()));
    };
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in src{}, dst{};
    src.sin_family = dst.sin_family = AF_INET;
    inet_pton(AF_INET, source.c_str(), &src.sin_addr);
    dst.sin_port = htons(static_cast<uint16_t>(port_));
    dst.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (bind(fd, reinterpret_cast<sockaddr *>(&src), sizeof src) != 0) {
      close(fd);
      a.error = "connect";
      return a;
    }
    int rc = connect(fd, reinterpret_cast<sockaddr *>(&dst), sizeof dst);
    if (rc != 0 && errno == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      int err = 0;
      socklen_t len = sizeof err;
      if (poll(&p, 1, left()) == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) rc = 0;
      else a.error = poll(&p, 1, 0) == 0 ? "time-out" : "connect";
    } else if (rc != 0) {
      a.error = "connect";
    }
    if (rc != 0) {
      if (a.error.empty()) a.error = "connect";
      close(fd);
      return a;
    }
    SSL *ssl = SSL_new(ctx_);
    SSL_set_fd(ssl, fd);
    SSL_set_tlsext_host_name(ssl, "localhost");
    SSL_set1_host(ssl, "localhost");
    if (session) SSL_set_session(ssl, session);
    // Drives one TLS call on the non-blocking socket until it completes or the time is up.
    auto drive = [&](auto op) -> int {
      for (;;) {
        int r = op();
        if (r > 0) return r;
        int e = SSL_get_error(ssl, r);
        short ev = e == SSL_ERROR_WANT_READ ? POLLIN : e == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
        if (!ev) return r;
        pollfd p{fd, ev, 0};
        if (poll(&p, 1, left()) != 1) {
          a.error = "time-out";
          return -1;
        }
      }
    };
    std::string request = "POST /api.php?action=" + action +
                          " HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/json\r\n"
                          "Accept: application/json\r\nX-Orvane-Platform: windows\r\nX-Orvane-Version: 0.9.10\r\n"
                          "X-Orvane-Protocol: 2\r\nConnection: close\r\n";
    if (!token.empty()) request += "Authorization: Bearer " + token + "\r\n";
    request += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    std::string in;
    if (drive([&] { return SSL_connect(ssl); }) != 1) {
      if (a.error.empty()) a.error = "tls";
    } else if (drive([&] { return SSL_write(ssl, request.data(), static_cast<int>(request.size())); }) <= 0) {
      if (a.error.empty()) a.error = "closed";
    } else {
      char buf[8192];
      for (;;) {
        int r = drive([&] { return SSL_read(ssl, buf, sizeof buf); });
        if (r <= 0) break;
        in.append(buf, static_cast<size_t>(r));
      }
      ++handshakes_;
      if (SSL_session_reused(ssl)) ++resumed_;
      if (SSL_SESSION *s = SSL_get1_session(ssl)) {
        if (session) SSL_SESSION_free(session);
        session = s;
      }
    }
    // A connection ended without close_notify marks its session as not to be resumed.
    SSL_shutdown(ssl);
    ERR_clear_error();
    SSL_free(ssl);
    close(fd);
    auto head_end = in.find("\r\n\r\n");
    if (in.rfind("HTTP/1.1 ", 0) == 0 && head_end != std::string::npos) {
      a.status = std::atoi(in.c_str() + 9);
      a.body = in.substr(head_end + 4);
      a.error.clear();
    } else if (a.error.empty()) {
      a.error = "closed";
    }
    return a;
  }

  int64_t Handshakes() const { return handshakes_; }
  int64_t Resumed() const { return resumed_; }

 private:
  SSL_CTX *ctx_;
  int port_;
  std::atomic<int64_t> handshakes_{0}, resumed_{0};
};

enum class Step { kCreate, kJoin, kConfirm, kClaim, kConsume, kDone };

struct Participant {
  int64_t account_id = 0;
  std::string email, token, source;
  SSL_SESSION *session = nullptr;
  int64_t task_id = 0;
  int64_t x = 0, y = 0;
  int64_t first_claim_ms = 0;
  std::string nonce;
  int64_t verified_ms = 0;  // wall time the verified instruction was held
  bool reported = false;
  int failures = 0;  // requests of the current step that got no answer in a row
};

struct Event {
  int64_t due_ms;
  int who;
  Step step;
  bool operator>(const Event &o) const { return due_ms > o.due_ms; }
};

struct Figures {
  std::mutex mutex;
  std::vector<double> claim_ms, consume_ms;
  std::map<std::string, int> errors;   // what ended a participant's part
  std::map<std::string, int> retried;  // what the participant met and asked again after, as the client does
  int joined = 0, claims = 0;
  void Error(const std::string &kind) {
    std::lock_guard<std::mutex> lock(mutex);
    ++errors[kind];
  }
  void Retried(const std::string &kind) {
    std::lock_guard<std::mutex> lock(mutex);
    ++retried[kind];
  }
};

// What the client takes for "not yet" and asks again after: no answer at all (refused, cut, time-out,
// a failed handshake), a 5xx, 429 or 408. Everything else is the service's word.
bool AskAgain(const Answer &a) { return !a.error.empty() || a.status >= 500 || a.status == 429 || a.status == 408; }

// The client's pause before asking again: 300 ms, doubling up to 3 s.
int64_t RetryPauseMs(int failures) { return std::min<int64_t>(int64_t{300} << std::min(failures - 1, 4), 3000); }

std::string ErrorKind(const std::string &action, const Answer &a) {
  if (!a.error.empty()) return action + ": " + a.error;
  std::string message;
  auto j = json::parse(a.body, nullptr, false);
  if (j.is_object() && j.contains("message") && j["message"].is_string()) message = j["message"];
  return action + ": HTTP " + std::to_string(a.status) + (message.empty() ? "" : " " + message);
}

struct Setup {
  std::string db;  // empty: SQLite
  std::vector<std::unique_ptr<test::ServiceProcess>> instances;
  std::unique_ptr<test::LocalNginx> nginx;
  int port = 0;
  std::string ca;
};

}  // namespace

int RunRoom(const RoomOptions &o, const std::string &service_binary) {
  SetLogQuiet(true);  // the certificate lines of the set-up are not figures
  const int n = o.participants;
  const bool postgres = o.database == "postgresql";
  std::string tmp = (std::filesystem::temp_directory_path() / "orvane-room-XXXXXX").string();
  if (!mkdtemp(tmp.data())) {
    std::printf("   cannot make a temporary directory\n");
    return 1;
  }
  struct Cleanup {
    std::string dir;
    explicit Cleanup(std::string d) : dir(std::move(d)) { test::RemoveOnSignal(dir); }
    ~Cleanup() {
      std::error_code ec;
      std::filesystem::remove_all(dir, ec);
      test::ForgetOnSignal(dir);
    }
  } cleanup{tmp};
  std::printf("-- room of %d participants, %s, %d instance%s%s; joins over %d s, release lead %d ms, "
              "%d client connections at most\n",
              n, postgres ? "PostgreSQL" : "SQLite", o.instances, o.instances > 1 ? "s" : "",
              o.instances > 1 ? " behind nginx" : " (TLS at the service)", o.join_seconds,
              static_cast<int>(o.release_lead_ms), o.connections);
  std::unique_ptr<test::LocalPostgres> pg;
  Setup s;
  if (postgres) {
    pg = std::make_unique<test::LocalPostgres>();
    if (!pg->available()) {
      std::printf("   PostgreSQL not available: %s\n", pg->why().c_str());
      return 1;
    }
    s.db = pg->NewDatabase();
  }
  if (o.instances > 1 && !postgres) {
    std::printf("   several instances need --db postgresql\n");
    return 2;
  }

  // The participants' accounts and sessions are written straight into the database (one password
  // hash for all), as an operator's import would: N logins would measure only password hashing.
  std::vector<Participant> people(static_cast<size_t>(n));
  {
    auto t0 = SteadyClock::now();
    std::string first_data = tmp + "/i1";
    std::filesystem::create_directories(first_data);
    std::filesystem::permissions(first_data, std::filesystem::perms::owner_all);
    auto db = Db::Open(postgres ? s.db : first_data + "/orvane.db");
    std::string hash = HashPassword(kPassword);
    int64_t now = WallMs();
    std::lock_guard<std::mutex> lock(db->Mutex());
    for (int start = 0; start < n; start += 1000) {
      Transaction tx(*db);
      for (int i = start; i < std::min(n, start + 1000); ++i) {
        Participant &p = people[static_cast<size_t>(i)];
        p.email = "room" + std::to_string(i) + "@bench.example";
        p.account_id = InsertAccount(*db, p.email, "", hash, false, now, now);
        ChangeCredits(*db, p.account_id, 100, "admin_set", "room bench", now, true);
        p.token = CreateSession(*db, p.account_id, "room bench", "windows", now);
        p.source = SourceAddress(i);
        p.x = i % 1920;
        p.y = i / 1920;
      }
      tx.Commit();
    }
    std::printf("   accounts and sessions written to the database: %d in %.1f s\n", n,
                std::chrono::duration<double>(SteadyClock::now() - t0).count());
  }

  for (int i = 0; i < o.instances; ++i) {
    std::string data = tmp + "/i" + std::to_string(i + 1);
    std::vector<std::string> args = {"--data", data, "--listen", "127.0.0.1:0", "--quiet", "--release-lead-ms",
                                     std::to_string(o.release_lead_ms)};
    for (const auto &a : o.serve_args) args.push_back(a);
    if (postgres) {
      args.push_back("--db");
      args.push_back(s.db);
    }
    if (o.instances > 1) {
      args.push_back("--plain-http");
      args.push_back("--real-ip-from");
      args.push_back("127.0.0.1");
    }
    s.instances.push_back(std::make_unique<test::ServiceProcess>(service_binary, args));
    if (!s.instances.back()->running()) {
      std::printf("   instance %d did not start: %s\n", i + 1, s.instances.back()->why().c_str());
      return 1;
    }
  }
  if (o.instances > 1) {
    std::vector<std::string> upstreams;
    for (auto &i : s.instances) upstreams.push_back("127.0.0.1:" + std::to_string(i->port()));
    std::filesystem::create_directories(tmp + "/front");
    TlsFiles tls = EnsureDevTls(tmp + "/front");
    s.nginx = std::make_unique<test::LocalNginx>(upstreams, tls.server_cert, tls.server_key);
    if (!s.nginx->available()) {
      std::printf("   nginx not available: %s\n", s.nginx->why().c_str());
      return 1;
    }
    s.port = s.nginx->port();
    s.ca = tls.ca_cert;
  } else {
    s.port = s.instances[0]->port();
    s.ca = tmp + "/i1/tls/dev-ca.pem";
  }
  TlsRequester http(s.ca, s.port);

  // The signing key, as a client learns it: from a login.
  std::string public_key;
  {
    SSL_SESSION *none = nullptr;
    Answer a = http.Post("127.0.0.1", none, "auth.login",
                         json{{"email", people[0].email}, {"password", kPassword}}.dump(), "", 30000);
    if (none) SSL_SESSION_free(none);
    auto j = json::parse(a.body, nullptr, false);
    if (a.status != 200 || !j.is_object() || !j.contains("sign_public_key")) {
      std::printf("   login failed: %s %s\n", a.error.c_str(), a.body.c_str());
      return 1;
    }
    public_key = j["sign_public_key"];
  }
  auto pk = Base64Decode(public_key);
  if (!pk || pk->size() != crypto_sign_PUBLICKEYBYTES) {
    std::printf("   the login gave no usable signing key\n");
    return 1;
  }

  std::vector<double> cpu_before;
  for (auto &i : s.instances) cpu_before.push_back(CpuSeconds(i->pid()));
  std::mt19937_64 rng(12345);
  const int64_t start = WallMs() + 1000;
  const int64_t release = start + o.join_seconds * 1000LL + 2000;
  const int64_t instant = release + o.release_lead_ms;
  char code_buf[16];
  std::snprintf(code_buf, sizeof code_buf, "ROOM%06d", static_cast<int>(rng() % 1000000));
  const std::string code = code_buf;
  auto fields = [](const Participant &p) {
    return "\"client_platform\":\"windows\",\"purpose\":\"software_testing\",\"target_x\":" + std::to_string(p.x) +
           ",\"target_y\":" + std::to_string(p.y) + ",\"executable_name\":\"demo.exe\",\"executable_sha256\":\"" + kSha +
           "\"";
  };

  std::priority_queue<Event, std::vector<Event>, std::greater<Event>> queue;
  std::mutex queue_mutex;
  std::condition_variable queue_wake;
  int pending = n;  // participants not yet finished
  auto schedule = [&](int who, Step step, int64_t due) {
    {
      std::lock_guard<std::mutex> lock(queue_mutex);
      if (step == Step::kDone) {
        if (--pending == 0) queue_wake.notify_all();
        return;
      }
      queue.push({due, who, step});
    }
    queue_wake.notify_one();
  };
  // The creator makes the room first; the others join at moments spread over the join window, and
  // each starts claiming within the three seconds before the release.
  queue.push({start - 500, 0, Step::kCreate});
  for (int i = 1; i < n; ++i)
    queue.push({start + static_cast<int64_t>(rng() % static_cast<uint64_t>(o.join_seconds * 1000 + 1)), i, Step::kJoin});
  for (auto &p : people) p.first_claim_ms = release - static_cast<int64_t>(rng() % 3000);

  Figures f;
  auto run = [&](const Event &e) {
    Participant &p = people[static_cast<size_t>(e.who)];
    const int timeout_ms = 8000;  // the client's own time-out for a claim
    switch (e.step) {
      case Step::kCreate:
      case Step::kJoin: {
        std::string action = e.step == Step::kCreate ? "room.create" : "room.join";
        std::string body = e.step == Step::kCreate
                               ? "{\"room_code\":\"" + code + "\",\"execute_at_ms\":" + std::to_string(instant) +
                                     ",\"capacity\":" + std::to_string(n) + "," + fields(p) + "}"
                               : "{\"room_code\":\"" + code + "\"," + fields(p) + "}";
        Answer a = http.Post(p.source, p.session, action, body, p.token, 30000);
        // A request that never left (no connection, a failed handshake) is pressed again, as the
        // person does who reads "network" under the button; one that may have reached the service
        // (it charges for a join) is not.
        if ((a.error == "connect" || a.error == "tls") && p.failures < 5) {
          f.Retried(ErrorKind(action, a));
          return schedule(e.who, e.step, WallMs() + RetryPauseMs(++p.failures));
        }
        p.failures = 0;
        auto j = json::parse(a.body, nullptr, false);
        if (a.status != 200 || !j.is_object() || !j.contains("task_id")) {
          f.Error(ErrorKind(action, a));
          return schedule(e.who, Step::kDone, 0);
        }
        p.task_id = j["task_id"];
        return schedule(e.who, Step::kConfirm, WallMs());
      }
      case Step::kConfirm: {
        Answer a = http.Post(p.source, p.session, "room.confirm",
                             "{\"task_id\":" + std::to_string(p.task_id) + "," + fields(p) + "}", p.token, 30000);
        // The client sends the confirmation again until the room's instant.
        if (a.status != 200 && AskAgain(a) && WallMs() < instant) {
          f.Retried(ErrorKind("room.confirm", a));
          return schedule(e.who, Step::kConfirm, WallMs() + RetryPauseMs(++p.failures));
        }
        p.failures = 0;
        if (a.status != 200) {
          f.Error(ErrorKind("room.confirm", a));
          return schedule(e.who, Step::kDone, 0);
        }
        {
          std::lock_guard<std::mutex> lock(f.mutex);
          ++f.joined;
        }
        return schedule(e.who, Step::kClaim, std::max(WallMs(), p.first_claim_ms));
      }
      case Step::kClaim: {
        Answer a = http.Post(p.source, p.session, "task.claim",
                             "{\"task_id\":" + std::to_string(p.task_id) + ",\"client_platform\":\"windows\"}", p.token,
                             timeout_ms);
        int64_t now = WallMs();
        {
          std::lock_guard<std::mutex> lock(f.mutex);
          ++f.claims;
          if (a.status == 200) f.claim_ms.push_back(static_cast<double>(now - e.due_ms));
        }
        auto j = json::parse(a.body, nullptr, false);
        // The client claims again until the instruction comes or a minute after the instant.
        if ((a.status != 200 && AskAgain(a)) || (a.status == 200 && !j.is_object())) {
          if (now < instant + 60000) {
            f.Retried(ErrorKind("task.claim", a));
            return schedule(e.who, Step::kClaim, now + RetryPauseMs(++p.failures));
          }
        }
        p.failures = 0;
        if (a.status != 200 || !j.is_object()) {
          f.Error(ErrorKind("task.claim", a));
          return schedule(e.who, Step::kDone, 0);
        }
        if (!j.value("ready", false)) {
          int64_t retry_at = j.value("retry_at_ms", int64_t{0});
          int64_t wait = std::clamp<int64_t>(retry_at - now, 300, 3000);
          return schedule(e.who, Step::kClaim, now + wait);
        }
        std::string payload_b64 = j.value("payload", std::string()), sig_b64 = j.value("signature", std::string());
        auto payload = Base64Decode(payload_b64);
        auto sig = Base64Decode(sig_b64);
        if (!payload || !sig || sig->size() != crypto_sign_BYTES ||
            crypto_sign_verify_detached(sig->data(), payload->data(), payload->size(), pk->data()) != 0) {
          f.Error("task.claim: signature does not verify");
          return schedule(e.who, Step::kDone, 0);
        }
        auto in = json::parse(std::string(payload->begin(), payload->end()), nullptr, false);
        if (!in.is_object() || in.value("taskId", int64_t{0}) != p.task_id ||
            in.value("userId", int64_t{0}) != p.account_id || in.value("targetX", int64_t{-1}) != p.x ||
            in.value("targetY", int64_t{-1}) != p.y || in.value("executableSha256", std::string()) != kSha ||
            in.value("executeAtMs", int64_t{0}) != instant || in.value("nonce", std::string()).empty()) {
          f.Error("task.claim: instruction fields differ from the task");
          return schedule(e.who, Step::kDone, 0);
        }
        p.nonce = in["nonce"];
        p.verified_ms = now;
        return schedule(e.who, Step::kConsume, instant);
      }
      case Step::kConsume: {
        int64_t error_ms = static_cast<int64_t>(e.who % 5) - 2;
        Answer a = http.Post(p.source, p.session, "task.consume",
                             "{\"task_id\":" + std::to_string(p.task_id) + ",\"nonce\":\"" + p.nonce +
                                 "\",\"client_platform\":\"windows\",\"client_error_ms\":" + std::to_string(error_ms) +
                                 ",\"result\":\"success\",\"result_detail\":\"本机已提交一次触发\"}",
                             p.token, timeout_ms);
        // The client reports again until the instruction expires (a minute after the instant).
        if (a.status != 200 && AskAgain(a) && WallMs() < instant + 60000) {
          f.Retried(ErrorKind("task.consume", a));
          return schedule(e.who, Step::kConsume, WallMs() + RetryPauseMs(++p.failures));
        }
        p.failures = 0;
        if (a.status != 200) {
          f.Error(ErrorKind("task.consume", a));
        } else {
          std::lock_guard<std::mutex> lock(f.mutex);
          f.consume_ms.push_back(static_cast<double>(WallMs() - instant));
          p.reported = true;
        }
        return schedule(e.who, Step::kDone, 0);
      }
      case Step::kDone:
        return;
    }
  };

  std::vector<std::thread> workers;
  for (int w = 0; w < std::min(o.connections, n); ++w)
    workers.emplace_back([&] {
      std::unique_lock<std::mutex> lock(queue_mutex);
      for (;;) {
        if (pending == 0) return;
        if (queue.empty()) {
          queue_wake.wait(lock);
          continue;
        }
        int64_t wait = queue.top().due_ms - WallMs();
        if (wait > 0) {
          queue_wake.wait_for(lock, std::chrono::milliseconds(std::min<int64_t>(wait, 100)));
          continue;
        }
        Event e = queue.top();
        queue.pop();
        lock.unlock();
        run(e);
        lock.lock();
      }
    });
  for (auto &t : workers) t.join();
  const int64_t finished = WallMs();
  queue_wake.notify_all();

  int verified = 0, reported = 0;
  int64_t last_verified = 0;
  for (auto &p : people) {
    if (p.verified_ms && p.verified_ms < instant) {
      ++verified;
      last_verified = std::max(last_verified, p.verified_ms);
    }
    if (p.reported) ++reported;
    if (p.session) SSL_SESSION_free(p.session);
  }
  std::printf("   joined and confirmed: %d of %d\n", f.joined, n);
  // Floored, so that one participant short of all never reads 100.0 %.
  std::printf("   holding a verified instruction before the instant: %.2f %% (%d of %d)",
              std::floor(10000.0 * verified / n) / 100.0, verified, n);
  if (verified)
    std::printf("; the last got it %.1f s before the instant (%.1f s after the release)\n",
                static_cast<double>(instant - last_verified) / 1000.0,
                static_cast<double>(last_verified - release) / 1000.0);
  else
    std::printf("\n");
  std::printf("   claims: %d, answered in ms p50=%.1f p99=%.1f max=%.1f\n", f.claims, Percentile(f.claim_ms, 50),
              Percentile(f.claim_ms, 99), Percentile(f.claim_ms, 100));
  std::printf("   consumes at the instant: %d reported, answered in ms p50=%.1f p99=%.1f max=%.1f\n", reported,
              Percentile(f.consume_ms, 50), Percentile(f.consume_ms, 99), Percentile(f.consume_ms, 100));
  std::printf("   TLS: %lld connections, %lld of them resumed a session\n", static_cast<long long>(http.Handshakes()),
              static_cast<long long>(http.Resumed()));
  if (f.errors.empty()) {
    std::printf("   errors: none\n");
  } else {
    std::printf("   errors:\n");
    for (const auto &[kind, count] : f.errors) std::printf("     %6d  %s\n", count, kind.c_str());
  }
  if (!f.retried.empty()) {
    std::printf("   asked again after (as the client does; not errors unless listed above):\n");
    for (const auto &[kind, count] : f.retried) std::printf("     %6d  %s\n", count, kind.c_str());
  }
  const double seconds = static_cast<double>(finished - (start - 1000)) / 1000.0;
  for (size_t i = 0; i < s.instances.size(); ++i) {
    double cpu = CpuSeconds(s.instances[i]->pid()) - cpu_before[i];
    std::printf("   instance %zu: CPU %.1f s over %.0f s (%.2f cores on average), peak memory %.1f MiB\n", i + 1, cpu,
                seconds, cpu / seconds, static_cast<double>(s.instances[i]->PeakRssKiB()) / 1024.0);
  }
  return verified == n && reported == n && f.errors.empty() ? 0 : 1;
}

}  // namespace orvane::bench
