#include "core/clock.h"

#include <windows.h>

int64_t WallClockTicks() {
    FILETIME ft;
    GetSystemTimePreciseAsFileTime(&ft);
    ULARGE_INTEGER value;
    value.LowPart = ft.dwLowDateTime;
    value.HighPart = ft.dwHighDateTime;
    return static_cast<int64_t>(value.QuadPart) - 116444736000000000LL;
}

int64_t WallClockUs() { return WallClockTicks() / 10; }

int64_t WallClockMs() { return WallClockTicks() / 10000; }
