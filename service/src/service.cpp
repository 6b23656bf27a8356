#include "service.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/timex.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

#include <httplib.h>

#include "admin.h"
#include "login_guard.h"
#include "http_server.h"
#include "log.h"
#include "store.h"
#include "validate.h"

namespace orvane {
namespace {

constexpr size_t kMaxBodyBytes = 64 * 1024;

void SendJson(httplib::Response &res, int status, const OJson &body) {
  res.status = status;
  res.set_content(DumpJson(body), "application/json; charset=utf-8");
  MarkResponseOwned();
}

std::string DefaultFailureText(int status) {
  switch (status) {
    case 400: return "请求格式不正确";
    case 404: return "请求的地址不存在";
    case 405: return "请求方法不受支持";
    case 408: return "请求发送超时，请重试";
    case 411: return "请求缺少 Content-Length";
    case 413: return "请求内容过大";
    case 414: return "请求地址过长";
    default: return "服务请求失败";
  }
}

}  // namespace

Service::Service(ServeOptions options) : options_(std::move(options)) {
  InitCrypto();
  signal(SIGPIPE, SIG_IGN);  // a client that hangs up must not end the process
  if (::mkdir(options_.data_dir.c_str(), 0700) != 0 && errno != EEXIST)
    throw std::runtime_error("cannot create data directory " + options_.data_dir + ": " + std::strerror(errno));
  struct stat st{};
  if (::stat(options_.data_dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    throw std::runtime_error(options_.data_dir + " is not a directory");
  db_ = Db::Open(options_.db_url.empty() ? options_.data_dir + "/orvane.db" : options_.db_url);
  // SQLite writes one transaction at a time anyway: one connection, whose commits are grouped.
  // PostgreSQL runs transactions side by side: a pool, each connection with its own prepared
  // statements.
  if (db_->Shared()) {
    for (int i = 1; i < options_.db_connections; ++i) more_connections_.push_back(Db::Open(options_.db_url));
  } else {
    db_->EnableGroupCommit();
  }
  key_ = db_->Shared() ? LoadOrCreateSharedSigningKey(*db_, options_.data_dir + "/sign-ed25519.key")
                       : SigningKey::LoadOrCreate(options_.data_dir + "/sign-ed25519.key");
  int hash_threads = options_.hash_threads > 0 ? options_.hash_threads : PasswordPool::DefaultThreads();
  passwords_ = std::make_unique<PasswordPool>(hash_threads, options_.hash_queue >= 0 ? options_.hash_queue : 2 * hash_threads,
                                              options_.threads / 2, options_.hash_wait_ms);
  if (!options_.plain_http) {
    if (options_.tls_cert.empty()) {
      tls_files_ = EnsureDevTls(options_.data_dir);
    } else {
      tls_files_.server_cert = options_.tls_cert;
      tls_files_.server_key = options_.tls_key;
    }
  }
  config_ = options_.runtime;
}

Service::~Service() { Stop(); }

Db &Service::AnyConnection() {
  if (more_connections_.empty()) return *db_;
  size_t count = more_connections_.size() + 1;
  size_t first = next_connection_.fetch_add(1) % count;
  auto at = [&](size_t i) -> Db & { return i == 0 ? *db_ : *more_connections_[i - 1]; };
  for (size_t k = 0; k < count; ++k) {
    Db &d = at((first + k) % count);
    if (d.Mutex().try_lock()) {
      d.Mutex().unlock();
      return d;
    }
  }
  return at(first);
}

ClockClaim Service::CurrentClockClaim() const {
  double configured_ms;
  std::optional<KernelClockReading> fed;
  {
    std::lock_guard<std::mutex> lock(config_mutex_);
    configured_ms = config_.time_uncertainty_ms;
    fed = fed_kernel_;
  }
  return AssessClock(fed ? *fed : ReadKernelClock(), configured_ms);
}

RuntimeConfig Service::Config() const {
  std::lock_guard<std::mutex> lock(config_mutex_);
  return config_;
}

std::optional<std::string> Service::PatchConfig(const Json &patch) {
  std::lock_guard<std::mutex> lock(config_mutex_);
  return config_.Apply(patch);
}

std::string Service::PublicBase() const {
  if (!options_.public_url.empty()) {
    std::string base = options_.public_url;
    while (!base.empty() && base.back() == '/') base.pop_back();
    return base;
  }
  return std::string(options_.plain_http ? "http" : "https") + "://localhost:" + std::to_string(port_);
}

std::string Service::ListeningLine() const {
  std::string host = options_.listen_host;
  if (host == "127.0.0.1" || host == "0.0.0.0" || host == "::" || host == "::1" || host == "localhost")
    host = "localhost";
  else if (host.find(':') != std::string::npos)
    host = "[" + host + "]";
  return std::string("listening on ") + (options_.plain_http ? "http" : "https") + "://" + host + ":" +
         std::to_string(port_) + "/api.php";
}

void Service::Start() {
  if (started_) return;
  // Every waiting connection is a file descriptor: allow as many as the system lets this process.
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  SSL_CTX *ctx = nullptr;
  if (!options_.plain_http) ctx = MakeServerTlsContext(tls_files_.server_cert, tls_files_.server_key);
  ConnectionLimits limits;
  limits.request_deadline_ms = static_cast<int>(options_.request_deadline_ms);
  limits.per_source = options_.max_connections_per_source;
  limits.exempt_source = options_.real_ip_from;
  limits.max_body_bytes = kMaxBodyBytes;
  http_ = std::make_unique<OrvaneHttpServer>(ctx, options_.test_mode, limits);
  int threads = options_.threads;
  http_->new_task_queue = [this, threads] { return http_->MakeConnectionQueue(static_cast<size_t>(threads)); };
  http_->set_payload_max_length(kMaxBodyBytes);
  // The library's default adds SO_REUSEPORT, which lets a second instance bind the same port and
  // silently take half of the connections. Only allow quick restarts (SO_REUSEADDR).
  http_->set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  http_->set_keep_alive_max_count(1000);
  // An idle kept-alive connection holds a worker thread; the client opens one per request anyway.
  http_->set_keep_alive_timeout(2);
  http_->set_read_timeout(10);
  http_->set_write_timeout(10);
  RegisterRoutes();
  if (options_.test_mode) RegisterTestRoutes();

  if (options_.ntp_port >= 0) {
    sntp_ = std::make_unique<SntpResponder>(
        clock_, options_.ntp_stratum,
        [this]() -> std::optional<SntpFault> {
          if (!options_.test_mode) return std::nullopt;
          return test_.TakeSntpFault();
        },
        [this] { return CurrentClockClaim(); });
    sntp_->Start(options_.ntp_host, options_.ntp_port);
    LogLine("SNTP responder on " + options_.ntp_host + ":" + std::to_string(sntp_->Port()));
  }
  std::string host = options_.listen_host == "localhost" ? "127.0.0.1" : options_.listen_host;
  bool bound = false;
  if (options_.listen_port == 0) {
    port_ = http_->bind_to_any_port(host);
    bound = port_ > 0;
  } else {
    bound = http_->bind_to_port(host, options_.listen_port);
    port_ = options_.listen_port;
  }
  if (!bound) {
    if (sntp_) sntp_->Stop();
    sntp_.reset();
    throw std::runtime_error("cannot listen on " + host + ":" + std::to_string(options_.listen_port) +
                             " (address in use or not available)");
  }
  http_->WidenAcceptQueue();
  http_thread_ = std::thread([this] { http_->listen_after_bind(); });
  if (!options_.plain_http && options_.tls_cert.empty()) {
    stopping_ = false;
    renewal_thread_ = std::thread([this] {
      std::unique_lock<std::mutex> lock(renewal_mutex_);
      while (!renewal_wake_.wait_for(lock, std::chrono::hours(24), [this] { return stopping_; })) {
        try {
          RenewTlsIfDue(time(nullptr));
        } catch (const std::exception &e) {
          LogLine(std::string("server certificate renewal failed (the current one stays): ") + e.what());
        }
      }
    });
  }
  started_ = true;
  LogLine(ListeningLine() + (options_.test_mode ? " (test mode)" : ""));
}

bool Service::RenewTlsIfDue(time_t now) {
  if (options_.plain_http || !options_.tls_cert.empty() || !http_) return false;
  TlsFiles renewed = EnsureDevTls(options_.data_dir, now);
  if (!renewed.server_renewed) return false;
  http_->ReplaceTls(MakeServerTlsContext(renewed.server_cert, renewed.server_key));
  LogLine("serving the renewed server certificate " + renewed.server_cert);
  return true;
}

void Service::Stop() {
  {
    std::lock_guard<std::mutex> lock(renewal_mutex_);
    stopping_ = true;
  }
  renewal_wake_.notify_all();
  if (renewal_thread_.joinable()) renewal_thread_.join();
  if (sntp_) sntp_->Stop();
  if (http_) {
    // stop() only takes effect once the accept loop runs; wait for it briefly.
    for (int i = 0; i < 200 && started_ && !http_->is_running(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    http_->stop();
  }
  if (http_thread_.joinable()) http_thread_.join();
  started_ = false;
}

void Service::RegisterRoutes() {
  http_->Post("/api.php", [this](const httplib::Request &req, httplib::Response &res) { HandleApi(req, res); });
  http_->Get("/api.php", [](const httplib::Request &, httplib::Response &res) {
    SendJson(res, 405, FailBody("请使用 POST 调用服务接口"));
  });
  auto download = [this](const httplib::Request &, httplib::Response &res) {
    RuntimeConfig cfg = Config();
    res.set_content("<!DOCTYPE html><html lang=\"zh-CN\"><head><meta charset=\"utf-8\"><title>澄序下载</title></head>"
                    "<body><h1>澄序 " + cfg.latest_version + "</h1><p>请向管理员索取最新安装包。</p></body></html>",
                    "text/html; charset=utf-8");
    MarkResponseOwned();
  };
  http_->Get("/download/", download);
  http_->Get("/download", download);
  AddPageRoutes();
  http_->set_error_handler(httplib::Server::HandlerWithResponse(
      [](const httplib::Request &, httplib::Response &res) {
        if (ResponseOwned()) return httplib::Server::HandlerResponse::Unhandled;
        // The connection layer ends the connection after a request it could not read; say so.
        if (RequestHeadUnreadable()) res.set_header("Connection", "close");
        std::string message;
        if (int status = ConnectionRefusal(message)) {
          res.status = status;
          res.set_content(DumpJson(FailBody(message)), "application/json; charset=utf-8");
          return httplib::Server::HandlerResponse::Handled;
        }
        res.set_content(DumpJson(FailBody(DefaultFailureText(res.status))), "application/json; charset=utf-8");
        return httplib::Server::HandlerResponse::Handled;
      }));
  http_->set_exception_handler([](const httplib::Request &, httplib::Response &res, std::exception_ptr ep) {
    std::string what = "unknown";
    try {
      std::rethrow_exception(ep);
    } catch (const std::exception &e) {
      what = e.what();
    } catch (...) {
    }
    LogLine("request failed with an exception: " + what);
    SendJson(res, 500, FailBody("服务内部错误，请稍后重试"));
  });
}

void Service::HandleApi(const httplib::Request &req, httplib::Response &res) {
  auto started = std::chrono::steady_clock::now();
  ConnectionInfo *conn = CurrentConnection();
  int64_t receive_system_us =
      conn && conn->first_byte_system_us ? conn->first_byte_system_us : ServiceClock::SystemNowUs();
  std::string action = req.get_param_value("action");
  std::optional<Fault> fault;
  if (options_.test_mode) {
    RecordedRequest r;
    r.method = req.method;
    r.target = req.target;
    r.body = req.body;
    if (conn) r.headers = ParseRawHeaders(conn->raw);
    test_.Record(action, std::move(r));
    fault = test_.TakeFault(action);
  }
  if (fault && fault->delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(fault->delay_ms));
  Reply reply{200, OJson()};
  int64_t account_id = 0;
  if (!fault || fault->RunsAction()) reply = Dispatch(action, req, receive_system_us, account_id);
  if (fault && fault->drop) {
    DropCurrentConnection();
    MarkResponseOwned();
    if (!options_.quiet) LogLine("action=" + SanitiseForMessage(action) + " dropped (test fault)");
    return;
  }
  if (fault) {
    WireAnswer w = ApplyFault(*fault, reply);
    res.status = w.status;
    res.set_content(w.body, w.content_type);
    reply.status = w.status;
  } else {
    res.status = reply.status;
    res.set_content(DumpJson(reply.body), "application/json; charset=utf-8");
  }
  res.set_header("Cache-Control", "no-store");
  MarkResponseOwned();
  if (!options_.quiet) {
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started).count();
    LogLine("action=" + SanitiseForMessage(action) + " status=" + std::to_string(reply.status) +
            (account_id ? " account=" + std::to_string(account_id) : std::string()) + " " +
            std::to_string(us / 1000) + "." + std::to_string(us % 1000 / 100) + "ms" + (fault ? " (test fault)" : ""));
  }
}

std::string Service::ClientAddress(const httplib::Request &req) const {
  if (!options_.real_ip_from.empty() && req.remote_addr == options_.real_ip_from) {
    std::string real = req.get_header_value("X-Real-IP");
    if (!real.empty() && real.size() <= 64) return real;
  }
  return req.remote_addr;
}


void Service::RegisterTestRoutes() {
  auto parse = [](const httplib::Request &req, httplib::Response &res, Json &out) -> bool {
    out = Json::parse(req.body.empty() ? std::string("{}") : req.body, nullptr, false);
    if (out.is_discarded() || !out.is_object()) {
      SendJson(res, 400, FailBody("需要 JSON 对象"));
      return false;
    }
    return true;
  };
  http_->Post("/__test/fault", [this, parse](const httplib::Request &req, httplib::Response &res) {
    Json j;
    if (!parse(req, res, j)) return;
    auto action = j.find("action");
    if (action == j.end() || !action->is_string() || action->get<std::string>().empty())
      return SendJson(res, 400, FailBody("action 需要文本"));
    std::string name = action->get<std::string>();
    if (name == "sntp") {
      std::optional<int64_t> times;
      auto parsed = ParseSntpFault(j, times);
      if (auto *err = std::get_if<std::string>(&parsed)) return SendJson(res, 400, FailBody(*err));
      test_.SetSntpFault(std::get<SntpFault>(parsed), times);
      return SendJson(res, 200, OkBody());
    }
    auto parsed = ParseFault(j);
    if (auto *err = std::get_if<std::string>(&parsed)) return SendJson(res, 400, FailBody(*err));
    test_.SetFault(name, std::get<Fault>(parsed));
    SendJson(res, 200, OkBody());
  });
  http_->Post("/__test/clear", [this](const httplib::Request &, httplib::Response &res) {
    test_.Clear();
    SendJson(res, 200, OkBody());
  });
  http_->Post("/__test/clock", [this, parse](const httplib::Request &req, httplib::Response &res) {
    Json j;
    if (!parse(req, res, j)) return;
    for (const char *key : {"service_offset_us", "sntp_offset_us"}) {
      auto it = j.find(key);
      if (it == j.end()) continue;
      if (!it->is_number_integer()) return SendJson(res, 400, FailBody(std::string(key) + " 需要整数"));
    }
    // "kernel": what adjtimex would say ({"unsynchronised":bool,"maxerror_us":N,"esterror_us":N}),
    // so that tests see both kinds of host whatever the machine's own clock; null: the real reading.
    std::optional<std::optional<KernelClockReading>> kernel;
    if (auto it = j.find("kernel"); it != j.end()) {
      if (it->is_null()) {
        kernel.emplace();
      } else {
        if (!it->is_object()) return SendJson(res, 400, FailBody("kernel 需要对象或 null"));
        KernelClockReading k;
        for (const char *key : {"maxerror_us", "esterror_us"}) {
          auto v = it->find(key);
          if (v != it->end() && (!v->is_number_integer() || v->get<int64_t>() < 0))
            return SendJson(res, 400, FailBody(std::string(key) + " 需要非负整数"));
        }
        auto unsync = it->find("unsynchronised");
        if (unsync != it->end() && !unsync->is_boolean())
          return SendJson(res, 400, FailBody("unsynchronised 需要 true 或 false"));
        bool unsynchronised = unsync != it->end() && unsync->get<bool>();
        k.status = unsynchronised ? STA_UNSYNC : 0;
        k.state = unsynchronised ? TIME_ERROR : TIME_OK;
        k.maxerror_us = it->value("maxerror_us", int64_t{0});
        k.esterror_us = it->value("esterror_us", int64_t{0});
        kernel.emplace(k);
      }
    }
    if (j.contains("service_offset_us")) clock_.SetServiceOffsetUs(j["service_offset_us"].get<int64_t>());
    if (j.contains("sntp_offset_us")) clock_.SetSntpOffsetUs(j["sntp_offset_us"].get<int64_t>());
    if (kernel) {
      std::lock_guard<std::mutex> lock(config_mutex_);
      fed_kernel_ = *kernel;
    }
    OJson out = OkBody();
    out["service_offset_us"] = clock_.ServiceOffsetUs();
    out["sntp_offset_us"] = clock_.SntpOffsetUs();
    ClockClaim claim = CurrentClockClaim();
    out["synchronised"] = claim.synchronised;
    out["uncertainty_ms"] = claim.uncertainty_ms;
    SendJson(res, 200, out);
  });
  http_->Get("/__test/last-request", [this](const httplib::Request &req, httplib::Response &res) {
    auto r = test_.Last(req.get_param_value("action"));
    if (!r) return SendJson(res, 404, FailBody("这个操作还没有收到过请求"));
    OJson out = OkBody();
    OJson headers = OJson::array();
    for (const auto &[name, value] : r->headers) headers.push_back(OJson::array({name, value}));
    out["headers"] = headers;
    out["body"] = r->body;
    out["body_length"] = r->body.size();
    out["method"] = r->method;
    out["target"] = r->target;
    SendJson(res, 200, out);
  });
  auto config = [this, parse](const httplib::Request &req, httplib::Response &res) {
    if (req.method == "POST") {
      Json j;
      if (!parse(req, res, j)) return;
      if (auto err = PatchConfig(j)) return SendJson(res, 400, FailBody(*err));
    }
    OJson out = OkBody();
    out["config"] = Config().ToJson();
    out["port"] = port_;
    out["ntp_port"] = NtpPort();
    out["ca_cert"] = tls_files_.ca_cert;
    out["sign_public_key"] = key_.PublicKeyBase64();
    SendJson(res, 200, out);
  };
  http_->Post("/__test/config", config);
  http_->Get("/__test/config", config);
  http_->Post("/__test/admin", [this, parse](const httplib::Request &req, httplib::Response &res) {
    Json j;
    if (!parse(req, res, j)) return;
    auto it = j.find("args");
    std::vector<std::string> args;
    if (it == j.end() || !it->is_array()) return SendJson(res, 400, FailBody("args 需要文本数组"));
    for (const auto &a : *it) {
      if (!a.is_string()) return SendJson(res, 400, FailBody("args 需要文本数组"));
      args.push_back(a.get<std::string>());
    }
    AdminEnv env{*db_, key_, clock_, Config(), nullptr};
    AdminResult r = RunAdmin(env, args);
    db_->WaitDurable();
    OJson out;
    out["ok"] = r.ok;
    out["output"] = r.output;
    if (!r.ok) out["message"] = r.output;
    SendJson(res, 200, out);
  });
  http_->Get("/__test/task", [this](const httplib::Request &req, httplib::Response &res) {
    int64_t id = 0;
    try {
      id = std::stoll(req.get_param_value("id"));
    } catch (...) {
      return SendJson(res, 400, FailBody("id 需要整数"));
    }
    std::optional<Task> t;
    {
      std::lock_guard<std::mutex> lock(db_->Mutex());
      t = LoadTask(*db_, id);
    }
    db_->WaitDurable();  // what it read is on disk, like any answer
    if (!t) return SendJson(res, 404, FailBody("任务不存在"));
    RuntimeConfig cfg = Config();
    OJson out = OkBody();
    out["id"] = t->id;
    out["kind"] = t->kind;
    out["room_code"] = t->room_code;
    out["account_id"] = t->account_id;
    out["state"] = TaskStateName(t->confirmed, !t->nonce.empty(), t->consumed_ms.has_value(), t->execute_at_ms,
                                 cfg.claim_expiry_ms, clock_.NowMs(), t->expires_at_ms);
    out["execute_at_ms"] = t->execute_at_ms;
    out["target_x"] = t->target_x;
    out["target_y"] = t->target_y;
    out["executable_name"] = t->executable_name;
    out["executable_sha256"] = t->executable_sha256;
    out["purpose"] = t->purpose;
    out["client_platform"] = t->client_platform;
    out["confirmed"] = t->confirmed;
    {
      std::lock_guard<std::mutex> lock(db_->Mutex());
      out["claim_count"] = ClaimCount(t->id);
    }
    out["nonce"] = t->nonce;
    out["payload"] = t->payload;
    out["released_ms"] = t->released_ms ? OJson(*t->released_ms) : OJson();
    out["expires_at_ms"] = t->expires_at_ms ? OJson(*t->expires_at_ms) : OJson();
    out["consumed"] = t->consumed_ms.has_value();
    out["consumed_ms"] = t->consumed_ms ? OJson(*t->consumed_ms) : OJson();
    out["result"] = t->result;
    out["result_detail"] = t->result_detail;
    out["client_error_ms"] = t->client_error_ms ? OJson(*t->client_error_ms) : OJson();
    out["report_platform"] = t->report_platform;
    out["shown_uncertainty_ms"] = t->shown_uncertainty_ms ? OJson(*t->shown_uncertainty_ms) : OJson();
    out["missed_instant"] = t->missed_instant ? OJson(*t->missed_instant) : OJson();
    SendJson(res, 200, out);
  });
  http_->Get("/__test/outbox", [this](const httplib::Request &req, httplib::Response &res) {
    auto email = NormaliseEmail(req.get_param_value("email"));
    if (!email) return SendJson(res, 400, FailBody("email 格式不正确"));
    std::vector<OutboxMail> mails;
    {
      std::lock_guard<std::mutex> lock(db_->Mutex());
      mails = ListOutbox(*db_, *email, 1);
    }
    db_->WaitDurable();
    if (mails.empty()) return SendJson(res, 404, FailBody("没有发给这个邮箱的验证码"));
    OJson out = OkBody();
    out["email"] = mails[0].email;
    out["purpose"] = mails[0].purpose;
    out["code"] = mails[0].code;
    out["subject"] = mails[0].subject;
    out["body"] = mails[0].body;
    out["created_ms"] = mails[0].created_ms;
    SendJson(res, 200, out);
  });
}

}  // namespace orvane
