// The local wall clock, read with sub-microsecond precision. The system clock is never changed.
#pragma once

#include <cstdint>

// 100-ns ticks since 1970-01-01 00:00 UTC.
int64_t WallClockTicks();
// Microseconds since 1970 (ticks / 10).
int64_t WallClockUs();
// Milliseconds since 1970 (ticks / 10000).
int64_t WallClockMs();

// A monotonic clock in microseconds (the performance counter): for deadlines and durations, never
// for the time of day. Its zero is arbitrary.
int64_t MonotonicUs();
