#include "password_pool.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <future>

#include "crypto.h"

namespace orvane {

PasswordPool::PasswordPool(int threads, int queue) : queue_limit_(queue < 0 ? 0 : queue) {
  if (threads <= 0) threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { Worker(); });
}

PasswordPool::~PasswordPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    held_ = false;
  }
  wake_.notify_all();
  for (auto &t : threads_) t.join();
}

void PasswordPool::Hold(bool held) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = held;
  }
  wake_.notify_all();
}

int PasswordPool::Queued() {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(queue_.size());
}

void PasswordPool::Worker() {
  // Below the HTTP workers: a hash may wait a moment, a "time" answer should not.
  setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 10);
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || (!held_ && !queue_.empty()); });
    if (queue_.empty()) return;  // stopping with nothing left
    auto job = std::move(queue_.front());
    queue_.pop_front();
    ++running_;
    int peak = peak_running_.load();
    while (running_ > peak && !peak_running_.compare_exchange_weak(peak, running_)) {
    }
    ++jobs_run_;  // counted before the caller can learn the result
    lock.unlock();
    job();
    lock.lock();
    --running_;
  }
}

bool PasswordPool::Run(const std::function<void()> &job) {
  std::packaged_task<void()> task(job);
  std::future<void> done = task.get_future();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    int idle = static_cast<int>(threads_.size()) - running_;
    if (stopping_ || static_cast<int>(queue_.size()) >= queue_limit_ + (held_ ? 0 : std::max(idle, 0))) {
      ++refused_;
      return false;
    }
    queue_.emplace_back([&task] { task(); });
  }
  wake_.notify_one();
  done.get();
  return true;
}

std::optional<std::string> PasswordPool::Hash(const std::string &password) {
  std::string out;
  if (!Run([&] { out = HashPassword(password); })) return std::nullopt;
  return out;
}

std::optional<bool> PasswordPool::Verify(const std::string &hash, const std::string &password) {
  bool ok = false;
  if (!Run([&] { ok = VerifyPassword(hash, password); })) return std::nullopt;
  return ok;
}

std::optional<bool> PasswordPool::SpendEffort(const std::string &password) {
  if (!Run([&] { SpendPasswordEffort(password); })) return std::nullopt;
  return false;
}

}  // namespace orvane
