#include "local_servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <glob.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

namespace orvane::test {
namespace {

using Clock = std::chrono::steady_clock;

std::string MakeTempDir(const char *tag) {
  std::string tmpl = (std::filesystem::temp_directory_path() / (std::string(tag) + "-XXXXXX")).string();
  if (!mkdtemp(tmpl.data())) return {};
  return tmpl;
}

// What runs now, for stopping it when this process is told to end: each started process (the
// leader of its own process group) with the signal that stops it, and the directories to remove.
struct Started {
  pid_t pid;
  int stop_signal;
};
std::mutex started_mutex;
std::vector<Started> started;
std::vector<std::string> started_dirs;

void Track(pid_t pid, int stop_signal) {
  std::lock_guard<std::mutex> lock(started_mutex);
  started.push_back({pid, stop_signal});
}
void Untrack(pid_t pid) {
  std::lock_guard<std::mutex> lock(started_mutex);
  std::erase_if(started, [pid](const Started &s) { return s.pid == pid; });
}
void TrackDir(const std::string &dir) {
  std::lock_guard<std::mutex> lock(started_mutex);
  started_dirs.push_back(dir);
}
void UntrackDir(const std::string &dir) {
  std::lock_guard<std::mutex> lock(started_mutex);
  std::erase(started_dirs, dir);
}

// In a child between fork() and exec(), after any change of user (which would clear it): the
// child gets `stop_signal` when the thread that started it ends, however it ends. The signals the
// parent blocks for its own handling are unblocked, or the server could not be stopped with them.
void EndWithParent(pid_t parent, int stop_signal) {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  prctl(PR_SET_PDEATHSIG, stop_signal);
  if (getppid() != parent) _exit(125);  // the parent is already gone
}

// Starts `argv` with standard output and error going to `log`; as `uid`/`gid` when they are set.
// It leads a process group of its own; `stop_signal` stops it.
pid_t Spawn(const std::vector<std::string> &argv, const std::string &log, uid_t uid = 0, gid_t gid = 0,
            int stop_signal = SIGTERM) {
  // Everything the child needs is made before fork(): the parent has other threads.
  std::vector<char *> args;
  for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid > 0) Track(pid, stop_signal);
  if (pid != 0) return pid;
  setsid();
  int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd >= 0) {
    dup2(fd, 1);
    dup2(fd, 2);
  }
  int devnull = open("/dev/null", O_RDONLY);
  if (devnull >= 0) dup2(devnull, 0);
  if (uid != 0 && (setgid(gid) != 0 || setuid(uid) != 0)) _exit(126);
  EndWithParent(parent, stop_signal);
  execv(args[0], args.data());
  _exit(127);
}

bool Exited(pid_t pid, int *status = nullptr) {
  int st = 0;
  pid_t r = waitpid(pid, &st, WNOHANG);
  if (r == pid && status) *status = st;
  if (r == pid) Untrack(pid);
  return r == pid;
}

int RunToEnd(const std::vector<std::string> &argv, const std::string &log, uid_t uid = 0, gid_t gid = 0) {
  pid_t pid = Spawn(argv, log, uid, gid);
  if (pid < 0) return -1;
  int st = 0;
  waitpid(pid, &st, 0);
  Untrack(pid);
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

void Stop(pid_t pid, int sig) {
  if (pid <= 0) return;
  kill(pid, sig);
  auto until = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < until) {
    if (Exited(pid)) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  Untrack(pid);
}

// Stops every started process group still running (each with its own signal, then SIGKILL for
// what is left after 10 s) and removes the directories.
void StopEverythingStarted() {
  std::vector<Started> procs;
  std::vector<std::string> dirs;
  {
    std::lock_guard<std::mutex> lock(started_mutex);
    procs = started;
    dirs = started_dirs;
  }
  for (const auto &p : procs) kill(-p.pid, p.stop_signal);
  auto group_gone = [](pid_t pgid) {
    waitpid(pgid, nullptr, WNOHANG);  // the leader, once it has ended
    return kill(-pgid, 0) != 0 && errno == ESRCH;
  };
  auto until = Clock::now() + std::chrono::seconds(10);
  for (const auto &p : procs) {
    while (!group_gone(p.pid) && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (!group_gone(p.pid)) kill(-p.pid, SIGKILL);
  }
  for (const auto &d : dirs) {
    std::error_code ec;
    std::filesystem::remove_all(d, ec);
  }
}

std::string ReadFile(const std::string &path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool PortAccepts(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

}  // namespace

void RemoveOnSignal(const std::string &dir) { TrackDir(dir); }
void ForgetOnSignal(const std::string &dir) { UntrackDir(dir); }

void EndServersWithThisProcess() {
  sigset_t stop;
  sigemptyset(&stop);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stop, sig);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);  // inherited by every thread started from now on
  std::thread([stop] {
    int sig = 0;
    sigwait(&stop, &sig);
    StopEverythingStarted();
    // End as the signal would have ended this process.
    signal(sig, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(sig);
    _exit(128 + sig);
  }).detach();
}

int FreeLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  close(fd);
  return port;
}

// ---- PostgreSQL ----------------------------------------------------------------------------------

LocalPostgres::LocalPostgres() {
  glob_t g{};
  std::string bin;
  if (glob("/usr/lib/postgresql/*/bin/initdb", 0, nullptr, &g) == 0 && g.gl_pathc > 0)
    bin = std::filesystem::path(g.gl_pathv[g.gl_pathc - 1]).parent_path().string();
  globfree(&g);
  if (bin.empty()) {
    why_ = "PostgreSQL server programs not found (Debian package postgresql; make setup installs it)";
    return;
  }
  dir_ = MakeTempDir("orvane-pg");
  if (dir_.empty()) {
    why_ = "cannot make a temporary directory";
    return;
  }
  TrackDir(dir_);
  // initdb and postgres refuse to run as root: hand the directory to an unprivileged user.
  uid_t uid = 0;
  gid_t gid = 0;
  if (geteuid() == 0) {
    passwd *pw = getpwnam("postgres");
    if (!pw) pw = getpwnam("nobody");
    if (!pw) {
      why_ = "running as root and no unprivileged user (postgres, nobody) to run PostgreSQL";
      return;
    }
    uid = pw->pw_uid;
    gid = pw->pw_gid;
    if (chown(dir_.c_str(), uid, gid) != 0) {
      why_ = "cannot hand " + dir_ + " to the PostgreSQL user";
      return;
    }
  }
  chmod(dir_.c_str(), 0700);
  bin_ = bin;
  uid_ = uid;
  gid_ = gid;
  int rc = RunToEnd({bin + "/initdb", "-D", dir_ + "/data", "-A", "trust", "-U", "orvane", "-E", "UTF8", "--locale=C",
                     "--no-sync"},
                    dir_ + "/initdb.log", uid, gid);
  if (rc != 0) {
    why_ = "initdb failed: " + ReadFile(dir_ + "/initdb.log");
    return;
  }
  for (int attempt = 0; attempt < 4 && pid_ <= 0; ++attempt) {
    int port = FreeLoopbackPort();
    if (Run(port)) port_ = port;
  }
  if (pid_ <= 0) why_ = "PostgreSQL did not start: " + ReadFile(dir_ + "/server.log");
}

bool LocalPostgres::Run(int port) {
  pid_t pid = Spawn({bin_ + "/postgres", "-D", dir_ + "/data", "-p", std::to_string(port), "-k", dir_, "-c",
                     "listen_addresses=127.0.0.1", "-c", "fsync=off", "-c", "synchronous_commit=off", "-c",
                     "full_page_writes=off", "-c", "max_connections=60", "-c", "shared_buffers=32MB"},
                    dir_ + "/server.log", uid_, gid_, SIGINT);  // SIGINT: PostgreSQL's fast shutdown
  std::string conninfo = "host=127.0.0.1 port=" + std::to_string(port) + " user=orvane dbname=postgres";
  auto until = Clock::now() + std::chrono::seconds(30);
  while (Clock::now() < until && !Exited(pid)) {
    if (PQping(conninfo.c_str()) == PQPING_OK) {
      pid_ = pid;
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  Stop(pid, SIGKILL);  // lost the port to someone else, or never came up
  return false;
}

bool LocalPostgres::RestartImmediately() {
  if (!available()) return false;
  Stop(pid_, SIGQUIT);  // immediate shutdown: every backend ends at once, as in a crash
  pid_ = -1;
  return Run(port_);
}

LocalPostgres::~LocalPostgres() {
  Stop(pid_, SIGINT);  // fast shutdown
  if (!dir_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
    UntrackDir(dir_);
  }
}

std::string LocalPostgres::NewDatabase(bool durable) {
  if (!available()) return {};
  std::string name = "orvane" + std::to_string(++databases_);
  std::string conninfo = "host=127.0.0.1 port=" + std::to_string(port_) + " user=orvane dbname=postgres";
  PGconn *c = PQconnectdb(conninfo.c_str());
  PGresult *r = PQexec(c, ("CREATE DATABASE " + name).c_str());
  bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
  PQclear(r);
  PQfinish(c);
  if (!ok) return {};
  if (durable) {
    // This server skips waiting for the log in commits; a database that must keep what it
    // acknowledged through an immediate shutdown waits for the log's write (fsync stays off: the
    // system keeps what was written when only the server ends).
    c = PQconnectdb(conninfo.c_str());
    r = PQexec(c, ("ALTER DATABASE " + name + " SET synchronous_commit = on").c_str());
    ok = PQresultStatus(r) == PGRES_COMMAND_OK;
    PQclear(r);
    PQfinish(c);
    if (!ok) return {};
  }
  return "postgresql://orvane@127.0.0.1:" + std::to_string(port_) + "/" + name;
}

// ---- nginx ---------------------------------------------------------------------------------------

LocalNginx::LocalNginx(const std::vector<std::string> &upstreams, const std::string &cert, const std::string &key) {
  const char *nginx = "/usr/sbin/nginx";
  if (access(nginx, X_OK) != 0) {
    why_ = "nginx not found (Debian package nginx; make setup installs it)";
    return;
  }
  dir_ = MakeTempDir("orvane-nginx");
  if (dir_.empty()) {
    why_ = "cannot make a temporary directory";
    return;
  }
  TrackDir(dir_);
  chmod(dir_.c_str(), 0755);  // its worker processes run as an unprivileged user when started as root
  for (int attempt = 0; attempt < 4 && pid_ <= 0; ++attempt) {
    int port = FreeLoopbackPort();
    std::vector<std::string> render = {std::string(ORVANE_DEPLOY_DIR) + "/render-nginx-conf",
                                       "--listen", "127.0.0.1:" + std::to_string(port),
                                       "--cert", cert, "--key", key, "--runtime", dir_};
    for (const auto &u : upstreams) {
      render.push_back("--upstream");
      render.push_back(u);
    }
    std::string conf = dir_ + "/nginx.conf";
    unlink(conf.c_str());
    if (RunToEnd(render, conf) != 0) {
      why_ = "render-nginx-conf failed: " + ReadFile(conf);
      return;
    }
    // nginx writes its pid file only once it holds its port: until then something else that took
    // the free port meanwhile may be what accepts there (nginx keeps trying to bind for seconds).
    const std::string pid_file = dir_ + "/nginx.pid";
    unlink(pid_file.c_str());
    pid_t pid = Spawn({nginx, "-p", dir_, "-c", conf, "-e", dir_ + "/error.log", "-g", "daemon off;"},
                      dir_ + "/stderr.log");
    auto until = Clock::now() + std::chrono::seconds(10);
    bool ready = false;
    while (Clock::now() < until && !Exited(pid)) {
      if (access(pid_file.c_str(), F_OK) == 0 && PortAccepts(port)) {
        ready = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (ready) {
      pid_ = pid;
      port_ = port;
    } else {
      Stop(pid, SIGKILL);
    }
  }
  if (pid_ <= 0) why_ = "nginx did not start: " + ReadFile(dir_ + "/error.log") + ReadFile(dir_ + "/stderr.log");
}

LocalNginx::~LocalNginx() {
  Stop(pid_, SIGTERM);
  if (!dir_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
    UntrackDir(dir_);
  }
}

// ---- the service as a process --------------------------------------------------------------------

ServiceProcess::ServiceProcess(const std::string &binary, const std::vector<std::string> &serve_args) {
  int fds[2];
  if (pipe(fds) != 0) {
    why_ = "pipe failed";
    return;
  }
  std::vector<std::string> argv = {binary, "serve"};
  argv.insert(argv.end(), serve_args.begin(), serve_args.end());
  std::vector<char *> args;
  for (auto &a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  pid_t parent = getpid();
  pid_ = fork();
  if (pid_ == 0) {
    setsid();
    dup2(fds[1], 1);
    int devnull = open("/dev/null", O_RDWR);
    dup2(devnull, 0);
    dup2(devnull, 2);
    close(fds[0]);
    EndWithParent(parent, SIGTERM);
    execv(args[0], args.data());
    _exit(127);
  }
  if (pid_ > 0) Track(pid_, SIGTERM);
  close(fds[1]);
  out_fd_ = fds[0];
  std::string line;
  auto until = Clock::now() + std::chrono::seconds(30);
  while (Clock::now() < until) {
    pollfd p{out_fd_, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char ch;
    if (read(out_fd_, &ch, 1) != 1) break;
    if (ch == '\n') break;
    line += ch;
  }
  auto colon = line.rfind(':');
  auto slash = line.rfind("/api.php");
  if (line.rfind("listening on ", 0) == 0 && colon != std::string::npos && slash != std::string::npos)
    port_ = std::atoi(line.substr(colon + 1, slash - colon - 1).c_str());
  if (port_ <= 0) why_ = "service did not start: " + line;
}

ServiceProcess::~ServiceProcess() {
  Stop(pid_, SIGTERM);
  if (out_fd_ >= 0) close(out_fd_);
}

long ServiceProcess::PeakRssKiB() const {
  std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

}  // namespace orvane::test
