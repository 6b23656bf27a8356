// Password hashing on a few threads of its own. Argon2id takes about 64 MiB and most of a core for
// a tenth of a second; run on the HTTP workers, a burst of logins took every worker, gigabytes of
// memory and every core, and "time" answers came seconds late. Here fewer hashes run at once than
// there are cores (one core stays for answering), at a lower scheduling priority than the HTTP
// workers, behind a short queue.
//
// A login takes its place in the pool before anything else (Reserve). When there is none, it waits
// for one in line for a moment, holding its worker thread but no core, with a bounded number of
// others; a login that finds the line full, or is still in it when the moment is over, is answered
// "busy". Measured on 2 cores under 64 connections logging in without pause: answered "busy" at once,
// each came straight back on a new connection, some 400 a second, and their TLS handshakes and
// refusals (two commits each while the login guard came first) took half a core at the workers'
// priority, at times 60 runnable threads at once; a "time" request's handshake waited behind them for
// a core (p99 over 100 ms). In line, each of those connections costs about one handshake a second.
#pragma once
#include <atomic>
#include <chrono>
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
  // A place for one job in the pool, held from Reserve until the job runs or the holder lets go.
  class Slot {
   public:
    Slot(Slot &&other) noexcept : pool_(other.pool_) { other.pool_ = nullptr; }
    Slot &operator=(Slot &&) = delete;
    ~Slot();

   private:
    friend class PasswordPool;
    explicit Slot(PasswordPool *pool) : pool_(pool) {}
    PasswordPool *pool_;
  };

  // One hashing thread fewer than there are cores (at least one).
  static int DefaultThreads();

  // `threads` hashing threads (0: DefaultThreads()), `queue` jobs waiting beyond the running ones;
  // beyond those, up to `line` callers wait at most `patience_ms` for a place.
  PasswordPool(int threads, int queue, int line = 0, int patience_ms = 0);
  ~PasswordPool();
  PasswordPool(const PasswordPool &) = delete;
  PasswordPool &operator=(const PasswordPool &) = delete;

  // A place for one job, or nothing when the pool, its queue and the line are full or the wait in
  // line ran out (the caller answers "busy"). Places held count as queued jobs.
  std::optional<Slot> Reserve();

  // Each returns nothing when the pool and its queue are full (the caller answers "busy"); given a
  // slot, only when the service is stopping.
  std::optional<std::string> Hash(const std::string &password);
  std::optional<bool> Verify(const std::string &hash, const std::string &password);
  std::optional<bool> Verify(Slot slot, const std::string &hash, const std::string &password);
  // The effort of one verification, for logins whose account does not exist.
  std::optional<bool> SpendEffort(const std::string &password);
  std::optional<bool> SpendEffort(Slot slot, const std::string &password);

  int Threads() const { return static_cast<int>(threads_.size()); }
  int QueueLimit() const { return queue_limit_; }
  // Callers waiting in line for a place now.
  int InLine();
  // Diagnostics: most hashes ever running at once, jobs started, jobs (or places) refused as busy.
  int PeakRunning() const { return peak_running_.load(); }
  int64_t JobsRun() const { return jobs_run_.load(); }
  int64_t Refused() const { return refused_.load(); }
  int Queued();
  // Test hook: while held, hashing threads take no new job (so a test can fill the queue).
  void Hold(bool held);

 private:
  struct Waiter {
    std::condition_variable wake;
    bool granted = false;
  };
  bool Run(const std::function<void()> &job);
  bool Run(Slot slot, const std::function<void()> &job);
  void Worker();
  // Caller holds mutex_.
  bool HasPlace() const;
  void PassPlaces();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> queue_;
  std::vector<std::thread> threads_;
  int queue_limit_;
  const int line_limit_;
  const std::chrono::milliseconds patience_;
  std::deque<Waiter *> line_;  // in order of arrival
  int running_ = 0;
  int reserved_ = 0;  // places held by callers whose job is not queued yet
  bool held_ = false;
  bool stopping_ = false;
  std::atomic<int> peak_running_{0};
  std::atomic<int64_t> jobs_run_{0};
  std::atomic<int64_t> refused_{0};
};

}  // namespace orvane
