#include "timesync/time_selection.h"

#include <algorithm>

namespace {

int64_t Distance(int64_t a, int64_t b) { return a > b ? a - b : b - a; }

}  // namespace

int ClampSampleRounds(int sampleCount) { return std::clamp(sampleCount, 1, 9); }

std::vector<SurveyEntry> RemoveOffsetOutliers(const std::vector<SurveyEntry>& entries) {
    if (entries.size() < 3) return entries;
    std::vector<int64_t> offsets;
    offsets.reserve(entries.size());
    for (const SurveyEntry& entry : entries) offsets.push_back(entry.offsetUs);
    std::sort(offsets.begin(), offsets.end());
    const int64_t median = offsets[offsets.size() / 2];
    std::vector<SurveyEntry> kept;
    for (const SurveyEntry& entry : entries)
        if (Distance(entry.offsetUs, median) <= kOutlierLimitUs) kept.push_back(entry);
    return kept;
}

std::optional<SurveyEntry> ChooseLowestDelay(const std::vector<SurveyEntry>& entries) {
    if (entries.empty()) return std::nullopt;
    return *std::min_element(entries.begin(), entries.end(),
                             [](const SurveyEntry& a, const SurveyEntry& b) { return a.delayUs < b.delayUs; });
}

CondensedSamples CondenseSamples(std::vector<TimeSample> samples) {
    CondensedSamples result;
    if (samples.empty()) return result;
    std::stable_sort(samples.begin(), samples.end(),
                     [](const TimeSample& a, const TimeSample& b) { return a.delayUs < b.delayUs; });
    samples.resize(std::min<size_t>(samples.size(), 3));
    result.best = samples.front();
    result.kept = samples.size();

    std::vector<int64_t> offsets;
    for (const TimeSample& sample : samples) offsets.push_back(sample.offsetUs);
    std::sort(offsets.begin(), offsets.end());
    result.medianOffsetUs = offsets[offsets.size() / 2];
    for (int64_t offset : offsets) result.spreadUs = std::max(result.spreadUs, Distance(offset, result.medianOffsetUs));
    return result;
}

// The best sample lies within half its round trip of the true offset whatever the path asymmetry,
// and the median lies within the spread of the best sample; so the two add up. (Taking only the larger
// of them understates the error when every path is asymmetric the same way.)
int64_t PathErrorBoundUs(const CondensedSamples& condensed) {
    return condensed.best.delayUs / 2 + condensed.spreadUs;
}

int64_t DirectNtpUncertaintyUs(const CondensedSamples& condensed) {
    return std::max(kMinDirectNtpUncertaintyUs, PathErrorBoundUs(condensed));
}

int64_t ServiceUncertaintyUs(const CondensedSamples& condensed) {
    return condensed.best.sourceUncertaintyUs + PathErrorBoundUs(condensed);
}

int64_t RoundUsToMs(int64_t us) {
    // Integer arithmetic: exact for every value, unlike a round trip through double.
    const int64_t whole = us / 1000;
    const int64_t rest = us % 1000;  // same sign as us
    if (rest >= 500) return whole + 1;
    if (rest <= -500) return whole - 1;
    return whole;
}

int64_t CeilUsToMs(int64_t us) {
    const int64_t whole = us / 1000;
    return (us % 1000 > 0) ? whole + 1 : whole;
}
