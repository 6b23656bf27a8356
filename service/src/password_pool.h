// Password hashing on a few threads of its own. Argon2id takes about 64 MiB and most of a core for
// a tenth of a second; run on the HTTP workers, a burst of logins took every worker, gigabytes of
// memory and every core, and "time" answers came seconds late. Here at most one hash per core
// runs at a time, at a lower scheduling priority than the HTTP workers, behind a short queue;
// beyond it the caller is told at once that the service is busy.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace orvane {

class PasswordPool {
 public:
  // `threads` hashing threads (0: one per core), `queue` jobs waiting beyond the running ones.
  PasswordPool(int threads, int queue);
  ~PasswordPool();
  PasswordPool(const PasswordPool &) = delete;
  PasswordPool &operator=(const PasswordPool &) = delete;

  // Each returns nothing when the pool and its queue are full (the caller answers "busy").
  std::optional<std::string> Hash(const std::string &password);
  std::optional<bool> Verify(const std::string &hash, const std::string &password);
  // The effort of one verification, for logins whose account does not exist.
  std::optional<bool> SpendEffort(const std::string &password);

  int Threads() const { return static_cast<int>(threads_.size()); }
  int QueueLimit() const { return queue_limit_; }
  // Diagnostics: most hashes ever running at once, jobs started, jobs refused as busy.
  int PeakRunning() const { return peak_running_.load(); }
  int64_t JobsRun() const { return jobs_run_.load(); }
  int64_t Refused() const { return refused_.load(); }
  int Queued();
  // Test hook: while held, hashing threads take no new job (so a test can fill the queue).
  void Hold(bool held);

 private:
  bool Run(const std::function<void()> &job);
  void Worker();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> queue_;
  std::vector<std::thread> threads_;
  int queue_limit_;
  int running_ = 0;
  bool held_ = false;
  bool stopping_ = false;
  std::atomic<int> peak_running_{0};
  std::atomic<int64_t> jobs_run_{0};
  std::atomic<int64_t> refused_{0};
};

}  // namespace orvane
