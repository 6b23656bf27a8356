// Waiting a bounded time for a call that itself cannot be bounded (a name lookup, a whole time
// alignment): the call runs on a detached thread of its own, and the caller waits for it at most
// until a given moment. A call that has not finished by then is abandoned: it runs to its end on its
// own thread and its result is destroyed there, unseen.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "core/clock.h"
#include "core/worker.h"

// Runs `work` on a new detached thread and returns its result when it is ready before the monotonic
// clock (MonotonicUs) reaches `deadlineUs`; otherwise (also when no thread could be started, or the
// deadline has already passed and nothing is started) nothing.
template <typename Result>
std::optional<Result> CallBefore(std::function<Result()> work, int64_t deadlineUs) {
    struct Shared {
        std::mutex lock;
        std::condition_variable ready;
        std::optional<Result> result;
    };
    if (MonotonicUs() >= deadlineUs) return std::nullopt;
    auto shared = std::make_shared<Shared>();
    const bool started = StartWorker([shared, work = std::move(work)]() mutable {
        Result result = work();
        std::lock_guard<std::mutex> guard(shared->lock);
        shared->result.emplace(std::move(result));
        shared->ready.notify_all();
    });
    if (!started) return std::nullopt;
    std::unique_lock<std::mutex> guard(shared->lock);
    for (;;) {
        if (shared->result) return std::move(*shared->result);
        const int64_t leftUs = deadlineUs - MonotonicUs();
        if (leftUs <= 0) return std::nullopt;
        shared->ready.wait_for(guard, std::chrono::microseconds(leftUs));
    }
}
