// Workers: one detached thread per job, started from a heap copy of its inputs and never joined. A
// job that gets no thread is destroyed unrun (with it any secret it carries, which its record
// wipes); the caller then takes back what it set for the job and tells the user.
#pragma once

#include <atomic>
#include <exception>
#include <thread>
#include <utility>

// While set, StartWorker starts nothing, as when the system has no thread left to give. Tests use it
// to reach the path that otherwise only an exhausted machine takes.
std::atomic<bool>& WorkersRefusedForTesting();

// Starts `job` on a new detached thread; false when no thread could be started.
template <typename Job>
bool StartWorker(Job&& job) {
    if (WorkersRefusedForTesting()) return false;
    try {
        std::thread(std::forward<Job>(job)).detach();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}
