// The standard time: public NTP servers first, the service's own clock as the fallback.
//
// Every successful alignment is published to the application state (PublishTimeAlignment), so the
// unified clock (UnifiedNowMs) and the screens follow it at once. The system clock is never changed.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

struct StandardTimeResult {
    int64_t offsetUs = 0;       // add to the local wall clock to get standard time
    int64_t delayUs = 0;        // smallest round trip among the samples used
    int64_t uncertaintyUs = 0;  // error bound of offsetUs, >= 0
    std::wstring sourceLabel;   // shown to the user
    bool ok = false;
};

// An alignment may be given a deadline on the monotonic clock (MonotonicUs): no query starts after
// it, each query's time-out is cut to the time left, and a result that is ready only after it is
// neither published nor returned. kNoDeadline leaves the alignment to its time-outs alone.
constexpr int64_t kNoDeadline = std::numeric_limits<int64_t>::max();

// Surveys NtpServerTable() on NtpPort() once each, drops servers more than 100 ms away from the median
// (with 3 or more answers), takes `sampleCount` (1…9) samples from the server with the shortest round
// trip and condenses the three best. Publishes on success; on failure writes `errorText` only.
StandardTimeResult QueryDirectNtpTime(int sampleCount, uint32_t timeoutMs, std::wstring& errorText);
// The same against explicit hosts (survey order) and port.
StandardTimeResult QueryDirectNtpTimeFrom(const std::vector<std::string>& hosts, uint16_t port, int sampleCount,
                                          uint32_t timeoutMs, std::wstring& errorText);
// The same with a port per server (loopback responders in tests cannot always share one port).
struct NtpServerAddress {
    std::string host;
    uint16_t port = 123;
};
StandardTimeResult QueryDirectNtpTimeFromServers(const std::vector<NtpServerAddress>& servers, int sampleCount,
                                                 uint32_t timeoutMs, std::wstring& errorText,
                                                 int64_t deadlineUs = kNoDeadline);

// Measures the offset against the service's clock (action "time") in `sampleCount` (1…9) rounds, each
// with `timeoutMs` as the transport time-out. Publishes on success; on failure writes `errorText`.
StandardTimeResult QueryServiceTime(const std::string& token, int sampleCount, std::wstring& errorText,
                                    uint32_t timeoutMs, int64_t deadlineUs = kNoDeadline);

// The alignment entry point: direct NTP (per-query time-out from the budget), then the service clock
// with the budget as its time-out. On failure `errorText` is the service's error text, or the NTP one
// when the service left none. Blocks; call it on worker threads only.
StandardTimeResult GetStandardTime(const std::string& token, int sampleCount, std::wstring& errorText,
                                   uint32_t budgetMs, int64_t deadlineUs = kNoDeadline);

// The time-out of the next query: `timeoutMs`, cut to what is left before the deadline; 0 when the
// deadline has passed (no query may start).
uint32_t TimeoutBeforeDeadline(uint32_t timeoutMs, int64_t deadlineUs, int64_t nowUs);

// The per-query NTP time-out for an alignment budget: 120 ms up to 800 ms, 250 ms above.
uint32_t NtpTimeoutForBudget(uint32_t budgetMs);
