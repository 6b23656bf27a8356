// Figures for the reference service under load and abuse, printed for `make bench`:
//  1. a login flood (64 connections) beside a steady "time" client: "time" latency during the flood
//     and the service's peak memory;
//  2. slow and idle clients (32 drip-fed, 500 idle from one address, 500 idle from 50 addresses,
//     2,000 silent from 200 addresses) against the service alone and behind nginx: share of "time"
//     requests answered within 1 s, and how many of the attackers' connections were held open;
//  3. "time" and "task.claim" throughput on SQLite, and on PostgreSQL with one and two instances.
// Every server is real and started here on loopback; all loops are bounded in time.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include "local_servers.h"
#include "room_bench.h"
#include "tls.h"

namespace {

using Clock = std::chrono::steady_clock;
using orvane::test::LocalNginx;
using orvane::test::LocalPostgres;
using orvane::test::ServiceProcess;

const std::string kBinary = ORVANE_SERVICE_BINARY;
const std::string kPassword = "bench-password-1";

struct TempDir {
  std::string path;
  TempDir() {
    std::string t = (std::filesystem::temp_directory_path() / "orvane-bench-XXXXXX").string();
    path = mkdtemp(t.data()) ? t : std::string();
    if (!path.empty()) orvane::test::RemoveOnSignal(path);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
    orvane::test::ForgetOnSignal(path);
  }
};

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(p / 100.0 * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

bool Admin(const std::string &target, const std::string &args) {
  std::string cmd = kBinary + " admin " + target + " " + args + " >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0;
}

// One request on a fresh connection, as the client makes them. Returns the status (0: none).
int PostOnce(int port, const std::string &ca, const std::string &action, const std::string &body,
             const std::string &token, int timeout_ms, std::string *answer = nullptr) {
  httplib::SSLClient c("localhost", port);
  c.set_ca_cert_path(ca.c_str());
  c.enable_server_certificate_verification(true);
  c.set_tcp_nodelay(true);
  c.set_connection_timeout(0, timeout_ms * 1000);
  c.set_read_timeout(0, timeout_ms * 1000);
  c.set_write_timeout(0, timeout_ms * 1000);
  httplib::Headers h{{"X-Orvane-Version", "0.9.10"}};
  if (!token.empty()) h.emplace("Authorization", "Bearer " + token);
  auto r = c.Post(("/api.php?action=" + action).c_str(), h, body, "application/json");
  if (!r) return 0;
  if (answer) *answer = r->body;
  return r->status;
}

std::string Field(const std::string &json, const std::string &key) {
  auto p = json.find("\"" + key + "\":");
  if (p == std::string::npos) return {};
  p += key.size() + 3;
  if (json[p] == '"') return json.substr(p + 1, json.find('"', p + 1) - p - 1);
  return json.substr(p, json.find_first_of(",}", p) - p);
}

// "time" every `period_ms` for `seconds` on fresh connections with a 1 s limit.
struct Probe {
  std::vector<double> latencies_ms;
  int sent = 0, answered_in_1s = 0;
};
Probe ProbeTime(int port, const std::string &ca, int seconds, int period_ms) {
  Probe p;
  auto end = Clock::now() + std::chrono::seconds(seconds);
  while (Clock::now() < end) {
    auto t0 = Clock::now();
    int status = PostOnce(port, ca, "time", "{}", "", 1000);
    double ms = Ms(Clock::now() - t0);
    ++p.sent;
    if (status == 200) {
      p.latencies_ms.push_back(ms);
      if (ms <= 1000) ++p.answered_in_1s;
    }
    auto next = t0 + std::chrono::milliseconds(period_ms);
    if (next > Clock::now()) std::this_thread::sleep_until(next);
  }
  return p;
}

// ---- 1. login flood ------------------------------------------------------------------------------

void LoginFlood() {
  std::printf("-- login flood: 64 connections (64 accounts) logging in for 10 s, one \"time\" request every 20 ms\n");
  std::printf("   (the flood runs at the lowest scheduling priority, as if from other machines)\n");
  TempDir dir;
  std::string data = dir.path + "/data";
  std::filesystem::create_directories(data);
  for (int i = 0; i < 64; ++i)
    Admin("--data " + data, "account-create flood" + std::to_string(i) + "@example.cn " + kPassword);
  // Every flood connection comes from 127.0.0.1 here, so the per-address connection limit is off:
  // the figure is that of the hashing pool alone.
  ServiceProcess svc(kBinary, {"--data", data, "--listen", "127.0.0.1:0", "--quiet", "--max-connections-per-source", "0"});
  if (!svc.running()) {
    std::printf("   service did not start: %s\n", svc.why().c_str());
    return;
  }
  std::string ca = data + "/tls/dev-ca.pem";
  std::atomic<bool> stop{false};
  std::atomic<int> ok{0}, busy{0}, other{0};
  std::vector<std::thread> flood;
  for (int i = 0; i < 64; ++i)
    flood.emplace_back([&, i] {
      setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 19);
      std::string body = "{\"email\":\"flood" + std::to_string(i) + "@example.cn\",\"password\":\"" + kPassword + "\"}";
      while (!stop) {
        int s = PostOnce(svc.port(), ca, "auth.login", body, "", 15000);
        (s == 200 ? ok : s == 503 ? busy : other)++;
      }
    });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  Probe p = ProbeTime(svc.port(), ca, 10, 20);
  stop = true;
  for (auto &t : flood) t.join();
  std::printf("   time: %d sent, %zu answered; latency ms p50=%.1f p99=%.1f p99.9=%.1f max=%.1f\n", p.sent,
              p.latencies_ms.size(), Percentile(p.latencies_ms, 50), Percentile(p.latencies_ms, 99),
              Percentile(p.latencies_ms, 99.9), Percentile(p.latencies_ms, 100));
  std::printf("   logins: %d signed in, %d answered busy, %d other; service peak memory %.1f MiB\n", ok.load(),
              busy.load(), other.load(), static_cast<double>(svc.PeakRssKiB()) / 1024.0);
}

// ---- 2. slow and idle clients --------------------------------------------------------------------

int Connect(int port, const std::string &source) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in src{}, dst{};
  src.sin_family = dst.sin_family = AF_INET;
  inet_pton(AF_INET, source.c_str(), &src.sin_addr);
  dst.sin_port = htons(static_cast<uint16_t>(port));
  dst.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr *>(&src), sizeof src) != 0 ||
      connect(fd, reinterpret_cast<sockaddr *>(&dst), sizeof dst) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool PeerClosed(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, 0) <= 0) return false;
  char b;
  return recv(fd, &b, 1, MSG_PEEK | MSG_DONTWAIT) <= 0;
}

// Whether the attackers' connections were really held while the probe ran: how many stayed open
// throughout, and how often the far side (the service or nginx at its deadline, or a refusal)
// closed one, which the attacker then opened again. Written by the attacker, read after it ends.
struct Held {
  std::atomic<bool> measuring{false};
  int throughout = 0;
  int reopened = 0;
};

// Attackers that keep `count` connections open from `sources` until `stop`: drip-fed TLS requests
// (a header line every 4 s) or silent TCP connections. A closed one is opened again.
void Attack(int port, const std::string &ca, int count, const std::vector<std::string> &sources, bool drip,
            std::atomic<bool> &stop, Held &held) {
  SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
  SSL_CTX_load_verify_locations(ctx, ca.c_str(), nullptr);
  struct Conn {
    int fd = -1;
    SSL *ssl = nullptr;
    Clock::time_point next;
  };
  std::vector<Conn> conns(static_cast<size_t>(count));
  auto open = [&](Conn &c, size_t i) {
    c.fd = Connect(port, sources[i % sources.size()]);
    c.next = Clock::now() + std::chrono::seconds(4);
    if (c.fd < 0 || !drip) return;
    timeval tv{2, 0};
    setsockopt(c.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    c.ssl = SSL_new(ctx);
    SSL_set_fd(c.ssl, c.fd);
    SSL_set_tlsext_host_name(c.ssl, "localhost");
    if (SSL_connect(c.ssl) == 1) {
      std::string line = "POST /api.php?action=time HTTP/1.1\r\nHost: localhost\r\n";
      SSL_write(c.ssl, line.data(), static_cast<int>(line.size()));
    }
    ERR_clear_error();
  };
  auto shut = [](Conn &c) {
    if (c.ssl) SSL_free(c.ssl);
    if (c.fd >= 0) close(c.fd);
    c = Conn{};
  };
  for (size_t i = 0; i < conns.size() && !stop; ++i) open(conns[i], i);
  std::vector<bool> lost(conns.size(), false);  // closed (or not open) at some moment of the probe
  while (!stop) {
    for (size_t i = 0; i < conns.size() && !stop; ++i) {
      Conn &c = conns[i];
      if (c.fd < 0 || PeerClosed(c.fd)) {
        if (held.measuring) {
          lost[i] = true;
          ++held.reopened;
        }
        shut(c);
        open(c, i);
      } else if (drip && c.ssl && Clock::now() >= c.next) {
        std::string line = "X-Slow: 1\r\n";
        SSL_write(c.ssl, line.data(), static_cast<int>(line.size()));
        ERR_clear_error();
        c.next = Clock::now() + std::chrono::seconds(4);
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  held.throughout = static_cast<int>(std::count(lost.begin(), lost.end(), false));
  for (auto &c : conns) shut(c);
  SSL_CTX_free(ctx);
}

void SlowClients() {
  std::printf("-- slow and idle clients: share of \"time\" requests (one every 100 ms for 8 s) answered within 1 s\n");
  TempDir dir;
  std::string alone_data = dir.path + "/alone", front_data = dir.path + "/front";
  ServiceProcess alone(kBinary, {"--data", alone_data, "--listen", "127.0.0.1:0", "--quiet"});
  ServiceProcess behind(kBinary, {"--data", front_data, "--listen", "127.0.0.1:0", "--quiet", "--plain-http",
                                  "--real-ip-from", "127.0.0.1"});
  std::filesystem::create_directories(dir.path + "/nginx-tls");
  orvane::TlsFiles tls = orvane::EnsureDevTls(dir.path + "/nginx-tls");
  if (!alone.running() || !behind.running()) {
    std::printf("   service did not start: %s %s\n", alone.why().c_str(), behind.why().c_str());
    return;
  }
  LocalNginx nginx({"127.0.0.1:" + std::to_string(behind.port())}, tls.server_cert, tls.server_key);
  if (!nginx.available()) std::printf("   nginx not available: %s\n", nginx.why().c_str());
  std::vector<std::string> many, machines;
  for (int i = 0; i < 50; ++i) many.push_back("127.0.1." + std::to_string(i + 1));
  // 10 connections per address: within the service's share of 16, so that all 2,000 are held.
  for (int i = 0; i < 200; ++i) machines.push_back("127.0.2." + std::to_string(i + 1));
  struct Attackers {
    const char *name;
    int count;
    std::vector<std::string> sources;
    bool drip;
  } attacks[] = {{"32 drip-fed TLS requests from one address", 32, {"127.0.0.2"}, true},
                 {"500 idle connections from one address", 500, {"127.0.0.3"}, false},
                 {"500 idle connections from 50 addresses", 500, many, false},
                 {"2000 silent connections from 200 addresses", 2000, machines, false}};
  struct Target {
    const char *name;
    int port;
    std::string ca;
  } targets[] = {{"service alone", alone.port(), alone_data + "/tls/dev-ca.pem"},
                 {"behind nginx", nginx.available() ? nginx.port() : 0, tls.ca_cert}};
  for (const auto &a : attacks) {
    for (const auto &t : targets) {
      if (!t.port) continue;
      std::atomic<bool> stop{false};
      Held held;
      std::thread attacker([&] { Attack(t.port, t.ca, a.count, a.sources, a.drip, stop, held); });
      std::this_thread::sleep_for(std::chrono::seconds(2));
      held.measuring = true;
      Probe p = ProbeTime(t.port, t.ca, 8, 100);
      held.measuring = false;
      stop = true;
      attacker.join();
      std::printf("   %-42s %-14s %5.1f %% within 1 s (%d of %d), p50 %.1f ms, p99 %.1f ms, max %.1f ms\n", a.name,
                  t.name, p.sent ? 100.0 * p.answered_in_1s / p.sent : 0.0, p.answered_in_1s, p.sent,
                  Percentile(p.latencies_ms, 50), Percentile(p.latencies_ms, 99), Percentile(p.latencies_ms, 100));
      std::printf("   %-42s %-14s held open throughout: %d of %d; closed by the far side meanwhile (and opened "
                  "again): %d\n",
                  "", "", held.throughout, a.count, held.reopened);
      std::this_thread::sleep_for(std::chrono::seconds(1));
    }
  }
}

// ---- 3. throughput -------------------------------------------------------------------------------

struct Rate {
  int64_t requests = 0, failures = 0;
  std::vector<double> latencies_ms;
};

// `threads` keep-alive clients spread over `ports` for `seconds`.
Rate Load(const std::vector<int> &ports, const std::string &ca, const std::string &action, const std::string &body,
          const std::string &token, int threads, int seconds) {
  std::vector<Rate> each(static_cast<size_t>(threads));
  std::vector<std::thread> ts;
  auto end = Clock::now() + std::chrono::seconds(seconds);
  for (int i = 0; i < threads; ++i)
    ts.emplace_back([&, i] {
      httplib::SSLClient c("localhost", ports[static_cast<size_t>(i) % ports.size()]);
      c.set_ca_cert_path(ca.c_str());
      c.enable_server_certificate_verification(true);
      c.set_keep_alive(true);
      c.set_tcp_nodelay(true);
      c.set_read_timeout(5);
      httplib::Headers h{{"X-Orvane-Version", "0.9.10"}};
      if (!token.empty()) h.emplace("Authorization", "Bearer " + token);
      Rate &r = each[static_cast<size_t>(i)];
      while (Clock::now() < end) {
        auto t0 = Clock::now();
        auto res = c.Post(("/api.php?action=" + action).c_str(), h, body, "application/json");
        ++r.requests;
        if (!res || res->status != 200) ++r.failures;
        else r.latencies_ms.push_back(Ms(Clock::now() - t0));
      }
    });
  for (auto &t : ts) t.join();
  Rate total;
  for (auto &r : each) {
    total.requests += r.requests;
    total.failures += r.failures;
    total.latencies_ms.insert(total.latencies_ms.end(), r.latencies_ms.begin(), r.latencies_ms.end());
  }
  return total;
}

void Throughput() {
  std::printf("-- throughput: 16 keep-alive clients for 5 s per action\n");
  TempDir dir;
  LocalPostgres pg;
  struct Setup {
    const char *name;
    std::string db;  // empty: SQLite
    int instances;
  };
  std::vector<Setup> setups = {{"SQLite, 1 instance", "", 1}};
  if (pg.available()) {
    std::string url = pg.NewDatabase();
    setups.push_back({"PostgreSQL, 1 instance", url, 1});
    setups.push_back({"PostgreSQL, 2 instances", url, 2});
  } else {
    std::printf("   PostgreSQL not available: %s\n", pg.why().c_str());
  }
  int n = 0;
  for (const auto &s : setups) {
    std::vector<std::unique_ptr<ServiceProcess>> procs;
    std::vector<int> ports;
    std::string first_data;
    for (int i = 0; i < s.instances; ++i) {
      std::string data = dir.path + "/t" + std::to_string(++n);
      if (first_data.empty()) first_data = data;
      std::vector<std::string> args = {"--data", data, "--listen", "127.0.0.1:0", "--quiet", "--release-lead-ms",
                                       "3600000", "--max-connections-per-source", "0"};
      if (!s.db.empty()) {
        args.push_back("--db");
        args.push_back(s.db);
      }
      procs.push_back(std::make_unique<ServiceProcess>(kBinary, args));
      if (!procs.back()->running()) {
        std::printf("   %s: service did not start: %s\n", s.name, procs.back()->why().c_str());
        return;
      }
      ports.push_back(procs.back()->port());
    }
    // Every instance has its own development CA; the clients of each trust that instance's.
    std::string ca = first_data + "/tls/dev-ca.pem";
    std::string target = s.db.empty() ? "--data " + first_data : "--db " + s.db;
    Admin(target, "account-create load" + std::to_string(n) + "@example.cn " + kPassword + " 100000");
    std::string answer;
    PostOnce(ports[0], ca, "auth.login",
             "{\"email\":\"load" + std::to_string(n) + "@example.cn\",\"password\":\"" + kPassword + "\"}", "", 10000,
             &answer);
    std::string token = Field(answer, "token");
    PostOnce(ports[0], ca, "time", "{}", "", 5000, &answer);
    long long now = std::atoll(Field(answer, "server_unix_ms").c_str());
    std::string fields = "\"client_platform\":\"windows\",\"purpose\":\"software_testing\",\"target_x\":1,\"target_y\":2,"
                         "\"executable_name\":\"demo.exe\",\"executable_sha256\":\"" + std::string(64, 'a') + "\"";
    PostOnce(ports[0], ca, "match.create", "{\"execute_at_ms\":" + std::to_string(now + 600000) + "," + fields + "}",
             token, 5000, &answer);
    std::string claim = "{\"task_id\":" + Field(answer, "task_id") + ",\"client_platform\":\"windows\"}";
    for (const char *action : {"time", "task.claim"}) {
      Rate r;
      if (s.instances == 1) {
        r = Load(ports, ca, action, action == std::string("time") ? "{}" : claim, token, 16, 5);
      } else {
        // Each instance's clients trust that instance's CA; both run at the same time.
        std::vector<Rate> both(2);
        std::thread second([&] {
          both[1] = Load({ports[1]}, dir.path + "/t" + std::to_string(n) + "/tls/dev-ca.pem", action,
                         action == std::string("time") ? "{}" : claim, token, 8, 5);
        });
        both[0] = Load({ports[0]}, ca, action, action == std::string("time") ? "{}" : claim, token, 8, 5);
        second.join();
        for (auto &b : both) {
          r.requests += b.requests;
          r.failures += b.failures;
          r.latencies_ms.insert(r.latencies_ms.end(), b.latencies_ms.begin(), b.latencies_ms.end());
        }
      }
      std::printf("   %-26s %-10s %7.0f requests/s, %lld failed, latency ms p50=%.2f p99=%.2f max=%.1f\n", s.name,
                  action, static_cast<double>(r.requests - r.failures) / 5.0, static_cast<long long>(r.failures),
                  Percentile(r.latencies_ms, 50), Percentile(r.latencies_ms, 99), Percentile(r.latencies_ms, 100));
    }
  }
}

}  // namespace

// orvane-service-bench room --participants N [--instances K] [--db sqlite|postgresql]
//   [--join-seconds S] [--release-lead-ms L] [--connections C] [-- further serve options]
int Room(int argc, char **argv) {
  orvane::bench::RoomOptions o;
  auto number = [&](int &i, long long lo, long long hi, long long &out) {
    if (i + 1 >= argc) return false;
    char *end = nullptr;
    out = std::strtoll(argv[++i], &end, 10);
    return *end == '\0' && out >= lo && out <= hi;
  };
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    long long v = 0;
    bool ok = true;
    if (a == "--participants") ok = number(i, 2, 100000, v), o.participants = static_cast<int>(v);
    else if (a == "--instances") ok = number(i, 1, 16, v), o.instances = static_cast<int>(v);
    else if (a == "--join-seconds") ok = number(i, 0, 3600, v), o.join_seconds = static_cast<int>(v);
    else if (a == "--release-lead-ms") ok = number(i, 1000, 600000, v), o.release_lead_ms = v;
    else if (a == "--connections") ok = number(i, 1, 20000, v), o.connections = static_cast<int>(v);
    else if (a == "--db" && i + 1 < argc) o.database = argv[++i], ok = o.database == "sqlite" || o.database == "postgresql";
    else if (a == "--") {
      for (++i; i < argc; ++i) o.serve_args.push_back(argv[i]);
    } else ok = false;
    if (!ok) {
      std::fprintf(stderr, "orvane-service-bench room: bad or unknown argument %s\n", a.c_str());
      return 2;
    }
  }
  if (o.participants < 2) {
    std::fprintf(stderr,
                 "usage: orvane-service-bench room --participants N [--instances K] [--db sqlite|postgresql]\n"
                 "         [--join-seconds S] [--release-lead-ms L] [--connections C] [-- serve options]\n");
    return 2;
  }
  if (o.instances > 1 && o.database != "postgresql") {
    std::fprintf(stderr, "orvane-service-bench room: several instances share a PostgreSQL database (--db postgresql)\n");
    return 2;
  }
  return orvane::bench::RunRoom(o, kBinary);
}

int main(int argc, char **argv) {
  // Killed or interrupted, the benchmark takes the servers it started with it.
  orvane::test::EndServersWithThisProcess();
  signal(SIGPIPE, SIG_IGN);
  // The attackers hold thousands of connections: as many files as the system lets this process.
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  std::string only = argc > 1 ? argv[1] : "";
  if (only == "room") return Room(argc, argv);
  std::printf("orvane-service benchmark on %u cores (figures vary with whatever else runs)\n",
              std::thread::hardware_concurrency());
  if (only.empty() || only == "flood") LoginFlood();
  if (only.empty() || only == "slow") SlowClients();
  if (only.empty() || only == "throughput") Throughput();
  return 0;
}
