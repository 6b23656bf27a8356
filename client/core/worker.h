// Workers: one detached thread per job, started from a heap copy of its inputs and never joined. A
// job that gets no thread is destroyed unrun (with it any secret it carries, which its record
// wipes); the caller then takes back what it set for the job and tells the user.
#pragma once

#include <windows.h>
#include <process.h>

#include <atomic>
#include <exception>
#include <memory>
#include <type_traits>
#include <utility>

// While set, StartWorker starts nothing, as when the system has no thread left to give. Tests use it
// to reach the path that otherwise only an exhausted machine takes.
std::atomic<bool>& WorkersRefusedForTesting();

// Runs `work` on a new thread that nobody waits for; false (and `work` destroyed unrun) when no thread
// could be started. The thread's handle is closed at once. (A std::thread must be detached after it
// has started, and the thread library may refuse that when the thread has already ended; the refusal
// is an exception that ends the program, since the still-joinable thread object is then destroyed.)
template <typename Work>
bool StartWorker(Work&& work) {
    using Job = std::decay_t<Work>;
    std::unique_ptr<Job> job;
    try {
        job = std::make_unique<Job>(std::forward<Work>(work));
    } catch (const std::exception&) {
        return false;
    }
    if (WorkersRefusedForTesting()) return false;
    unsigned (*entry)(void*) = [](void* parameter) -> unsigned {
        std::unique_ptr<Job> owned(static_cast<Job*>(parameter));
        (*owned)();
        return 0;
    };
    const uintptr_t thread = _beginthreadex(nullptr, 0, entry, job.get(), 0, nullptr);
    if (thread == 0) return false;
    job.release();  // the thread owns it now
    CloseHandle(reinterpret_cast<HANDLE>(thread));
    return true;
}
