// orvane-service: "serve" runs the service, "admin" administers its data directory.
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "admin.h"
#include "config.h"
#include "log.h"
#include "service.h"
#include "store.h"

namespace {

int Serve(const std::vector<std::string> &args) {
  std::string error;
  auto options = orvane::ParseServeArgs(args, error);
  if (!options) {
    std::fprintf(stderr, "orvane-service serve: %s\n(see orvane-service --help)\n", error.c_str());
    return 2;
  }
  orvane::SetLogQuiet(false);
  // Block the stop signals in every thread; one thread waits for them below.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  try {
    orvane::Service service(*options);
    service.Start();
    std::printf("%s\n", service.ListeningLine().c_str());
    std::fflush(stdout);
    int sig = 0;
    sigwait(&stop_signals, &sig);
    orvane::LogLine(std::string("stopping on ") + (sig == SIGINT ? "SIGINT" : "SIGTERM"));
    service.Stop();
  } catch (const std::exception &e) {
    std::fprintf(stderr, "orvane-service: %s\n", e.what());
    return 1;
  }
  return 0;
}

int Admin(const std::vector<std::string> &args) {
  const char *usage = "usage: orvane-service admin (--data DIR | --db postgresql://… | both) SUBCOMMAND [ARGS...]\n"
                      "       orvane-service admin --help\n";
  std::string dir, db_url;
  size_t i = 0;
  for (; i < args.size(); ++i) {
    if (args[i] == "--help" || args[i] == "-h" || args[i] == "help") {
      std::fputs(usage, stdout);
      std::fputs(orvane::AdminHelpText().c_str(), stdout);
      return 0;
    }
    if ((args[i] == "--data" || args[i] == "--db") && i + 1 < args.size()) {
      (args[i] == "--data" ? dir : db_url) = args[i + 1];
      ++i;
      continue;
    }
    break;
  }
  if ((dir.empty() && db_url.empty()) || i >= args.size()) {
    std::fputs(usage, stderr);
    return 2;
  }
  if (!db_url.empty() && !orvane::Db::IsPostgresUrl(db_url)) {
    std::fprintf(stderr, "orvane-service admin: --db expects a postgresql://… address\n");
    return 2;
  }
  struct stat st{};
  if (!dir.empty() && (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))) {
    std::fprintf(stderr, "orvane-service admin: data directory %s does not exist (start the service once with "
                         "serve --data %s, or create it)\n", dir.c_str(), dir.c_str());
    return 1;
  }
  std::vector<std::string> rest(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
  try {
    orvane::InitCrypto();
    auto db = orvane::Db::Open(db_url.empty() ? dir + "/orvane.db" : db_url);
    // With a shared database the key is the one stored there; a key file is only read or made
    // when a data directory is given.
    orvane::SigningKey key = db->Shared()
                                 ? orvane::LoadOrCreateSharedSigningKey(
                                       *db, dir.empty() ? std::string() : dir + "/sign-ed25519.key")
                                 : orvane::SigningKey::LoadOrCreate(dir + "/sign-ed25519.key");
    orvane::ServiceClock clock;
    orvane::AdminEnv env{*db, key, clock, orvane::RuntimeConfig{}, &std::cin};
    orvane::AdminResult r = orvane::RunAdmin(env, rest);
    std::fprintf(r.ok ? stdout : stderr, "%s\n", r.output.c_str());
    return r.ok ? 0 : 1;
  } catch (const std::exception &e) {
    std::fprintf(stderr, "orvane-service admin: %s\n", e.what());
    return 1;
  }
}

}  // namespace

int main(int argc, char **argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    std::fputs(orvane::UsageText().c_str(), args.empty() ? stderr : stdout);
    return args.empty() ? 2 : 0;
  }
  std::vector<std::string> rest(args.begin() + 1, args.end());
  if (args[0] == "serve") return Serve(rest);
  if (args[0] == "admin") return Admin(rest);
  std::fprintf(stderr, "orvane-service: unknown command '%s' (see orvane-service --help)\n", args[0].c_str());
  return 2;
}
