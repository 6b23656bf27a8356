// The arithmetic of the standard-time alignment: picking servers, condensing samples, the uncertainty
// and the rounding of what is published. Pure functions: no clock, no network, no shared state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Repeat rounds of one alignment: the sample count clamped to 1…9.
int ClampSampleRounds(int sampleCount);

// A server's survey answer.
struct SurveyEntry {
    size_t server = 0;  // index into the host list
    int64_t offsetUs = 0;
    int64_t delayUs = 0;
};

// Servers further than this from the median survey offset are dropped (exactly this far stays).
constexpr int64_t kOutlierLimitUs = 100000;

// With 3 or more entries, removes those whose offset differs from the median (element n / 2 of the
// sorted offsets) by more than kOutlierLimitUs; the rest keep their order. Fewer entries pass as given.
std::vector<SurveyEntry> RemoveOffsetOutliers(const std::vector<SurveyEntry>& entries);

// The entry with the smallest delay (the first of equals); nothing for an empty list.
std::optional<SurveyEntry> ChooseLowestDelay(const std::vector<SurveyEntry>& entries);

// One measurement of the offset.
struct TimeSample {
    int64_t offsetUs = 0;
    int64_t delayUs = 0;
    int64_t sourceUncertaintyUs = 0;  // the time source's own error bound (service samples only)
    std::wstring label;               // the time source's label (service samples only)
};

// The three samples with the smallest delay, condensed.
struct CondensedSamples {
    int64_t medianOffsetUs = 0;  // element count / 2 of the kept offsets sorted ascending
    int64_t spreadUs = 0;        // largest distance of a kept offset from the median
    TimeSample best;             // the kept sample with the smallest delay
    size_t kept = 0;
};
// `samples` must not be empty.
CondensedSamples CondenseSamples(std::vector<TimeSample> samples);

// Error bound from the paths: best delay / 2 + spread.
int64_t PathErrorBoundUs(const CondensedSamples& condensed);
// Uncertainty of a direct NTP alignment: the path bound, at least 1000 µs.
constexpr int64_t kMinDirectNtpUncertaintyUs = 1000;
int64_t DirectNtpUncertaintyUs(const CondensedSamples& condensed);
// Uncertainty of a service alignment: best source uncertainty + the path bound.
int64_t ServiceUncertaintyUs(const CondensedSamples& condensed);

// µs to ms rounded to nearest, halves away from zero (1500 → 2, −1500 → −2).
int64_t RoundUsToMs(int64_t us);
// µs to ms rounded up (2700 → 3, 3000 → 3).
int64_t CeilUsToMs(int64_t us);
