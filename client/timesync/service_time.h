// Reading the service's clock from one answer of the action "time". Pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "timesync/time_selection.h"

// Accepted measured delay of one service round.
constexpr int64_t kServiceMinDelayUs = -2000;
constexpr int64_t kServiceMaxDelayUs = 5000000;

// The fields of one answer; missing or unreadable ones take their documented defaults.
struct ServiceTimeReading {
    int64_t receiveUs = 0;            // T2: server_receive_unix_us, else server_unix_ms × 1000
    int64_t sendUs = 0;               // T3: server_send_unix_us, else server_unix_ms × 1000
    int64_t sourceUncertaintyUs = 0;  // source_uncertainty_ms in µs, rounded up, never negative
    std::wstring label;               // TimeSourceLabel of time_source
};
ServiceTimeReading ReadServiceTimeAnswer(const std::string& body);

// The label shown for a "time_source" code of the service (exact, case-sensitive match).
std::wstring TimeSourceLabel(const std::string& code);
// The label of "system_fallback": the service's own clock, which no time server keeps right.
inline constexpr wchar_t kUncheckedServiceClockLabel[] = L"本机时间（可能不准）";

// ceiling(max(ms, 0) × 1000) µs; a value that is not a number counts as 0, one beyond
// kMaxSourceUncertaintyUs (or infinite) as that bound.
constexpr int64_t kMaxSourceUncertaintyUs = 86400000000LL;  // one day
int64_t SourceUncertaintyUs(double ms);

// The sample of one round sent at `t1Us` and answered at `t4Us` (local µs since 1970), or nothing when
// the timestamps are missing, reversed or give an implausible delay.
std::optional<TimeSample> ServiceTimeSample(const ServiceTimeReading& reading, int64_t t1Us, int64_t t4Us);
