#include "log.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace orvane {
namespace {
std::mutex g_log_mutex;
std::atomic<bool> g_quiet{false};
}  // namespace

void SetLogQuiet(bool quiet) { g_quiet = quiet; }

void LogLine(const std::string &text) {
  if (g_quiet) return;
  using namespace std::chrono;
  auto now = system_clock::now();
  std::time_t secs = system_clock::to_time_t(now);
  auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm tm{};
  gmtime_r(&secs, &tm);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
  std::lock_guard<std::mutex> lock(g_log_mutex);
  std::fprintf(stderr, "%s %s\n", stamp, text.c_str());
  std::fflush(stderr);
}

}  // namespace orvane
