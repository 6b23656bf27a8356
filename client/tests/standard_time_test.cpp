// Choosing the standard time: the selection maths directly, then whole alignments against loopback
// SNTP responders in this program and against the reference service with its clock shifted.
#include <winsock2.h>

#include <gtest/gtest.h>

#include "core/app_state.h"
#include "core/config.h"
#include "net/json_text.h"
#include "support/service_control.h"
#include "support/sntp_responder.h"
#include "support/test_support.h"
#include "timesync/service_time.h"
#include "timesync/standard_time.h"
#include "timesync/time_selection.h"

namespace {

// ---- pure selection maths ------------------------------------------------------------------------

std::vector<SurveyEntry> Survey(std::initializer_list<std::pair<int64_t, int64_t>> offsetDelay) {
    std::vector<SurveyEntry> list;
    for (const auto& [offset, delay] : offsetDelay) list.push_back({list.size(), offset, delay});
    return list;
}

std::vector<size_t> Servers(const std::vector<SurveyEntry>& list) {
    std::vector<size_t> out;
    for (const SurveyEntry& e : list) out.push_back(e.server);
    return out;
}

TEST(Selection, OutlierRemovalAroundTheMedian) {
    const struct {
        const char* name;
        std::vector<SurveyEntry> survey;
        std::vector<size_t> kept;
    } cases[] = {
        {"0, 10, 20, 500000: median 20, the far one goes", Survey({{0, 1}, {10, 1}, {20, 1}, {500000, 1}}), {0, 1, 2}},
        {"0, 100000, 250000: exactly 100 ms stays", Survey({{0, 1}, {100000, 1}, {250000, 1}}), {0, 1}},
        {"100001 away goes", Survey({{0, 1}, {100001, 1}, {100001, 1}}), {1, 2}},
        {"four: the median is the third smallest", Survey({{0, 1}, {0, 1}, {200000, 1}, {200000, 1}}), {2, 3}},
        {"order of the survey is kept", Survey({{500, 1}, {-900000, 1}, {100, 1}, {300, 1}}), {0, 2, 3}},
        {"two far apart: both stay", Survey({{0, 1}, {10000000, 1}}), {0, 1}},
        {"one", Survey({{77, 1}}), {0}},
        {"none", {}, {}},
    };
    for (const auto& c : cases) EXPECT_EQ(Servers(RemoveOffsetOutliers(c.survey)), c.kept) << c.name;
}

TEST(Selection, LowestDelayWins) {
    EXPECT_EQ(ChooseLowestDelay(Survey({{0, 900}, {0, 300}, {0, 500}}))->server, 1u);
    EXPECT_EQ(ChooseLowestDelay(Survey({{0, 300}, {0, 300}}))->server, 0u);  // the first of equals
    EXPECT_FALSE(ChooseLowestDelay({}).has_value());
}

TEST(Selection, SampleCountClamps) {
    const struct { int in, out; } cases[] = {{-5, 1}, {0, 1}, {1, 1}, {3, 3}, {7, 7}, {9, 9}, {10, 9}, {20, 9}};
    for (const auto& c : cases) EXPECT_EQ(ClampSampleRounds(c.in), c.out) << c.in;
}

std::vector<TimeSample> Samples(std::initializer_list<std::pair<int64_t, int64_t>> offsetDelay) {
    std::vector<TimeSample> list;
    for (const auto& [offset, delay] : offsetDelay) list.push_back({offset, delay, 0, {}});
    return list;
}

TEST(Selection, CondensingKeepsTheThreeFastestAndTakesTheirMedian) {
    const struct {
        const char* name;
        std::vector<TimeSample> samples;
        int64_t median, spread, bestDelay;
        size_t kept;
    } cases[] = {
        {"delays 900, 400, 700, 300 keep 300, 400, 700",
         Samples({{9000, 900}, {1500, 400}, {4200, 700}, {1200, 300}}), 1500, 2700, 300, 3},
        {"two: the larger offset is the median", Samples({{100, 50}, {-100, 60}}), 100, 200, 50, 2},
        {"one", Samples({{-1500, 800}}), -1500, 0, 800, 1},
        {"slow outlier sample dropped", Samples({{0, 10}, {10, 11}, {20, 12}, {5000000, 13}}), 10, 10, 10, 3},
    };
    for (const auto& c : cases) {
        const CondensedSamples r = CondenseSamples(c.samples);
        EXPECT_EQ(r.medianOffsetUs, c.median) << c.name;
        EXPECT_EQ(r.spreadUs, c.spread) << c.name;
        EXPECT_EQ(r.best.delayUs, c.bestDelay) << c.name;
        EXPECT_EQ(r.kept, c.kept) << c.name;
    }
}

TEST(Selection, UncertaintyOfDirectAndServiceAlignments) {
    // Offsets 1200, 1500, 4200, best delay 400: median 1500, spread 2700, half the best delay 200.
    CondensedSamples wide = CondenseSamples(Samples({{1200, 400}, {1500, 500}, {4200, 600}}));
    EXPECT_EQ(DirectNtpUncertaintyUs(wide), 2900);
    EXPECT_EQ(CeilUsToMs(DirectNtpUncertaintyUs(wide)), 3);
    EXPECT_EQ(RoundUsToMs(wide.medianOffsetUs), 2);
    // Small spread and delay: the 1 ms floor.
    CondensedSamples tight = CondenseSamples(Samples({{0, 300}, {100, 400}, {50, 700}}));
    EXPECT_EQ(DirectNtpUncertaintyUs(tight), 1000);
    // Service: source 2000 + best delay 8000 / 2 + spread 1000.
    std::vector<TimeSample> service = {{0, 8000, 2000, L"标准时间"}, {1000, 9000, 0, {}}, {-1000, 9500, 0, {}}};
    CondensedSamples s = CondenseSamples(service);
    EXPECT_EQ(ServiceUncertaintyUs(s), 7000);
    EXPECT_EQ(s.best.label, L"标准时间");
    // No floor for the service.
    CondensedSamples quick = CondenseSamples({{5, 100, 0, {}}});
    EXPECT_EQ(ServiceUncertaintyUs(quick), 50);
}

// The path bound must cover the worst case: every sample with all of its delay on one path.
TEST(Selection, UncertaintyCoversOneSidedPaths) {
    const int64_t truth = 40000;
    for (int side : {-1, 1}) {
        std::vector<TimeSample> samples;
        for (int64_t delay : {10000, 12000, 14000, 16000, 18000}) samples.push_back({truth + side * delay / 2, delay, 0, {}});
        const CondensedSamples c = CondenseSamples(samples);
        EXPECT_LE(std::abs(c.medianOffsetUs - truth), DirectNtpUncertaintyUs(c)) << side;
        EXPECT_LE(std::abs(c.medianOffsetUs - truth), ServiceUncertaintyUs(c)) << side;
    }
}

TEST(Selection, PublishedRounding) {
    const struct { int64_t us, rounded, ceiling; } cases[] = {
        {1500, 2, 2},   {-1500, -2, -1}, {1499, 1, 2},  {-1499, -1, -1}, {2500, 3, 3},   {2700, 3, 3},
        {3000, 3, 3},   {3001, 3, 4},    {0, 0, 0},     {1, 0, 1},       {499, 0, 1},    {-500, -1, 0},
        {6000, 6, 6},   {999, 1, 1},     {-999, -1, 0}, {1000000000001, 1000000000, 1000000001},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(RoundUsToMs(c.us), c.rounded) << c.us;
        EXPECT_EQ(CeilUsToMs(c.us), c.ceiling) << c.us;
    }
}

TEST(TimeSource, LabelsAreExactMatches) {
    const struct { const char* code; const wchar_t* label; } cases[] = {
        {"ntsc_ntp", L"标准时间"},
        {"ntsc_ntp_stale", L"上次标准时间"},
        {"backup_ntp", L"备用标准时间"},
        {"backup_ntp_stale", L"上次备用时间"},
        {"system_fallback", L"本机时间（可能不准）"},
        {"NTSC_NTP", L"统一时间"},
        {"ntsc_ntp ", L"统一时间"},
        {" backup_ntp", L"统一时间"},
        {"", L"统一时间"},
        {"something_else", L"统一时间"},
    };
    for (const auto& c : cases) EXPECT_EQ(TimeSourceLabel(c.code), c.label) << c.code;
}

TEST(TimeSource, NtpTimeoutFromBudget) {
    const struct { uint32_t budget, timeout; } cases[] = {{0, 120}, {800, 120}, {801, 250}, {1500, 250}};
    for (const auto& c : cases) EXPECT_EQ(NtpTimeoutForBudget(c.budget), c.timeout) << c.budget;
}

// ---- the service's answer ------------------------------------------------------------------------

TEST(ServiceAnswer, FieldsAndDefaults) {
    const struct {
        const char* name;
        std::string body;
        int64_t receive, send, sourceUs;
        const wchar_t* label;
    } cases[] = {
        {"only server_unix_ms", R"({"ok":true,"server_unix_ms":1700000000000})", 1700000000000000,
         1700000000000000, 0, L"统一时间"},
        {"all fields",
         R"({"ok":true,"server_unix_ms":1,"server_receive_unix_us":1700000000000100,"server_send_unix_us":1700000000000300,"source_uncertainty_ms":0.3,"time_source":"ntsc_ntp"})",
         1700000000000100, 1700000000000300, 300, L"标准时间"},
        {"negative uncertainty", R"({"source_uncertainty_ms":-5,"time_source":"backup_ntp_stale"})", 0, 0, 0,
         L"上次备用时间"},
        {"fraction rounds up", R"({"source_uncertainty_ms":1.0004})", 0, 0, 1001, L"统一时间"},
        {"exponent", R"({"source_uncertainty_ms":2.5e1})", 0, 0, 25000, L"统一时间"},
        {"not a number", R"({"source_uncertainty_ms":"x"})", 0, 0, 0, L"统一时间"},
        {"words are not numbers", R"({"source_uncertainty_ms":nan})", 0, 0, 0, L"统一时间"},
        {"hexadecimal is not decimal", R"({"source_uncertainty_ms":0x10})", 0, 0, 0, L"统一时间"},
        {"absurdly large is capped", R"({"source_uncertainty_ms":1e400})", 0, 0, kMaxSourceUncertaintyUs,
         L"统一时间"},
        {"milliseconds too large for µs", R"({"server_unix_ms":9223372036854775807})", 0, 0, 0, L"统一时间"},
        {"empty body", "", 0, 0, 0, L"统一时间"},
    };
    for (const auto& c : cases) {
        const ServiceTimeReading r = ReadServiceTimeAnswer(c.body);
        EXPECT_EQ(r.receiveUs, c.receive) << c.name;
        EXPECT_EQ(r.sendUs, c.send) << c.name;
        EXPECT_EQ(r.sourceUncertaintyUs, c.sourceUs) << c.name;
        EXPECT_EQ(r.label, c.label) << c.name;
    }
}

TEST(ServiceAnswer, RoundPlausibility) {
    constexpr int64_t T = 1700000000000000;
    const int64_t kMax = std::numeric_limits<int64_t>::max();
    const struct {
        const char* name;
        int64_t t1, t2, t3, t4;
        bool ok;
        int64_t offset, delay;
    } cases[] = {
        {"single instant", T, T + 5000, T + 5000, T + 2000, true, 4000, 2000},
        {"reversed", T, T + 10, T + 9, T + 20, false, 0, 0},
        {"zero receive time", T, 0, 0, T + 20, false, 0, 0},
        {"delay −2000 accepted as 0", T, T, T + 2000, T, true, 1000, 0},
        {"delay −2001", T, T, T + 2001, T, false, 0, 0},
        {"delay 5 s accepted", T, T, T, T + 5000000, true, -2500000, 5000000},
        {"delay above 5 s", T, T, T, T + 5000001, false, 0, 0},
        {"odd sum truncates toward zero", T, T, T, T + 3, true, -1, 3},
        {"saturated timestamps", T, kMax, kMax, T + 100, false, 0, 0},
    };
    for (const auto& c : cases) {
        ServiceTimeReading r;
        r.receiveUs = c.t2;
        r.sendUs = c.t3;
        r.sourceUncertaintyUs = 42;
        r.label = L"标准时间";
        const std::optional<TimeSample> s = ServiceTimeSample(r, c.t1, c.t4);
        ASSERT_EQ(s.has_value(), c.ok) << c.name;
        if (!s) continue;
        EXPECT_EQ(s->offsetUs, c.offset) << c.name;
        EXPECT_EQ(s->delayUs, c.delay) << c.name;
        EXPECT_EQ(s->sourceUncertaintyUs, 42) << c.name;
        EXPECT_EQ(s->label, L"标准时间") << c.name;
    }
}

// ---- whole alignments against loopback responders ------------------------------------------------

struct Published {
    int64_t offsetMs, uncertaintyMs;
    std::wstring label;
};
Published ReadPublished() {
    AppState& app = App();
    std::lock_guard<std::mutex> lock(app.stateMutex);
    return {app.timeOffsetMs, app.timeUncertaintyMs, app.timeSourceLabel};
}
void SetPublished(int64_t offsetMs, const std::wstring& label) { PublishTimeAlignment(offsetMs, label, 99); }

struct ServerPlan {
    bool answer;
    int64_t offsetUs;
    uint32_t holdMs;
};

class DirectNtp : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(set.ok()); }
    void Plan(const std::vector<ServerPlan>& plans) {
        size_t i = 0;
        for (const ServerPlan& p : plans) {
            SntpPlan plan;
            plan.answer = p.answer;
            plan.offsetUs = p.offsetUs;
            plan.holdMs = p.holdMs;
            set[i++].SetPlan(plan);
        }
        set.ResetCounts();
    }
    std::vector<int> Counts() {
        std::vector<int> out;
        for (size_t i = 0; i < 4; ++i) out.push_back(set[i].requests());
        return out;
    }
    SntpResponderSet set;
};

TEST_F(DirectNtp, ChoosesTheFastestAgreeingServerAndPublishes) {
    const struct {
        const char* name;
        std::vector<ServerPlan> plans;
        int samples;
        std::vector<int> requests;
        int64_t truth;
    } cases[] = {
        {"0, 10, 20, 500000 µs: the fast outlier is dropped, the fastest of the rest chosen",
         {{true, 0, 40}, {true, 10, 30}, {true, 20, 10}, {true, 500000, 0}}, 7, {1, 1, 7, 1}, 20},
        {"0, 100000, 250000 µs and one silent: 250000 goes although fastest",
         {{true, 0, 30}, {true, 100000, 10}, {true, 250000, 0}, {false, 0, 0}}, 3, {1, 3, 1, 1}, 100000},
        {"two answer, 10 s apart: both stay, the faster is chosen",
         {{false, 0, 0}, {true, 0, 30}, {false, 0, 0}, {true, 10000000, 5}}, 5, {1, 1, 1, 5}, 10000000},
        {"one answers: up to six more samples from it", {{false, 0, 0}, {false, 0, 0}, {true, -250000, 2}, {false, 0, 0}},
         7, {1, 1, 7, 1}, -250000},
        {"sample count 0 behaves as 1", {{true, 3000000, 1}, {false, 0, 0}, {false, 0, 0}, {false, 0, 0}}, 0,
         {1, 1, 1, 1}, 3000000},
        {"sample count 20 behaves as 9", {{true, 3000000, 1}, {false, 0, 0}, {false, 0, 0}, {false, 0, 0}}, 20,
         {9, 1, 1, 1}, 3000000},
    };
    for (const auto& c : cases) {
        Plan(c.plans);
        SetPublished(-7, L"旧");
        std::wstring error = L"untouched";
        const StandardTimeResult r = QueryDirectNtpTimeFromServers(set.servers(), c.samples, 250, error);
        ASSERT_TRUE(r.ok) << c.name;
        EXPECT_EQ(error, L"untouched") << c.name;
        EXPECT_EQ(Counts(), c.requests) << c.name;
        EXPECT_EQ(r.sourceLabel, L"本机直连标准时间") << c.name;
        EXPECT_GE(r.uncertaintyUs, 1000) << c.name;
        EXPECT_LE(std::abs(r.offsetUs - c.truth), r.uncertaintyUs) << c.name;
        const Published p = ReadPublished();
        EXPECT_EQ(p.offsetMs, RoundUsToMs(r.offsetUs)) << c.name;
        EXPECT_EQ(p.uncertaintyMs, CeilUsToMs(r.uncertaintyUs)) << c.name;
        EXPECT_EQ(p.label, L"本机直连标准时间") << c.name;
    }
}

TEST_F(DirectNtp, NobodyAnswersLeavesThePublishedTimeAlone) {
    Plan({{false, 0, 0}, {false, 0, 0}, {false, 0, 0}, {false, 0, 0}});
    SetPublished(-7, L"旧");
    std::wstring error;
    const StandardTimeResult r = QueryDirectNtpTimeFromServers(set.servers(), 7, 120, error);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(error, L"本机网络暂时无法直接连接标准时间");
    EXPECT_EQ(Counts(), (std::vector<int>{1, 1, 1, 1}));  // the survey only
    const Published p = ReadPublished();
    EXPECT_EQ(p.offsetMs, -7);
    EXPECT_EQ(p.label, L"旧");
}

// The reported uncertainty is never smaller than the real error, also when every round trip puts all of
// its delay on one path and the delays vary from sample to sample.
TEST_F(DirectNtp, UncertaintyIsNeverSmallerThanTheRealError) {
    const int64_t truth = 123456;
    const struct { const char* name; double stampAt; std::vector<uint32_t> holds; } cases[] = {
        {"symmetric, steady", 0.5, {3}},
        {"all delay on the return path, rising", 0.0, {10, 12, 14, 16, 18, 20, 22}},
        {"all delay on the request path, rising", 1.0, {10, 12, 14, 16, 18, 20, 22}},
        {"return path, falling", 0.0, {22, 20, 18, 16, 14, 12, 10}},
        {"lopsided, mixed", 0.2, {5, 25, 8, 30, 6, 2, 15}},
    };
    for (const auto& c : cases) {
        for (int run = 0; run < 3; ++run) {
            SntpPlan plan;
            plan.offsetUs = truth;
            plan.stampAt = c.stampAt;
            plan.holdSequence = c.holds;
            set[0].SetPlan(plan);
            for (size_t i = 1; i < 4; ++i) set[i].SetPlan(SntpPlan{false});
            std::wstring error;
            const StandardTimeResult r = QueryDirectNtpTimeFromServers(set.servers(), 7, 250, error);
            ASSERT_TRUE(r.ok) << c.name;
            // +1 µs: the resolution of the µs timestamps on the wire.
            EXPECT_LE(std::abs(r.offsetUs - truth), r.uncertaintyUs + 1)
                << c.name << " offset " << r.offsetUs << " uncertainty " << r.uncertaintyUs;
        }
    }
}

// ---- the service clock and the fallback ----------------------------------------------------------

class ServiceTime : public testing::Test {
protected:
    void SetUp() override {
        if (TestServiceEndpoint().empty()) GTEST_SKIP() << "no reference service in this run";
        ASSERT_TRUE(TestServiceClearFaults());
        ASSERT_TRUE(TestServiceShiftClock(0, 0));
    }
    void TearDown() override {
        if (TestServiceEndpoint().empty()) return;
        TestServiceClearFaults();
        TestServiceShiftClock(0, 0);
        SetNtpServersForTesting({"127.0.0.1", "127.0.0.1", "127.0.0.1", "127.0.0.1"}, ClosedPort());
    }
    // A UDP port on which nothing answers.
    static uint16_t ClosedPort() {
        static uint16_t port = [] {
            SntpResponder r("127.0.0.1", 0);
            return r.port();
        }();
        return port;
    }
    static void NoNtp() { SetNtpServersForTesting({"127.0.0.1", "127.0.0.1", "127.0.0.1", "127.0.0.1"}, ClosedPort()); }
};

TEST_F(ServiceTime, MeasuresTheShiftedServiceClock) {
    for (int64_t shift : {int64_t{2500000}, int64_t{-86400000000}, int64_t{0}}) {
        ASSERT_TRUE(TestServiceShiftClock(shift, 0));
        std::wstring error = L"untouched";
        const StandardTimeResult r = QueryServiceTime("", 5, error, 8000);
        ASSERT_TRUE(r.ok) << shift << " " << Utf16ToUtf8(error);
        EXPECT_EQ(error, L"untouched");
        EXPECT_LE(std::abs(r.offsetUs - shift), r.uncertaintyUs + 1) << shift;
        const Published p = ReadPublished();
        EXPECT_EQ(p.offsetMs, RoundUsToMs(r.offsetUs));
        EXPECT_EQ(p.uncertaintyMs, CeilUsToMs(r.uncertaintyUs));
        EXPECT_EQ(p.label, r.sourceLabel);
    }
}

TEST_F(ServiceTime, AnswersShapedByTheService) {
    const struct {
        const char* name;
        std::string fault;
        bool ok;
        const wchar_t* error;
        const wchar_t* label;
        int64_t minUncertaintyUs;
    } cases[] = {
        {"labels: ntsc_ntp", R"({"action":"time","set":{"time_source":"ntsc_ntp"}})", true, nullptr, L"标准时间", 0},
        {"labels: system_fallback", R"({"action":"time","set":{"time_source":"system_fallback"}})", true, nullptr,
         L"本机时间（可能不准）", 0},
        {"labels: wrong case", R"({"action":"time","set":{"time_source":"NTSC_NTP"}})", true, nullptr, L"统一时间", 0},
        {"source uncertainty 0.3 ms adds 300 µs",
         R"({"action":"time","set":{"source_uncertainty_ms":250.3}})", true, nullptr, nullptr, 250300},
        {"reversed timestamps",
         R"({"action":"time","set":{"server_receive_unix_us":1700000000000300,"server_send_unix_us":1700000000000100}})",
         false, L"暂时无法取得准确时间", nullptr, 0},
        {"timestamps missing",
         R"({"action":"time","omit":["server_unix_ms","server_receive_unix_us","server_send_unix_us"]})", false,
         L"暂时无法取得准确时间", nullptr, 0},
        {"only server_unix_ms", R"({"action":"time","omit":["server_receive_unix_us","server_send_unix_us"]})", true,
         nullptr, nullptr, 0},
        {"service error message", R"({"action":"time","status":503,"ok":false,"message":"时间服务维护中"})", false,
         L"时间服务维护中", nullptr, 0},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(TestServiceClearFaults());
        ASSERT_TRUE(TestServiceFault(c.fault)) << c.name;
        SetPublished(-7, L"旧");
        std::wstring error;
        const StandardTimeResult r = QueryServiceTime("", 3, error, 8000);
        EXPECT_EQ(r.ok, c.ok) << c.name << " " << Utf16ToUtf8(error);
        if (c.ok) {
            if (c.label) {
                EXPECT_EQ(r.sourceLabel, c.label) << c.name;
            }
            EXPECT_GE(r.uncertaintyUs, c.minUncertaintyUs) << c.name;
            EXPECT_LE(std::abs(r.offsetUs), r.uncertaintyUs + 1000) << c.name;  // ms-only answers lose < 1 ms
        } else {
            EXPECT_EQ(error, c.error) << c.name;
            EXPECT_EQ(ReadPublished().offsetMs, -7) << c.name;  // a failure leaves the published time alone
        }
    }
}

TEST_F(ServiceTime, FallbackFromNtpToTheServiceAndErrorPrecedence) {
    SntpResponder ntp("127.0.0.1", 0);
    ASSERT_TRUE(ntp.ok());
    SntpPlan plan;
    plan.offsetUs = 700000;
    ntp.SetPlan(plan);
    ASSERT_TRUE(TestServiceShiftClock(-300000, 0));

    // NTP answers: its result, the service is not asked.
    SetNtpServersForTesting({"127.0.0.1", "127.0.0.1", "127.0.0.1", "127.0.0.1"}, ntp.port());
    std::wstring error;
    StandardTimeResult r = GetStandardTime("", 3, error, 1500);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.sourceLabel, L"本机直连标准时间");
    EXPECT_LE(std::abs(r.offsetUs - 700000), r.uncertaintyUs);

    // No NTP: the service clock.
    NoNtp();
    r = GetStandardTime("", 3, error, 1500);
    ASSERT_TRUE(r.ok);
    EXPECT_NE(r.sourceLabel, L"本机直连标准时间");
    EXPECT_LE(std::abs(r.offsetUs + 300000), r.uncertaintyUs + 1);
    EXPECT_EQ(ReadPublished().offsetMs, RoundUsToMs(r.offsetUs));

    // Both fail: the service's text wins over the NTP text.
    ASSERT_TRUE(TestServiceFault(R"({"action":"time","status":500,"ok":false,"message":"服务时钟不可用"})"));
    error.clear();
    r = GetStandardTime("", 3, error, 800);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(error, L"服务时钟不可用");
    ASSERT_TRUE(TestServiceClearFaults());

    // Both fail, the service unreachable: its transport text.
    SetServiceEndpointForTesting(L"https://localhost:1/api.php");
    error.clear();
    r = GetStandardTime("", 2, error, 800);
    SetServiceEndpointForTesting(TestServiceEndpoint());
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(error, L"无法连接服务，请确认本机服务已经启动");
}

}  // namespace
