#include "timesync/service_time.h"

#include <cmath>
#include <cstdlib>
#include <limits>

#include "net/json_text.h"

namespace {

// A decimal number at the start of the value (sign, digits, point, exponent), or nothing. Only
// these characters are handed to strtod, so words like "inf"/"nan" and hexadecimal forms do not count.
std::optional<double> LeadingDecimal(const std::string& json, size_t index) {
    size_t end = index;
    while (end < json.size() && end - index < 64) {
        const char c = json[end];
        if ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E')
            ++end;
        else
            break;
    }
    const std::string text = json.substr(index, end - index);
    if (text.empty()) return std::nullopt;
    char* stop = nullptr;
    const double value = std::strtod(text.c_str(), &stop);
    if (stop == text.c_str()) return std::nullopt;
    return value;
}

// milliseconds × 1000, or 0 (unreadable) when that does not fit.
int64_t MillisToMicros(int64_t ms) {
    constexpr int64_t kLimit = std::numeric_limits<int64_t>::max() / 1000;
    if (ms > kLimit || ms < -kLimit) return 0;
    return ms * 1000;
}

}  // namespace

int64_t SourceUncertaintyUs(double ms) {
    if (std::isnan(ms) || ms <= 0) return 0;
    const double us = std::ceil(ms * 1000.0);
    if (!(us < static_cast<double>(kMaxSourceUncertaintyUs))) return kMaxSourceUncertaintyUs;
    return static_cast<int64_t>(us);
}

std::wstring TimeSourceLabel(const std::string& code) {
    if (code == "ntsc_ntp") return L"标准时间";
    if (code == "ntsc_ntp_stale") return L"上次标准时间";
    if (code == "backup_ntp") return L"备用标准时间";
    if (code == "backup_ntp_stale") return L"上次备用时间";
    if (code == "system_fallback") return kUncheckedServiceClockLabel;
    return L"统一时间";
}

ServiceTimeReading ReadServiceTimeAnswer(const std::string& body) {
    ServiceTimeReading reading;
    const int64_t fallbackUs = MillisToMicros(JsonGetInt64(body, "server_unix_ms", 0));
    reading.receiveUs = JsonGetInt64(body, "server_receive_unix_us", fallbackUs);
    reading.sendUs = JsonGetInt64(body, "server_send_unix_us", fallbackUs);
    const JsonValuePosition uncertainty = JsonFindValue(body, "source_uncertainty_ms");
    if (uncertainty.found) {
        if (std::optional<double> ms = LeadingDecimal(body, uncertainty.index))
            reading.sourceUncertaintyUs = SourceUncertaintyUs(*ms);
    }
    reading.label = TimeSourceLabel(JsonGetString(body, "time_source"));
    return reading;
}

std::optional<TimeSample> ServiceTimeSample(const ServiceTimeReading& reading, int64_t t1Us, int64_t t4Us) {
    const int64_t t2 = reading.receiveUs;
    const int64_t t3 = reading.sendUs;
    if (t2 < 1 || t3 < t2) return std::nullopt;
    // The service's numbers are untrusted and may sit near the 64-bit limits: a round whose
    // arithmetic would overflow is as implausible as one with a reversed clock.
    int64_t roundTrip = 0, serverTime = 0, delay = 0, toReceive = 0, fromSend = 0, sum = 0;
    if (__builtin_sub_overflow(t4Us, t1Us, &roundTrip) || __builtin_sub_overflow(t3, t2, &serverTime) ||
        __builtin_sub_overflow(roundTrip, serverTime, &delay))
        return std::nullopt;
    if (delay < kServiceMinDelayUs || delay > kServiceMaxDelayUs) return std::nullopt;
    if (__builtin_sub_overflow(t2, t1Us, &toReceive) || __builtin_sub_overflow(t3, t4Us, &fromSend) ||
        __builtin_add_overflow(toReceive, fromSend, &sum))
        return std::nullopt;
    const int64_t offset = sum / 2;  // truncates toward zero
    TimeSample sample;
    sample.offsetUs = offset;
    sample.delayUs = delay > 0 ? delay : 0;
    sample.sourceUncertaintyUs = reading.sourceUncertaintyUs;
    sample.label = reading.label;
    return sample;
}
