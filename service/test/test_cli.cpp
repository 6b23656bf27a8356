// The program as people run it: help text, argument errors, serve until SIGTERM, admin; and the
// room benchmark, which must take the servers it started with it however it is ended.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"

namespace orvane {
namespace {

struct ProcessRun {
  int exit_code = -1;
  std::string out;
};

// Never leaves a child running when an assertion ends a test early; a pid of -1 lets it go.
struct Reaper {
  pid_t pid;
  ~Reaper() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
};

ProcessRun Shell(const std::string &args, const std::string &input = "") {
  std::string cmd = std::string(ORVANE_SERVICE_BINARY) + " " + args + " 2>&1";
  if (!input.empty()) cmd = "printf '%s\\n' '" + input + "' | " + cmd;
  FILE *p = popen(cmd.c_str(), "r");
  ProcessRun r;
  char buf[512];
  while (fgets(buf, sizeof buf, p)) r.out += buf;
  int status = pclose(p);
  r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

TEST(CommandLine, HelpAndArgumentErrors) {
  ProcessRun help = Shell("--help");
  EXPECT_EQ(help.exit_code, 0);
  for (const char *word : {"serve --data DIR --listen HOST:PORT", "--test-mode", "developer-create", "credits-set",
                           "blacklist-import", "outbox", "tasks [--room CODE]", "account-create"})
    EXPECT_NE(help.out.find(word), std::string::npos) << word;
  EXPECT_EQ(Shell("").exit_code, 2);
  EXPECT_EQ(Shell("bogus").exit_code, 2);
  ProcessRun no_data = Shell("serve --listen 127.0.0.1:0");
  EXPECT_EQ(no_data.exit_code, 2);
  EXPECT_NE(no_data.out.find("--data"), std::string::npos);
  EXPECT_EQ(Shell("serve --data /tmp/x --listen nonsense").exit_code, 2);
  ProcessRun not_dir = Shell("serve --data /etc/hostname --listen 127.0.0.1:0");
  EXPECT_EQ(not_dir.exit_code, 1);
  EXPECT_NE(not_dir.out.find("/etc/hostname"), std::string::npos) << not_dir.out;
  ProcessRun missing = Shell("admin --data /nonexistent/orvane accounts");
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_NE(missing.out.find("does not exist"), std::string::npos);
}

TEST(CommandLine, ServesUntilSigtermThenExitsZero) {
  test::TempDir dir;
  int out_pipe[2];
  ASSERT_EQ(pipe(out_pipe), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(out_pipe[1], 1);
    int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 2);
    close(out_pipe[0]);
    std::string data = dir.path() + "/d";
    execl(ORVANE_SERVICE_BINARY, ORVANE_SERVICE_BINARY, "serve", "--data", data.c_str(), "--listen", "localhost:0",
          "--ntp", "127.0.0.1:0", static_cast<char *>(nullptr));
    _exit(127);
  }
  Reaper reaper{pid};
  close(out_pipe[1]);
  std::string line;
  char ch;
  while (read(out_pipe[0], &ch, 1) == 1 && ch != '\n') line += ch;
  ASSERT_EQ(line.rfind("listening on https://localhost:", 0), 0u) << line;
  ASSERT_EQ(line.substr(line.size() - 8), "/api.php");
  int port = std::stoi(line.substr(std::strlen("listening on https://localhost:")));
  httplib::SSLClient c("localhost", port);
  c.set_ca_cert_path((dir.path() + "/d/tls/dev-ca.pem").c_str());
  c.enable_server_certificate_verification(true);
  auto r = c.Post("/api.php?action=health", httplib::Headers{{"X-Orvane-Version", "0.9.10"}}, "{}", "application/json");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  // Without --test-mode the test endpoints do not exist.
  auto t = c.Post("/__test/clear", "{}", "application/json");
  ASSERT_TRUE(t);
  EXPECT_EQ(t->status, 404);
  kill(pid, SIGTERM);
  int status = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (waitpid(pid, &status, WNOHANG) == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(WIFEXITED(status)) << "service did not stop";
  reaper.pid = -1;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  close(out_pipe[0]);

  // The admin command line works on the data directory it left behind.
  std::string d = dir.path() + "/d";
  ProcessRun created = Shell("admin --data " + d + " developer-create clidev01 -", "a-long-password");
  EXPECT_EQ(created.exit_code, 0) << created.out;
  ProcessRun accounts = Shell("admin --data " + d + " accounts");
  EXPECT_NE(accounts.out.find("clidev01"), std::string::npos) << accounts.out;
  ProcessRun bad = Shell("admin --data " + d + " credits-set nobody 5");
  EXPECT_EQ(bad.exit_code, 1);
}

TEST(CommandLine, AdminHelpListsTheAdminCommands) {
  test::TempDir dir;
  for (const std::string &args : {std::string("admin --help"), "admin --data " + dir.path() + " --help", std::string("admin -h")}) {
    ProcessRun help = Shell(args);
    EXPECT_EQ(help.exit_code, 0) << args << "\n" << help.out;
    for (const char *word : {"account-create", "developer-create", "credits-set", "blacklist-import", "outbox", "public-key",
                             "rooms show CODE"})
      EXPECT_NE(help.out.find(word), std::string::npos) << args << ": " << word;
    EXPECT_EQ(help.out.find("unknown admin command"), std::string::npos) << args;
  }
  ProcessRun bare = Shell("admin");
  EXPECT_EQ(bare.exit_code, 2);
  EXPECT_NE(bare.out.find("usage"), std::string::npos);
  EXPECT_EQ(Shell("admin --db sqlite.db accounts").exit_code, 2);
}

TEST(CommandLine, RefusesAPortInUse) {
  test::TestService running;
  test::TempDir dir;
  ProcessRun r = Shell("serve --data " + dir.path() + "/d --listen 127.0.0.1:" + std::to_string(running.port()));
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.out.find("cannot listen"), std::string::npos) << r.out;
}

struct ProcInfo {
  pid_t pid = 0, ppid = 0, group = 0;
  char state = '?';
  unsigned long long start = 0;  // clock ticks after boot: tells a reused number apart
  std::string comm;
};

std::optional<ProcInfo> ReadProc(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto open = text.find('('), close = text.rfind(')');
  if (open == std::string::npos || close == std::string::npos) return std::nullopt;
  ProcInfo p;
  p.pid = pid;
  p.comm = text.substr(open + 1, close - open - 1);
  std::istringstream rest(text.substr(close + 1));
  std::vector<std::string> f;
  for (std::string field; rest >> field;) f.push_back(field);
  if (f.size() < 20) return std::nullopt;  // state, ppid, … starttime is the 20th after the name
  p.state = f[0][0];
  p.ppid = std::atoi(f[1].c_str());
  p.group = std::atoi(f[2].c_str());
  p.start = std::stoull(f[19]);
  return p;
}

// The words of a process's command line. nginx writes its own as one text with spaces
// ("nginx: master process /usr/sbin/nginx -p DIR …"), so spaces separate words too.
std::vector<std::string> CommandLineOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::replace(text.begin(), text.end(), '\0', ' ');
  std::istringstream words(text);
  std::vector<std::string> argv;
  for (std::string w; words >> w;) argv.push_back(w);
  return argv;
}

// Every process descending from `root` now, `root` itself excluded.
std::vector<ProcInfo> Descendants(pid_t root) {
  std::vector<ProcInfo> all;
  std::error_code ec;
  for (const auto &e : std::filesystem::directory_iterator("/proc", ec)) {
    std::string name = e.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    if (auto p = ReadProc(std::atoi(name.c_str()))) all.push_back(*p);
  }
  std::set<pid_t> family{root};
  std::vector<ProcInfo> out;
  for (bool grew = true; grew;) {
    grew = false;
    for (const auto &p : all)
      if (family.count(p.ppid) && !family.count(p.pid)) {
        family.insert(p.pid);
        out.push_back(p);
        grew = true;
      }
  }
  return out;
}

bool StillRuns(const ProcInfo &p) {
  auto now = ReadProc(p.pid);
  return now && now->start == p.start && now->state != 'Z' && now->state != 'X';
}

// The room benchmark with PostgreSQL, two instances and nginx, ended while its participants join:
// by Ctrl-C, by SIGTERM, and by SIGKILL (which it cannot catch: its servers learn of it from the
// kernel). None of its servers may outlive it; where it could act, their directories go too.
TEST(RoomBench, EndsTheServersItStartedHoweverItIsEnded) {
  for (int sig : {SIGINT, SIGTERM, SIGKILL}) {
    SCOPED_TRACE(std::string("ended by ") + strsignal(sig));
    test::TempDir dir;
    std::string out_file = dir.path() + "/bench.out";
    pid_t bench = fork();
    ASSERT_GE(bench, 0);
    if (bench == 0) {
      int fd = open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(fd, 1);
      dup2(fd, 2);
      execl(ORVANE_BENCH_BINARY, ORVANE_BENCH_BINARY, "room", "--participants", "4", "--db", "postgresql",
            "--instances", "2", "--join-seconds", "300", static_cast<char *>(nullptr));
      _exit(127);
    }
    Reaper reaper{bench};
    auto output = [&] {
      std::ifstream in(out_file);
      return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    };
    // Running in full: PostgreSQL, both instances, and nginx (started last) with a worker.
    auto ready = [&] {
      int services = 0, postgres = 0;
      std::set<pid_t> nginx_masters;
      auto family = Descendants(bench);
      for (const auto &p : family) {
        if (p.ppid != bench) continue;
        if (p.comm == "orvane-service") ++services;
        if (p.comm == "postgres") ++postgres;
        if (p.comm == "nginx") nginx_masters.insert(p.pid);
      }
      bool worker = false;
      for (const auto &p : family) worker = worker || (p.comm == "nginx" && nginx_masters.count(p.ppid));
      return services == 2 && postgres == 1 && worker;
    };
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    bool up = false;
    while (!(up = ready()) && std::chrono::steady_clock::now() < until) {
      int status = 0;
      if (waitpid(bench, &status, WNOHANG) == bench) {
        reaper.pid = -1;
        std::string out = output();
        if (out.find("not available") != std::string::npos) GTEST_SKIP() << out;
        FAIL() << "the benchmark ended by itself:\n" << out;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(up) << output();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // nginx's other workers too
    std::vector<ProcInfo> started = Descendants(bench);
    std::set<std::string> dirs;  // PostgreSQL's (-D DIR/data), nginx's (-p DIR), the instances' (--data DIR/iN)
    for (const auto &p : started) {
      auto argv = CommandLineOf(p.pid);
      for (size_t i = 0; i + 1 < argv.size(); ++i) {
        if (argv[i] == "-D" || argv[i] == "--data") dirs.insert(std::filesystem::path(argv[i + 1]).parent_path().string());
        if (argv[i] == "-p" && p.comm == "nginx") dirs.insert(argv[i + 1]);
      }
    }
    ASSERT_EQ(dirs.size(), 3u) << "PostgreSQL's, nginx's and the room's directory";

    kill(bench, sig);
    int status = 0;
    auto bench_until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (waitpid(bench, &status, WNOHANG) != bench && std::chrono::steady_clock::now() < bench_until)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(WIFSIGNALED(status)) << "the benchmark ended by itself or not at all:\n" << output();
    reaper.pid = -1;
    EXPECT_EQ(WTERMSIG(status), sig) << "it ends as the signal ends a program";

    std::vector<ProcInfo> left;
    auto left_until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    do {
      left.clear();
      for (const auto &p : started)
        if (StillRuns(p)) left.push_back(p);
      if (!left.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    } while (!left.empty() && std::chrono::steady_clock::now() < left_until);
    for (const auto &p : left) {
      ADD_FAILURE() << p.comm << " (pid " << p.pid << ") outlived the benchmark";
      if (p.group > 1 && p.group != getpgrp()) kill(-p.group, SIGKILL);  // nor what it started
      kill(p.pid, SIGKILL);  // not left behind by this test either
    }
    for (const auto &d : dirs) {
      if (sig != SIGKILL) {
        EXPECT_FALSE(std::filesystem::exists(d)) << d << " was left behind";
      }
      std::error_code ec;
      std::filesystem::remove_all(d, ec);
    }
  }
}

}  // namespace
}  // namespace orvane
