// Real servers started for a test or a benchmark run and stopped with it: Debian's PostgreSQL in a
// temporary directory (as an unprivileged user, since initdb refuses root), Debian's nginx with
// the configuration of service/deploy/, and the service program itself as a child process.
// Each picks a free loopback port and tries again with another when it loses a race for it.
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

namespace orvane::test {

// A free TCP port on 127.0.0.1 at the moment of asking.
int FreeLoopbackPort();

// Every server started here runs in a process group of its own and is sent its stop signal by the
// kernel when the thread that started it ends (PR_SET_PDEATHSIG), so even a SIGKILL of this
// process leaves none of them behind. Call this first in main(), before any thread is started: from
// then on SIGINT, SIGTERM and SIGHUP stop every server still running (their whole process groups)
// and remove their directories before this process ends with that signal.
void EndServersWithThisProcess();
// A directory of this process's own that the stop on a signal removes too, until forgotten.
void RemoveOnSignal(const std::string &dir);
void ForgetOnSignal(const std::string &dir);

class LocalPostgres {
 public:
  LocalPostgres();
  ~LocalPostgres();
  LocalPostgres(const LocalPostgres &) = delete;
  LocalPostgres &operator=(const LocalPostgres &) = delete;

  bool available() const { return pid_ > 0; }
  const std::string &why() const { return why_; }  // when not available
  // A fresh, empty database on this server, and its address. `durable`: its commits survive an
  // immediate shutdown of the server.
  std::string NewDatabase(bool durable = false);
  // Ends the server at once (as `pg_ctl stop -m immediate`, every connection cut) and starts it
  // again on the same port with the same data; false when it does not come back.
  bool RestartImmediately();

 private:
  bool Run(int port);

  std::string bin_;
  uid_t uid_ = 0;
  gid_t gid_ = 0;
  std::string dir_;
  std::string why_;
  pid_t pid_ = -1;
  int port_ = 0;
  int databases_ = 0;
};

class LocalNginx {
 public:
  // nginx terminating TLS with `cert`/`key` in front of the plain-HTTP service `upstreams`.
  LocalNginx(const std::vector<std::string> &upstreams, const std::string &cert, const std::string &key);
  ~LocalNginx();
  LocalNginx(const LocalNginx &) = delete;
  LocalNginx &operator=(const LocalNginx &) = delete;

  bool available() const { return pid_ > 0; }
  const std::string &why() const { return why_; }
  int port() const { return port_; }

 private:
  std::string dir_;
  std::string why_;
  pid_t pid_ = -1;
  int port_ = 0;
};

// The service program in a process of its own (so its memory can be measured).
class ServiceProcess {
 public:
  ServiceProcess(const std::string &binary, const std::vector<std::string> &serve_args);
  ~ServiceProcess();
  ServiceProcess(const ServiceProcess &) = delete;
  ServiceProcess &operator=(const ServiceProcess &) = delete;

  bool running() const { return port_ > 0; }
  const std::string &why() const { return why_; }
  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  // Peak resident memory so far, in KiB (VmHWM).
  long PeakRssKiB() const;

 private:
  std::string why_;
  pid_t pid_ = -1;
  int port_ = 0;
  int out_fd_ = -1;
};

}  // namespace orvane::test
