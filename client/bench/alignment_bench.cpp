// Alignment figures: how close GetStandardTime gets to a known offset, what uncertainty it reports,
// and how long one alignment with 7 samples takes when all, some or none of the NTP servers answer.
//
// The NTP servers are SNTP responders inside this program on 127.0.0.1 (known offsets, round trips
// and path asymmetries). For the fallback to the service clock it uses the endpoint in the
// environment variable ORVANE_TEST_ENDPOINT when set (the reference service in test mode; its clock
// is shifted through /__test/clock when ORVANE_TEST_ENDPOINT is set, see the last section).
#include <winsock2.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "core/app_state.h"
#include "core/config.h"
#include "net/service_api.h"
#include "tests/support/sntp_responder.h"
#include "timesync/standard_time.h"

namespace {

struct Figures {
    std::vector<double> errorsMs, uncertaintiesMs, durationsMs;
    int failures = 0, understated = 0;
};

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}
double Worst(const std::vector<double>& v) { return v.empty() ? 0 : *std::max_element(v.begin(), v.end()); }

void Print(const char* name, const Figures& f) {
    std::printf("%-58s runs %3zu  fail %2d  |err| median %7.3f worst %7.3f ms  uncertainty median %7.3f ms"
                "  understated %d  time median %7.1f worst %7.1f ms\n",
                name, f.durationsMs.size(), f.failures, Median(f.errorsMs), Worst(f.errorsMs),
                Median(f.uncertaintiesMs), f.understated, Median(f.durationsMs), Worst(f.durationsMs));
}

// Runs `runs` alignments through `align` against a true offset `truthUs`.
template <typename Align>
Figures Measure(int runs, int64_t truthUs, Align align) {
    Figures f;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const StandardTimeResult r = align();
        f.durationsMs.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        if (!r.ok) {
            ++f.failures;
            continue;
        }
        const int64_t error = std::llabs(r.offsetUs - truthUs);
        f.errorsMs.push_back(error / 1000.0);
        f.uncertaintiesMs.push_back(r.uncertaintyUs / 1000.0);
        if (error > r.uncertaintyUs) ++f.understated;
    }
    return f;
}

// POSTs a test-mode request to the reference service (clock shift); true on a 2xx answer.
bool ShiftServiceClock(int64_t serviceOffsetUs) {
    const ApiResponse r = PostServiceActionTo(
        ServiceEndpoint().substr(0, ServiceEndpoint().rfind(L'/')) + L"/__test/clock", "",
        "{\"service_offset_us\":" + std::to_string(serviceOffsetUs) + ",\"sntp_offset_us\":0}", "", 5000);
    return r.received && r.httpStatus / 100 == 2;
}

}  // namespace

int wmain() {
    SntpResponder servers[4] = {{"127.0.0.1", 0}, {"127.0.0.1", 0}, {"127.0.0.1", 0}, {"127.0.0.1", 0}};
    for (auto& s : servers)
        if (!s.ok()) {
            std::printf("cannot start the loopback SNTP responders\n");
            return 1;
        }
    auto plan = [&](int i, bool answer, int64_t offsetUs, std::vector<uint32_t> holds, double stampAt) {
        SntpPlan p;
        p.answer = answer;
        p.offsetUs = offsetUs;
        p.holdSequence = std::move(holds);
        p.stampAt = stampAt;
        servers[i].SetPlan(p);
    };
    auto direct = [&](int samples, uint32_t timeoutMs) {
        std::vector<NtpServerAddress> list;
        for (auto& s : servers) list.push_back({"127.0.0.1", s.port()});
        return [list, samples, timeoutMs] {
            std::wstring error;
            return QueryDirectNtpTimeFromServers(list, samples, timeoutMs, error);
        };
    };
    const int runs = 30;
    std::printf("Direct NTP, 7 samples, 250 ms per query, loopback responders\n");

    const int64_t truth = 1234567;
    for (int i = 0; i < 4; ++i) plan(i, true, truth + i * 300, {uint32_t(1 + i)}, 0.5);
    Print("4 answer, symmetric paths, offset 1.234567 s", Measure(runs, truth, direct(7, 250)));

    for (int i = 0; i < 4; ++i) plan(i, true, -truth, {uint32_t(2 + i), uint32_t(6 + i), uint32_t(3 + i)}, 0.0);
    Print("4 answer, all delay on the return path (worst case)", Measure(runs, -truth, direct(7, 250)));

    for (int i = 0; i < 4; ++i) plan(i, true, truth, {uint32_t(1 + i)}, 0.5);
    plan(3, true, truth + 400000, {0}, 0.5);
    Print("4 answer, the fastest 400 ms off (outlier)", Measure(runs, truth, direct(7, 250)));

    for (int i = 0; i < 4; ++i) plan(i, true, truth, {1}, 0.5);
    plan(1, false, 0, {}, 0.5);
    Print("3 answer, 1 silent", Measure(runs, truth, direct(7, 250)));
    Print("3 answer, 1 silent, late re-alignment (3 samples, 120 ms)", Measure(runs, truth, direct(3, 120)));

    for (int i = 0; i < 4; ++i) plan(i, false, 0, {}, 0.5);
    Print("none answers (direct NTP only)", Measure(10, truth, direct(7, 250)));

    // The whole entry point with the fallback to the service clock.
    const char* endpoint = std::getenv("ORVANE_TEST_ENDPOINT");
    if (!endpoint || !*endpoint) {
        std::printf("ORVANE_TEST_ENDPOINT not set: service fallback figures skipped\n");
        return 0;
    }
    std::string narrow(endpoint);
    SetServiceEndpointForTesting(std::wstring(narrow.begin(), narrow.end()));
    SetNtpServersForTesting({"127.0.0.1", "127.0.0.1", "127.0.0.1", "127.0.0.1"}, servers[0].port());
    std::printf("GetStandardTime, 7 samples, budget 1500 ms, no NTP server answering\n");
    for (int64_t shift : {int64_t{0}, int64_t{250000}, int64_t{-3000000}}) {
        if (!ShiftServiceClock(shift)) {
            std::printf("cannot shift the service clock (is it in test mode?)\n");
            return 1;
        }
        char name[96];
        std::snprintf(name, sizeof name, "fallback to the service clock, shifted %+lld us", (long long)shift);
        Print(name, Measure(10, shift, [] {
                  std::wstring error;
                  return GetStandardTime("", 7, error, 1500);
              }));
    }
    ShiftServiceClock(0);
    return 0;
}
