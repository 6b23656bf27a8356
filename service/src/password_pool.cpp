#include "password_pool.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <future>

#include "crypto.h"

namespace orvane {

int PasswordPool::DefaultThreads() {
  // Hashing on every core left a "time" request's TLS handshake waiting for a core to come free; with
  // one core kept from hashing it finds one at once. (A single core is shared all the same.)
  int cores = static_cast<int>(std::thread::hardware_concurrency());
  return std::max(1, cores - 1);
}

PasswordPool::Slot::~Slot() {
  if (!pool_) return;
  std::lock_guard<std::mutex> lock(pool_->mutex_);
  --pool_->reserved_;
  pool_->PassPlaces();
}

PasswordPool::PasswordPool(int threads, int queue, int line, int patience_ms)
    : queue_limit_(queue < 0 ? 0 : queue), line_limit_(std::max(line, 0)),
      patience_(std::max(patience_ms, 0)) {
  if (threads <= 0) threads = DefaultThreads();
  for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { Worker(); });
}

PasswordPool::~PasswordPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    held_ = false;
    for (Waiter *w : line_) w->wake.notify_one();
  }
  wake_.notify_all();
  for (auto &t : threads_) t.join();
}

void PasswordPool::Hold(bool held) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = held;
    PassPlaces();
  }
  wake_.notify_all();
}

int PasswordPool::InLine() {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(line_.size());
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
    PassPlaces();
  }
}

bool PasswordPool::HasPlace() const {
  int idle = static_cast<int>(threads_.size()) - running_;
  int waiting = static_cast<int>(queue_.size()) + reserved_;
  return waiting < queue_limit_ + (held_ ? 0 : std::max(idle, 0));
}

void PasswordPool::PassPlaces() {
  while (!line_.empty() && !stopping_ && HasPlace()) {
    Waiter *next = line_.front();
    line_.pop_front();
    next->granted = true;
    ++reserved_;
    next->wake.notify_one();
  }
}

std::optional<PasswordPool::Slot> PasswordPool::Reserve() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!stopping_ && line_.empty() && HasPlace()) {
    ++reserved_;
    return Slot(this);
  }
  // No place now. Waiting a moment costs this caller's worker thread and no core; a caller that is
  // answered "busy" at once comes straight back, and every return costs a TLS handshake and the
  // refusing. Those who find the line full are refused at once: the worker threads stay for others.
  if (stopping_ || static_cast<int>(line_.size()) >= line_limit_ || patience_.count() == 0) {
    ++refused_;
    return std::nullopt;
  }
  Waiter me;
  line_.push_back(&me);
  me.wake.wait_for(lock, patience_, [&] { return me.granted || stopping_; });
  if (me.granted) return Slot(this);  // PassPlaces counted the place as reserved
  line_.erase(std::find(line_.begin(), line_.end(), &me));
  ++refused_;
  return std::nullopt;
}

bool PasswordPool::Run(const std::function<void()> &job) {
  std::optional<Slot> slot = Reserve();
  return slot && Run(std::move(*slot), job);
}

bool PasswordPool::Run(Slot slot, const std::function<void()> &job) {
  std::packaged_task<void()> task(job);
  std::future<void> done = task.get_future();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // The place turns into the queued job (the hashing threads may be gone only when stopping).
    --reserved_;
    slot.pool_ = nullptr;
    if (stopping_) return false;
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

std::optional<bool> PasswordPool::Verify(Slot slot, const std::string &hash, const std::string &password) {
  bool ok = false;
  if (!Run(std::move(slot), [&] { ok = VerifyPassword(hash, password); })) return std::nullopt;
  return ok;
}

std::optional<bool> PasswordPool::SpendEffort(const std::string &password) {
  if (!Run([&] { SpendPasswordEffort(password); })) return std::nullopt;
  return false;
}

std::optional<bool> PasswordPool::SpendEffort(Slot slot, const std::string &password) {
  if (!Run(std::move(slot), [&] { SpendPasswordEffort(password); })) return std::nullopt;
  return false;
}

}  // namespace orvane
