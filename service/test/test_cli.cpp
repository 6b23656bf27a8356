// The program as people run it: help text, argument errors, serve until SIGTERM, admin.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "test_support.h"

namespace orvane {
namespace {

struct ProcessRun {
  int exit_code = -1;
  std::string out;
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
  struct Reaper {  // never leave the child running when an assertion ends the test early
    pid_t pid;
    ~Reaper() {
      if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
      }
    }
  } reaper{pid};
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
    for (const char *word : {"account-create", "developer-create", "credits-set", "blacklist-import", "outbox", "public-key"})
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

}  // namespace
}  // namespace orvane
