#include "core/clock.h"

#include <windows.h>

#include <atomic>

namespace {
std::atomic<int64_t> gTestingShiftTicks{0};
}

void ShiftWallClockForTesting(int64_t shiftUs) { gTestingShiftTicks = shiftUs * 10; }

int64_t WallClockTicks() {
    FILETIME ft;
    GetSystemTimePreciseAsFileTime(&ft);
    ULARGE_INTEGER value;
    value.LowPart = ft.dwLowDateTime;
    value.HighPart = ft.dwHighDateTime;
    return static_cast<int64_t>(value.QuadPart) - 116444736000000000LL + gTestingShiftTicks.load(std::memory_order_relaxed);
}

int64_t WallClockUs() { return WallClockTicks() / 10; }

int64_t WallClockMs() { return WallClockTicks() / 10000; }

int64_t MonotonicUs() {
    static const int64_t frequency = [] {
        LARGE_INTEGER value;
        QueryPerformanceFrequency(&value);
        return static_cast<int64_t>(value.QuadPart);
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    // Split the conversion so that the multiplication cannot overflow for any uptime.
    const int64_t ticks = counter.QuadPart;
    return ticks / frequency * 1000000 + ticks % frequency * 1000000 / frequency;
}
