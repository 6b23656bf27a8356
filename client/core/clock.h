// The local wall clock, read with sub-microsecond precision. The system clock is never changed.
#pragma once

#include <cstdint>

// 100-ns ticks since 1970-01-01 00:00 UTC.
int64_t WallClockTicks();
// Microseconds since 1970 (ticks / 10).
int64_t WallClockUs();
// Milliseconds since 1970 (ticks / 10000).
int64_t WallClockMs();

// Test programs set the wall clock as Windows does when it syncs (a step of `shiftUs`), without
// touching the machine's clock: every reading above moves by it. 0 undoes it.
void ShiftWallClockForTesting(int64_t shiftUs);

// A monotonic clock in microseconds (the performance counter): for deadlines and durations, never
// for the time of day. Its zero is arbitrary.
int64_t MonotonicUs();
