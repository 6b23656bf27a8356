#include "timesync/standard_time.h"

#include <windows.h>

#include "core/app_state.h"
#include "core/clock.h"
#include "core/config.h"
#include "net/service_api.h"
#include "timesync/service_time.h"
#include "timesync/sntp.h"
#include "timesync/time_selection.h"

namespace {

constexpr wchar_t kDirectNtpLabel[] = L"本机直连标准时间";
constexpr wchar_t kNoDirectNtpText[] = L"本机网络暂时无法直接连接标准时间";
constexpr wchar_t kNoPlausibleServiceTimeText[] = L"暂时无法取得准确时间";

constexpr DWORD kNtpRepeatPauseMs = 15;
constexpr DWORD kServiceRepeatPauseMs = 25;

constexpr wchar_t kDeadlinePassedText[] = L"对准时间超出了点击前的剩余时间";

StandardTimeResult PublishCondensed(const CondensedSamples& condensed, int64_t uncertaintyUs, std::wstring label,
                                    int64_t deadlineUs, std::wstring& errorText) {
    // A result that comes too late is of no use to the one waiting for it, and publishing it would
    // move the clock under whoever has already gone on without it.
    if (MonotonicUs() >= deadlineUs) {
        errorText = kDeadlinePassedText;
        return {};
    }
    PublishTimeAlignment(RoundUsToMs(condensed.medianOffsetUs), label, CeilUsToMs(uncertaintyUs));
    StandardTimeResult result;
    result.offsetUs = condensed.medianOffsetUs;
    result.delayUs = condensed.best.delayUs;
    result.uncertaintyUs = uncertaintyUs;
    result.sourceLabel = std::move(label);
    result.ok = true;
    return result;
}

}  // namespace

uint32_t NtpTimeoutForBudget(uint32_t budgetMs) { return budgetMs <= 800 ? 120 : 250; }

uint32_t TimeoutBeforeDeadline(uint32_t timeoutMs, int64_t deadlineUs, int64_t nowUs) {
    if (deadlineUs == kNoDeadline) return timeoutMs;
    if (nowUs >= deadlineUs) return 0;
    const int64_t leftMs = (deadlineUs - nowUs) / 1000;
    if (leftMs <= 0) return 0;
    return leftMs < int64_t{timeoutMs} ? static_cast<uint32_t>(leftMs) : timeoutMs;
}

StandardTimeResult QueryDirectNtpTimeFromServers(const std::vector<NtpServerAddress>& servers, int sampleCount,
                                                 uint32_t timeoutMs, std::wstring& errorText, int64_t deadlineUs) {
    std::vector<SurveyEntry> survey;
    for (size_t i = 0; i < servers.size(); ++i) {
        const uint32_t timeout = TimeoutBeforeDeadline(timeoutMs, deadlineUs, MonotonicUs());
        if (timeout == 0) break;
        const SntpSample sample = SntpQuery(servers[i].host, timeout, servers[i].port);
        if (sample.ok) survey.push_back({i, sample.offsetUs, sample.delayUs});
    }
    const std::optional<SurveyEntry> chosen = ChooseLowestDelay(RemoveOffsetOutliers(survey));
    if (!chosen) {
        errorText = kNoDirectNtpText;
        return {};
    }

    std::vector<TimeSample> samples{{chosen->offsetUs, chosen->delayUs, 0, {}}};
    const int rounds = ClampSampleRounds(sampleCount);
    for (int round = 1; round < rounds; ++round) {
        if (round > 1) Sleep(kNtpRepeatPauseMs);
        const uint32_t timeout = TimeoutBeforeDeadline(timeoutMs, deadlineUs, MonotonicUs());
        if (timeout == 0) break;
        const NtpServerAddress& server = servers[chosen->server];
        const SntpSample sample = SntpQuery(server.host, timeout, server.port);
        if (sample.ok) samples.push_back({sample.offsetUs, sample.delayUs, 0, {}});
    }
    const CondensedSamples condensed = CondenseSamples(std::move(samples));
    return PublishCondensed(condensed, DirectNtpUncertaintyUs(condensed), kDirectNtpLabel, deadlineUs, errorText);
}

StandardTimeResult QueryDirectNtpTimeFrom(const std::vector<std::string>& hosts, uint16_t port, int sampleCount,
                                          uint32_t timeoutMs, std::wstring& errorText) {
    std::vector<NtpServerAddress> servers;
    for (const std::string& host : hosts) servers.push_back({host, port});
    return QueryDirectNtpTimeFromServers(servers, sampleCount, timeoutMs, errorText);
}

StandardTimeResult QueryDirectNtpTime(int sampleCount, uint32_t timeoutMs, std::wstring& errorText) {
    const std::array<std::string, 4> table = NtpServerTable();
    return QueryDirectNtpTimeFrom(std::vector<std::string>(table.begin(), table.end()), NtpPort(), sampleCount,
                                  timeoutMs, errorText);
}

StandardTimeResult QueryServiceTime(const std::string& token, int sampleCount, std::wstring& errorText,
                                    uint32_t timeoutMs, int64_t deadlineUs) {
    std::vector<TimeSample> samples;
    const int rounds = ClampSampleRounds(sampleCount);
    for (int round = 0; round < rounds; ++round) {
        const uint32_t timeout = TimeoutBeforeDeadline(timeoutMs, deadlineUs, MonotonicUs());
        if (timeout == 0) break;
        const int64_t t1 = WallClockUs();
        const ApiResponse response = PostServiceAction("time", "{}", token, timeout);
        const int64_t t4 = WallClockUs();
        std::wstring message;
        if (!EvaluateApiResponse(response, message)) {
            errorText = message;
            continue;
        }
        std::optional<TimeSample> sample = ServiceTimeSample(ReadServiceTimeAnswer(response.body), t1, t4);
        if (!sample) continue;
        samples.push_back(std::move(*sample));
        if (round + 1 < rounds) Sleep(kServiceRepeatPauseMs);
    }
    if (samples.empty()) {
        if (errorText.empty()) errorText = kNoPlausibleServiceTimeText;
        return {};
    }
    const CondensedSamples condensed = CondenseSamples(std::move(samples));
    return PublishCondensed(condensed, ServiceUncertaintyUs(condensed), condensed.best.label, deadlineUs, errorText);
}

StandardTimeResult GetStandardTime(const std::string& token, int sampleCount, std::wstring& errorText,
                                   uint32_t budgetMs, int64_t deadlineUs) {
    std::wstring ntpError;
    const std::array<std::string, 4> table = NtpServerTable();
    std::vector<NtpServerAddress> servers;
    for (const std::string& host : table) servers.push_back({host, NtpPort()});
    StandardTimeResult direct =
        QueryDirectNtpTimeFromServers(servers, sampleCount, NtpTimeoutForBudget(budgetMs), ntpError, deadlineUs);
    if (direct.ok) return direct;
    std::wstring serviceError;
    StandardTimeResult service = QueryServiceTime(token, sampleCount, serviceError, budgetMs, deadlineUs);
    if (service.ok) return service;
    errorText = serviceError.empty() ? ntpError : serviceError;
    return service;
}
