#include "core/worker.h"

std::atomic<bool>& WorkersRefusedForTesting() {
    static std::atomic<bool> refused{false};
    return refused;
}
