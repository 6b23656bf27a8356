// The click task: its wire texts and arithmetic, and whole runs against the reference service with
// a real click on a window of this program.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/app_state.h"
#include "core/clock.h"
#include "core/config.h"
#include "core/worker.h"
#include "net/json_text.h"
#include "net/service_api.h"
#include "support/main_window_harness.h"
#include "support/real_input.h"
#include "support/service_control.h"
#include "support/target_helper.h"
#include "support/test_signer.h"
#include "support/test_support.h"
#include "target/desktop_system.h"
#include "target/task_gate.h"
#include "tasks/click_executor.h"
#include "tasks/click_instruction.h"
#include "tasks/click_task.h"
#include "tasks/task_request.h"
#include "ui/screen_state.h"

// ---- wire texts and arithmetic ---------------------------------------------------------------

TEST(ClickTaskBodies, ClaimAndConsumeBodiesInTheirExactForm) {
    EXPECT_EQ(BuildClaimBody(42), "{\"task_id\":42,\"client_platform\":\"windows\"}");
    EXPECT_EQ(BuildConsumeBody(42, "9f2c", 3, true),
              "{\"task_id\":42,\"nonce\":\"9f2c\",\"client_platform\":\"windows\",\"client_error_ms\":3,"
              "\"result\":\"success\",\"result_detail\":\"\xE6\x9C\xAC\xE6\x9C\xBA\xE5\xB7\xB2\xE6\x8F\x90\xE4\xBA\xA4"
              "\xE4\xB8\x80\xE6\xAC\xA1\xE8\xA7\xA6\xE5\x8F\x91\"}");  // 本机已提交一次触发
    EXPECT_EQ(BuildConsumeBody(7, "a\"b\\c", -3, false),
              "{\"task_id\":7,\"nonce\":\"a\\\"b\\\\c\",\"client_platform\":\"windows\",\"client_error_ms\":-3,"
              "\"result\":\"failed\",\"result_detail\":\"Windows \xE6\x9C\xAA\xE6\x8E\xA5\xE5\x8F\x97\xE6\x9C\xAC"
              "\xE6\x9C\xBA\xE8\xA7\xA6\xE5\x8F\x91\"}");  // Windows 未接受本机触发
}

TEST(ClickTaskBodies, ClaimAnswerFieldsAndTheirFallbacks) {
    ClaimAnswer a = ParseClaimAnswer("{\"ok\":true,\"execute_at_ms\":1785200000000,\"ready\":true,"
                                     "\"payload\":\"eyJ9\",\"signature\":\"c2ln\",\"retry_at_ms\":1785199990000}");
    EXPECT_EQ(a.executeAtMs, 1785200000000);
    EXPECT_TRUE(a.ready);
    EXPECT_EQ(a.retryAtMs, 1785199990000);
    EXPECT_EQ(a.payload, "eyJ9");
    EXPECT_EQ(a.signature, "c2ln");
    ClaimAnswer b = ParseClaimAnswer("{\"ok\":true,\"execute_at_ms\":1785200000000}");
    EXPECT_FALSE(b.ready);                       // no "ready": not ready
    EXPECT_EQ(b.retryAtMs, 1785200000000 - 60000);  // no retry time: a minute before the instant
    ClaimAnswer c = ParseClaimAnswer("{\"ok\":true,\"ready\":\"true\"}");
    EXPECT_FALSE(c.ready);  // only the literal word counts
    EXPECT_EQ(c.executeAtMs, 0);
    EXPECT_EQ(c.retryAtMs, -60000);
}

TEST(ClickTaskArithmetic, ClaimWaitIsAimedAtTheRetryTimeAndClampedTo300To3000) {
    const int64_t wall = 1785200000000000;  // µs
    struct Case {
        const char* name;
        int64_t retryAtMs, offsetUs;
        uint32_t expected;
    } cases[] = {
        {"retry time already past", 1785199000000, 0, 300},
        {"retry time = now", 1785200000000, 0, 300},
        {"1234 ms ahead", 1785200001234, 0, 1234},
        {"1234.9 ms ahead truncates", 1785200001235, 100, 1234},
        {"offset counts: ahead on the unified clock", 1785200002000, 500000, 1500},
        {"far ahead", 1785300000000, 0, 3000},
        {"just above the top", 1785200003001, 0, 3000},
        {"huge retry time", INT64_MAX, 0, 3000},
        {"retry far in the past", INT64_MIN, 0, 300},
    };
    for (const Case& c : cases) EXPECT_EQ(ClaimWaitMs(c.retryAtMs, wall, c.offsetUs), c.expected) << c.name;
}

TEST(ClickTaskArithmetic, TheClaimGraceEndsSixtySecondsAfterAKnownInstant) {
    const int64_t at = 1785200000000;
    EXPECT_FALSE(ClaimGracePassed(0, INT64_MAX / 2));  // no instant known: no end
    EXPECT_FALSE(ClaimGracePassed(-5, at * 1000));
    EXPECT_FALSE(ClaimGracePassed(at, at * 1000));
    EXPECT_FALSE(ClaimGracePassed(at, at * 1000 + 60000000));  // exactly 60 s: still waiting
    EXPECT_TRUE(ClaimGracePassed(at, at * 1000 + 60000001));
}

TEST(ClickTaskArithmetic, ARequestIsRetriedUntilItsDeadline) {
    const int64_t now = 1785200000000;
    struct Case {
        const char* name;
        int64_t deadlineMs, budgetMs;
    } cases[] = {
        {"no deadline known: a minute", 0, 60000},
        {"a negative deadline is none", -5, 60000},
        {"ten seconds ahead", now + 10000, 10000},
        {"now: one attempt", now, 0},
        {"past: one attempt", now - 1, 0},
        {"the far future", INT64_MAX, INT64_MAX - now},
    };
    for (const Case& c : cases) EXPECT_EQ(RetryBudgetMs(c.deadlineMs, now), c.budgetMs) << c.name;
    EXPECT_EQ(RetryingDetail(2, L"服务请求失败（错误码 503）"),
              L"网络连接不稳定，正在重试（已重试 2 次）：服务请求失败（错误码 503）");
    EXPECT_EQ(RetryingDetail(1, L""), L"网络连接不稳定，正在重试（已重试 1 次）");
    EXPECT_EQ(OutcomeBadgeText(true, -3), L"已点击，相差 -3 毫秒");
    EXPECT_EQ(OutcomeBadgeText(false, 0), L"本次未点击，请查看窗口");
}

TEST(ClickTaskArithmetic, AStepOfTheWallClockIsWhatItMovedBeyondTheMonotonicClock) {
    const ClockReading before{1785200000000000, 5000000000};
    struct Case {
        const char* name;
        int64_t wallMovedUs, monotonicMovedUs, stepUs;
        bool isStep;
    } cases[] = {
        {"both ran 3 s", 3000000, 3000000, 0, false},
        {"set 2 s forward", 5000000, 3000000, 2000000, true},
        {"set 1.5 s back", 1500000, 3000000, -1500000, true},
        {"set back past the earlier reading", -700000, 300000, -1000000, true},
        {"slewed 0.5 ms over a poll", 3000500, 3000000, 500, false},
        {"just under a step", 3049999, 3000000, 49999, false},
        {"exactly a step", 3050000, 3000000, 50000, true},
        {"exactly a step back", 2950000, 3000000, -50000, true},
    };
    for (const Case& c : cases) {
        const ClockReading now{before.wallUs + c.wallMovedUs, before.monotonicUs + c.monotonicMovedUs};
        EXPECT_EQ(WallClockStepUs(before, now), c.stepUs) << c.name;
        EXPECT_EQ(IsClockStep(WallClockStepUs(before, now)), c.isStep) << c.name;
    }
    EXPECT_EQ(WallClockStepUs({INT64_MIN, 0}, {INT64_MAX, 0}), INT64_MAX) << "saturates";
    for (const auto& [us, ms] : std::vector<std::pair<int64_t, int64_t>>{{-2000000, -2000}, {1499, 1}, {1500, 2}, {-1500, -2}, {-1499, -1}})
        EXPECT_EQ(OffsetUsToMs(us), ms) << us;
}

TEST(ClickTaskArithmetic, CoarseSleepStepsAimAtTheTenSecondMark) {
    EXPECT_EQ(CoarseSleepStepMs(60000000), 1000u);
    EXPECT_EQ(CoarseSleepStepMs(10500000), 500u);
    EXPECT_EQ(CoarseSleepStepMs(10010000), 50u);
    EXPECT_EQ(CoarseSleepStepMs(10000001), 50u);
}

TEST(ClickTaskArithmetic, ARealignmentMustEndASafetyMarginBeforeTheClick) {
    const int64_t now = 5000000000;  // monotonic µs
    struct Case {
        const char* name;
        int64_t remainingUs, expected;
    } cases[] = {
        {"five seconds left", 5000000, now + 4000000},
        {"exactly the margin left", kRealignSafetyMarginUs, now},
        {"less than the margin: already over", 200000, now - 800000},
        {"far ahead", INT64_MAX, INT64_MAX},
        {"long past", INT64_MIN, INT64_MIN + now},
    };
    for (const Case& c : cases) EXPECT_EQ(RealignDeadlineUs(now, c.remainingUs), c.expected) << c.name;
}

TEST(ClickTaskArithmetic, TimingErrorRoundsHalvesAwayFromZero) {
    const int64_t at = 1785200000000;
    struct Case {
        int64_t errorUs, expected;
    } cases[] = {
        {0, 0},      {3400, 3},   {-2500, -3}, {2500, 3},    {2499, 2},    {-2499, -2},
        {499, 0},    {-499, 0},   {500, 1},    {-500, -1},   {-1, 0},      {123456789, 123457},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TimingErrorMs(at * 1000 + c.errorUs, 0, at), c.expected) << c.errorUs;
        // The same instant reached through the offset.
        EXPECT_EQ(TimingErrorMs(at * 1000, c.errorUs, at), c.expected) << c.errorUs;
    }
    // 1785200000000 ms after the epoch minus the largest time there is: saturates instead of wrapping
    // into a large negative error.
    EXPECT_EQ(TimingErrorMs(INT64_MAX - 5, 1000, at), 9221586836854776) << "saturates, never wraps";
    EXPECT_EQ(ClickDoneStatus(3), L"触发测试已完成，与预定时间相差 3 毫秒");
    EXPECT_EQ(ClickDoneStatus(-3), L"触发测试已完成，与预定时间相差 -3 毫秒");
    // A room's click has its own words: the test's would tell a room's participants of a test.
    EXPECT_EQ(ClickDoneStatus(3, true), L"房间点击已完成，与约定时间相差 3 毫秒");
    EXPECT_EQ(ClickRefusedStatus(true), L"本机未能完成房间点击");
    EXPECT_EQ(ClickRefusedStatus(false), L"本机未能完成触发测试");
}

// ---- whole tasks against the reference service -------------------------------------------------

namespace {

constexpr char kHash[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

// A window of this program where the clicks land.
struct ClickWindow {
    static constexpr int kLeft = 300, kTop = 200, kSize = 240;
    static inline int downs = 0;
    static inline POINT lastDown{-1, -1};
    static inline int64_t lastDownWallUs = 0;
    static inline int64_t lastDownMonotonicUs = 0;
    HWND window = nullptr;

    static LRESULT CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_LBUTTONDOWN) {
            ++downs;
            lastDownWallUs = WallClockUs();
            lastDownMonotonicUs = MonotonicUs();
            lastDown = {static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
            return 0;
        }
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
    ClickWindow() {
        WNDCLASSW wc{};
        wc.lpfnWndProc = Procedure;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"ClickTaskTestTarget";
        RegisterClassW(&wc);
        window = CreateWindowExW(WS_EX_TOPMOST, wc.lpszClassName, L"target", WS_POPUP | WS_VISIBLE, kLeft, kTop, kSize,
                                 kSize, nullptr, nullptr, wc.hInstance, nullptr);
        SetForegroundWindow(window);
    }
    ~ClickWindow() {
        if (window) DestroyWindow(window);
    }
};

struct Login {
    std::string token, signPublicKey;
    int64_t id = 0;
};

std::string ServiceDataFile(const char* name) {
    wchar_t buffer[1024] = {};
    DWORD length = GetEnvironmentVariableW(L"ORVANE_TEST_SERVICE_DIR", buffer, 1024);
    if (!length || length >= 1024) return {};
    return ReadFileBytes(std::filesystem::path(L"Z:" + std::wstring(buffer, length)) / name);
}

std::string TaskRecord(int64_t taskId) { return TestServiceRequest("GET", "/__test/task?id=" + std::to_string(taskId)).body; }

// Whether the service recorded a report. (The record's "state" may itself read "consumed", so the key
// search of the JSON helpers is not used here.)
bool Consumed(const std::string& record) { return record.find("\"consumed\":true") != std::string::npos; }

int64_t Countdown() {
    std::lock_guard<std::mutex> lock(App().stateMutex);
    return App().countdownTargetMs;
}

}  // namespace

class ClickTaskRun : public testing::Test {
protected:
    static void SetUpTestSuite() {
        if (TestServiceEndpoint().empty()) return;
        window = new ClickWindow;
        // Standard time from the service's own SNTP responder.
        const std::string host = TestSntpHost();
        SetNtpServersForTesting({host, host, host, host}, TestSntpPort());
        const std::string email = "click" + std::to_string(GetCurrentProcessId()) + "-" +
                                  std::to_string(GetTickCount64()) + "@example.com";
        std::string output;
        if (!TestServiceAdmin("[\"account-create\",\"" + email + "\",\"click-pass-1\",\"1000\"]", &output)) return;
        ApiResponse answer = PostServiceAction(
            "auth.login", "{\"email\":\"" + email + "\",\"password\":\"click-pass-1\"}", "", 8000);
        std::wstring message;
        if (!EvaluateApiResponse(answer, message)) return;
        login.token = JsonGetString(answer.body, "token");
        login.signPublicKey = JsonGetString(answer.body, "sign_public_key");
        login.id = JsonGetInt64(answer.body, "id", 0);
    }
    static void TearDownTestSuite() {
        delete window;
        window = nullptr;
    }

    void SetUp() override {
        if (TestServiceEndpoint().empty()) GTEST_SKIP() << "no reference service in this run";
        ASSERT_FALSE(login.token.empty()) << "could not sign in at the reference service";
        ASSERT_TRUE(TestServiceClearFaults());
        ASSERT_TRUE(TestServiceConfig("{\"release_lead_ms\":600000,\"retry_after_ms\":30000}"));
        AppState& app = App();
        {
            std::lock_guard<std::mutex> lock(app.stateMutex);
            app.session.logged_in = true;
            app.session.token = login.token;
            app.session.sign_public_key = login.signPublicKey;
            app.session.id = login.id;
            app.session.target.target_confirmed = true;
            app.session.target.check_ok = true;
            app.session.target.blocked = false;
            app.session.target.click_point = {kX, kY};
            app.session.target.executable_name = L"target.exe";
            app.session.target.executable_sha256 = kHash;
            app.session.target.executable_path.clear();  // no look under the point, as these click this program
            app.countdownTargetMs = 0;
            app.statusText.clear();
            app.detailText.clear();
        }
        ASSERT_FALSE(app.taskBusy.load());
        PumpUntil([] { return false; }, 20);
        ClickWindow::downs = 0;
        ClickWindow::lastDown = {-1, -1};
    }
    void TearDown() override {
        if (TestServiceEndpoint().empty()) return;
        TestServiceClearFaults();
        TestServiceShiftClock(0, 0);
    }

    // A synchronisation-test task on the service, clicking `aheadMs` from now at (x, y).
    int64_t CreateTask(int64_t aheadMs, int x = kX, int y = kY, int64_t* executeAtMs = nullptr) {
        const int64_t at = WallClockMs() + aheadMs;
        ApiResponse answer = PostServiceAction(
            "match.create",
            "{\"execute_at_ms\":" + std::to_string(at) +
                ",\"client_platform\":\"windows\",\"purpose\":\"software_testing\",\"target_x\":" + std::to_string(x) +
                ",\"target_y\":" + std::to_string(y) + ",\"executable_name\":\"target.exe\",\"executable_sha256\":\"" +
                kHash + "\"}",
            login.token, 8000);
        std::wstring message;
        EXPECT_TRUE(EvaluateApiResponse(answer, message)) << Utf16ToUtf8(message);
        if (executeAtMs) *executeAtMs = at;
        return JsonGetInt64(answer.body, "task_id", 0);
    }

    // Starts the click task of `taskId` as a room or test request does once the service has named it:
    // the slot taken for the target as it stands, then the task handed the request's context.
    static void StartTask(int64_t taskId) {
        std::optional<TaskRequestStart> start = PrepareTaskRequest(TargetNow(), false);
        if (start) StartReservedClickTask(taskId, 0, std::move(start->sentWith));
    }

    // Pumps this thread's messages until the task has ended with `status`.
    static bool WaitForEnd(const std::wstring& status, DWORD timeoutMs = 20000) {
        return PumpUntil([&] { return !App().taskBusy.load() && StatusTextNow() == status; }, timeoutMs);
    }

    static void ExpectNoReport(int64_t taskId) {
        const std::string record = TaskRecord(taskId);
        EXPECT_FALSE(Consumed(record)) << record;
        EXPECT_NE(record.find("\"consumed\":false"), std::string::npos) << record;
        EXPECT_EQ(ClickWindow::downs, 0);
    }

    static constexpr int kX = ClickWindow::kLeft + 101, kY = ClickWindow::kTop + 57;
    static inline ClickWindow* window = nullptr;
    static inline Login login;
};

TEST_F(ClickTaskRun, PollsUntilReleasedClicksAndReportsWhileASecondStartIsRefused) {
    // Released 2 s before the click; while waiting the service proposes to ask again after 50 ms,
    // which the client stretches to its 300 ms minimum.
    ASSERT_TRUE(TestServiceConfig("{\"release_lead_ms\":2000,\"retry_after_ms\":50}"));
    int64_t executeAtMs = 0;
    const int64_t taskId = CreateTask(4500, kX, kY, &executeAtMs);
    ASSERT_GT(taskId, 0);
    const ULONGLONG started = GetTickCount64();
    StartTask(taskId);
    EXPECT_TRUE(App().taskBusy.load());

    // While it polls, the countdown follows the scheduled instant and a second start is refused.
    ASSERT_TRUE(PumpUntil([&] { return JsonGetInt64(TaskRecord(taskId), "claim_count", 0) >= 2; }, 8000));
    EXPECT_EQ(Countdown(), executeAtMs);
    EXPECT_EQ(StatusTextNow(), L"正在领取本次点击安排…");
    StartTask(taskId + 1000);
    EXPECT_EQ(StatusTextNow(), L"已有操作正在等待，请勿重复开始");
    EXPECT_EQ(DetailTextNow(), L"");
    EXPECT_TRUE(App().taskBusy.load());

    ASSERT_TRUE(PumpUntil([] { return !App().taskBusy.load(); }, 15000));
    const ULONGLONG elapsedMs = GetTickCount64() - started;
    ASSERT_TRUE(PumpUntil([] { return StatusTextNow().rfind(L"触发测试已完成", 0) == 0; }, 2000)) << Utf16ToUtf8(StatusTextNow());
    EXPECT_TRUE(PumpUntil([] { return ClickWindow::downs > 0; }, 3000));
    EXPECT_EQ(ClickWindow::downs, 1);
    EXPECT_EQ(ClickWindow::lastDown.x, kX - ClickWindow::kLeft);
    EXPECT_EQ(ClickWindow::lastDown.y, kY - ClickWindow::kTop);
    EXPECT_EQ(Countdown(), 0);

    const std::string record = TaskRecord(taskId);
    const int64_t claims = JsonGetInt64(record, "claim_count", 0);
    EXPECT_GE(claims, 3) << "not ready several times, then ready";
    EXPECT_LE(claims, static_cast<int64_t>(elapsedMs / 300) + 2) << "waits shorter than 300 ms";
    EXPECT_TRUE(Consumed(record)) << record;
    EXPECT_EQ(JsonGetString(record, "result"), "success");
    EXPECT_EQ(JsonGetString(record, "result_detail"), "本机已提交一次触发");
    const int64_t errorMs = JsonGetInt64(record, "client_error_ms", INT64_MIN);
    ASSERT_NE(errorMs, INT64_MIN) << record;
    EXPECT_EQ(StatusTextNow(), ClickDoneStatus(errorMs));
    EXPECT_EQ(DetailTextNow(), L"");
    // The report carried the instruction's nonce, in the documented member order, and the uncertainty
    // the screen shows.
    const std::string nonce = JsonGetString(record, "nonce");
    ASSERT_FALSE(nonce.empty());
    EXPECT_EQ(JsonGetString(TestServiceLastRequest("task.consume"), "body"),
              BuildConsumeBody(taskId, nonce, errorMs, true, L"", {TakeScreenSnapshot().timeUncertaintyMs, false}));
    EXPECT_EQ(JsonGetString(TestServiceLastRequest("task.claim"), "body"), BuildClaimBody(taskId));
}

TEST_F(ClickTaskRun, ClaimsAndReportsLostOnTheWayAreSentAgainUntilTheyArrive) {
    // Each case: the service (or the way to it) fails the first claims, and perhaps the first report;
    // the task says it is retrying, then clicks once and the service records the report.
    struct Case {
        const char* name;
        std::string claimFault, consumeFault;
        int failedClaims;
    } cases[] = {
        {"503 twice", R"("status":503,"ok":false,"message":"领取服务暂停","times":2)", "", 2},
        {"connection dropped, and the first report too", R"("drop":true,"times":2)", R"("drop":true,"times":1)", 2},
        {"429, then a proxy's 502 for the report", R"("status":429,"ok":false,"message":"请求过多","times":1)",
         R"("status":502,"raw_body":"<html>Bad Gateway</html>","content_type":"text/html","times":1)", 1},
        {"an answer without the service's ok", R"("status":200,"raw_body":"{\"task_id\":","times":3)", "", 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClickWindow::downs = 0;
        const int64_t taskId = CreateTask(6000);
        ASSERT_TRUE(TestServiceClearFaults());
        ASSERT_TRUE(TestServiceFault("{\"action\":\"task.claim\"," + c.claimFault + "}"));
        if (!c.consumeFault.empty()) {
            ASSERT_TRUE(TestServiceFault("{\"action\":\"task.consume\"," + c.consumeFault + "}"));
        }
        StartTask(taskId);
        std::wstring retrying;  // the detail line while a claim is retried
        ASSERT_TRUE(PumpUntil(
            [&] {
                const std::wstring detail = DetailTextNow();
                if (detail.rfind(L"网络连接不稳定，正在重试", 0) == 0 && StatusTextNow() == L"正在领取本次点击安排…")
                    retrying = detail;
                return !App().taskBusy.load();
            },
            20000));
        ASSERT_TRUE(PumpUntil([] { return StatusTextNow().rfind(L"触发测试已完成", 0) == 0; }, 2000))
            << Utf16ToUtf8(StatusTextNow() + L" " + DetailTextNow());
        EXPECT_EQ(DetailTextNow(), L"");
        EXPECT_NE(retrying.find(L"已重试 " + std::to_wstring(c.failedClaims) + L" 次"), std::wstring::npos)
            << Utf16ToUtf8(retrying);
        EXPECT_TRUE(PumpUntil([] { return ClickWindow::downs == 1; }, 3000));
        const std::string record = TaskRecord(taskId);
        EXPECT_TRUE(Consumed(record)) << record;
        EXPECT_EQ(JsonGetString(record, "result"), "success") << record;
    }
}

TEST_F(ClickTaskRun, AReportTheServiceNeverGetsIsSaidAfterTheClick) {
    // The instruction runs out 2 s after the instant and every report meets a 503 until then: the click
    // stands, and the detail line says the service did not get its result.
    ASSERT_TRUE(TestServiceConfig(R"({"claim_expiry_ms":2000})"));
    const int64_t taskId = CreateTask(2500);
    ASSERT_TRUE(TestServiceFault(R"({"action":"task.consume","status":503,"ok":false,"message":"结果服务暂停"})"));
    StartTask(taskId);
    const bool ended = PumpUntil([] { return !App().taskBusy.load(); }, 20000);
    TestServiceConfig(R"({"claim_expiry_ms":60000})");
    ASSERT_TRUE(ended);
    ASSERT_TRUE(PumpUntil([] { return StatusTextNow().rfind(L"触发测试已完成", 0) == 0; }, 2000)) << Utf16ToUtf8(StatusTextNow());
    EXPECT_EQ(DetailTextNow(), L"点击结果未能交给服务：结果服务暂停");
    EXPECT_TRUE(PumpUntil([] { return ClickWindow::downs == 1; }, 3000));
    EXPECT_FALSE(Consumed(TaskRecord(taskId)));
}

TEST_F(ClickTaskRun, OnlyTheServicesRefusalOfAClaimEndsTheTaskAtOnce) {
    const int64_t taskId = CreateTask(5000);
    ASSERT_TRUE(TestServiceFault("{\"action\":\"task.claim\",\"status\":409,\"ok\":false,"
                                 "\"message\":\"领取已被拒绝\",\"times\":1}"));
    StartTask(taskId);
    ASSERT_TRUE(WaitForEnd(L"无法取得本次点击安排")) << Utf16ToUtf8(StatusTextNow());
    EXPECT_EQ(DetailTextNow(), L"领取已被拒绝");
    EXPECT_EQ(Countdown(), 0);
    ExpectNoReport(taskId);

    // Claims that keep failing on the way end the task once the grace after its instant has passed,
    // naming the last failure: here the instant lies 59.5 s back.
    const int64_t lateTask = CreateTask(60000);
    ASSERT_TRUE(TestServiceFault(R"({"action":"task.claim","drop":true})"));
    std::optional<TaskRequestStart> start = PrepareTaskRequest(TargetNow(), false);
    ASSERT_TRUE(start);
    StartReservedClickTask(lateTask, WallClockMs() - 59500, std::move(start->sentWith));
    ASSERT_TRUE(WaitForEnd(L"无法取得本次点击安排", 15000)) << Utf16ToUtf8(StatusTextNow());
    EXPECT_EQ(DetailTextNow(), L"无法连接服务，请确认本机服务已经启动");
    ExpectNoReport(lateTask);

    // No thread for the task: it ends at once, the slot free again, and claims nothing.
    const int64_t unstarted = CreateTask(5000);
    WorkersRefusedForTesting() = true;
    StartTask(unstarted);
    WorkersRefusedForTesting() = false;
    EXPECT_EQ(StatusTextNow(), kTaskNotStartedText);
    EXPECT_FALSE(App().taskBusy.load());
    EXPECT_EQ(Countdown(), 0);
    PumpUntil([] { return false; }, 200);
    EXPECT_EQ(JsonGetInt64(TaskRecord(unstarted), "claim_count", -1), 0);
}

TEST_F(ClickTaskRun, NoUsableAlignmentEndsTheTaskBeforeAnyClaim) {
    const int64_t taskId = CreateTask(5000);
    SetNtpServersForTesting({"127.0.0.1", "127.0.0.1", "127.0.0.1", "127.0.0.1"}, 9);  // nobody answers
    ASSERT_TRUE(TestServiceFault("{\"action\":\"time\",\"status\":500,\"ok\":false,\"message\":\"时钟维护中\"}"));
    StartTask(taskId);
    const bool ended = WaitForEnd(L"无法取得统一时间");
    const std::string host = TestSntpHost();
    SetNtpServersForTesting({host, host, host, host}, TestSntpPort());
    ASSERT_TRUE(ended) << Utf16ToUtf8(StatusTextNow());
    EXPECT_EQ(DetailTextNow(), L"时钟维护中");
    EXPECT_EQ(JsonGetInt64(TaskRecord(taskId), "claim_count", -1), 0);
    ExpectNoReport(taskId);
}

TEST_F(ClickTaskRun, AnInstructionThatFailsVerificationIsNeverExecutedNorReported) {
    const std::string foreignSignature = Base64Encode(HexToBytes(
        "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b"));
    struct Case {
        const char* name;
        std::string fault;  // applied to every claim answer
        POINT chosen;       // the position chosen on this machine
        std::wstring status, detail;
    } cases[] = {
        {"tampered signature", "\"set\":{\"signature\":\"" + foreignSignature + "\"}", {kX, kY},
         kSignatureFailedStatus, kSignatureFailedDetail},
        {"payload missing", "\"omit\":[\"payload\"]", {kX, kY}, kSignatureFailedStatus, kSignatureFailedDetail},
        {"payload not base64", "\"set\":{\"payload\":\"%%%\"}", {kX, kY}, kSignatureFailedStatus, kSignatureFailedDetail},
        {"another position chosen here", "", {kX + 1, kY}, kInstructionMismatchStatus, L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int64_t taskId = CreateTask(5000);
        ASSERT_TRUE(TestServiceClearFaults());
        if (!c.fault.empty()) {
            ASSERT_TRUE(TestServiceFault("{\"action\":\"task.claim\"," + c.fault + "}"));
        }
        {
            std::lock_guard<std::mutex> lock(App().stateMutex);
            App().session.target.click_point = c.chosen;
        }
        StartTask(taskId);
        ASSERT_TRUE(WaitForEnd(c.status)) << Utf16ToUtf8(StatusTextNow());
        EXPECT_EQ(DetailTextNow(), c.detail);
        EXPECT_EQ(Countdown(), 0);
        PumpUntil([] { return false; }, 100);
        ExpectNoReport(taskId);
    }
}

TEST_F(ClickTaskRun, AClickTheSystemRefusesIsReportedAsFailed) {
    const int64_t taskId = CreateTask(1500);
    static const ClickPlatform refusing = [] {
        ClickPlatform p = SystemClickPlatform();
        p.sendInput = [](UINT, LPINPUT, int) -> UINT { return 0; };
        return p;
    }();
    auto context = std::make_unique<ClickTaskContext>();
    context->taskId = taskId;
    context->token = login.token;
    context->signPublicKey = login.signPublicKey;
    context->userId = login.id;
    context->targetX = kX;
    context->targetY = kY;
    context->executableSha256 = kHash;
    context->platform = &refusing;
    App().taskBusy.store(true);
    std::thread worker(RunClickTask, std::move(context));
    const bool ended = WaitForEnd(L"本机未能完成触发测试");
    worker.join();
    ASSERT_TRUE(ended) << Utf16ToUtf8(StatusTextNow());
    EXPECT_EQ(DetailTextNow(), L"Windows 没有接受本次本机操作");
    EXPECT_FALSE(App().taskBusy.load());
    const std::string record = TaskRecord(taskId);
    EXPECT_EQ(JsonGetString(record, "result"), "failed") << record;
    EXPECT_EQ(JsonGetString(record, "result_detail"), "Windows 未接受本机触发");
    EXPECT_EQ(ClickWindow::downs, 0);
}

TEST_F(ClickTaskRun, ANonceWithAQuoteIsEscapedInTheReport) {
    // An instruction signed with the service's own key, carrying a nonce the service would never
    // choose. The service refuses the report (its nonce differs), which does not change the outcome.
    const std::vector<uint8_t> seed = HexToBytes(ServiceDataFile("sign-ed25519.key"));
    ASSERT_EQ(seed.size(), 32u);
    int64_t executeAtMs = 0;
    const int64_t taskId = CreateTask(60000, kX, kY, &executeAtMs);
    const int64_t clickAtMs = WallClockMs() + 2500;
    const std::string nonce = "q\"1\\z";
    const std::string instruction =
        "{\"taskId\":" + std::to_string(taskId) + ",\"userId\":" + std::to_string(login.id) +
        ",\"action\":\"single_click\",\"targetX\":" + std::to_string(kX) + ",\"targetY\":" + std::to_string(kY) +
        ",\"executableSha256\":\"" + kHash + "\",\"executeAtMs\":" + std::to_string(clickAtMs) +
        ",\"expiresAtMs\":" + std::to_string(clickAtMs + 60000) + ",\"nonce\":\"" + JsonEscape(nonce) + "\"}";
    std::vector<uint8_t> publicKey;
    const std::vector<uint8_t> signature = SignWithSeed(instruction, seed, &publicKey);
    ASSERT_EQ(Base64Encode(publicKey), login.signPublicKey);
    ASSERT_TRUE(TestServiceFault("{\"action\":\"task.claim\",\"set\":{\"ready\":true,\"payload\":\"" +
                                 Base64Encode({instruction.begin(), instruction.end()}) + "\",\"signature\":\"" +
                                 Base64Encode(signature) + "\"}}"));
    StartTask(taskId);
    ASSERT_TRUE(PumpUntil([] { return !App().taskBusy.load(); }, 15000));
    ASSERT_TRUE(PumpUntil([] { return StatusTextNow().rfind(L"触发测试已完成", 0) == 0; }, 2000)) << Utf16ToUtf8(StatusTextNow());
    EXPECT_TRUE(PumpUntil([] { return ClickWindow::downs == 1; }, 3000));
    const std::string sent = JsonGetString(TestServiceLastRequest("task.consume"), "body");
    EXPECT_NE(sent.find("\"nonce\":\"q\\\"1\\\\z\""), std::string::npos) << sent;
    EXPECT_EQ(JsonGetString(sent, "nonce"), nonce);
    EXPECT_FALSE(Consumed(TaskRecord(taskId)));
}

TEST_F(ClickTaskRun, AnInstructionNeverReleasedEndsAMinuteAfterItsInstant) {
    const int64_t taskId = CreateTask(60000);
    const int64_t longPastMs = WallClockMs() - 59000;
    ASSERT_TRUE(TestServiceFault("{\"action\":\"task.claim\",\"set\":{\"ready\":false,\"execute_at_ms\":" +
                                 std::to_string(longPastMs) + ",\"retry_at_ms\":" + std::to_string(longPastMs) +
                                 "}}"));
    StartTask(taskId);
    ASSERT_TRUE(WaitForEnd(L"本次点击安排已失效，请重新开始", 15000)) << Utf16ToUtf8(StatusTextNow());
    EXPECT_EQ(DetailTextNow(), L"");
    EXPECT_EQ(Countdown(), 0);
    EXPECT_GE(JsonGetInt64(TaskRecord(taskId), "claim_count", 0), 2);
    ExpectNoReport(taskId);
}

TEST_F(ClickTaskRun, TheLastAlignmentBeforeTheClickDecidesWhenItHappens) {
    // Released about 15 s ahead: one re-alignment right after verification, the wait down to the
    // 10-second mark, and a short one then. Meanwhile standard time (the service's clock and its SNTP
    // responder) moves 1.5 s back, so the click must come 1.5 s later on the local clock than the
    // alignment at the start predicted.
    ASSERT_TRUE(TestServiceConfig("{\"release_lead_ms\":15000,\"retry_after_ms\":30000}"));
    int64_t executeAtMs = 0;
    const int64_t taskId = CreateTask(15500, kX, kY, &executeAtMs);
    StartTask(taskId);
    ASSERT_TRUE(PumpUntil([] { return StatusTextNow() == L"安排已确认，点击前再次对准时间…"; }, 8000)) << Utf16ToUtf8(StatusTextNow());
    PumpUntil([] { return false; }, 2000);  // past the first re-alignment, well before the 10-second mark
    ASSERT_TRUE(TestServiceShiftClock(-1500000, -1500000));
    ASSERT_TRUE(PumpUntil([] { return !App().taskBusy.load(); }, 25000));
    ASSERT_TRUE(PumpUntil([] { return StatusTextNow().rfind(L"触发测试已完成", 0) == 0; }, 2000)) << Utf16ToUtf8(StatusTextNow());
    ASSERT_TRUE(PumpUntil([] { return ClickWindow::downs == 1; }, 3000));
    // The local clock and the service ran together before the shift, so the instant now lies 1.5 s
    // later locally; without the late re-alignment the click would come 1.5 s early.
    const int64_t lateByMs = ClickWindow::lastDownWallUs / 1000 - executeAtMs;
    EXPECT_GT(lateByMs, 1000) << "the click ignored the re-alignment";
    EXPECT_LT(lateByMs, 2000);
    std::lock_guard<std::mutex> lock(App().stateMutex);
    EXPECT_LT(App().timeOffsetMs, -1000);  // the re-alignment was published as well
}

TEST_F(ClickTaskRun, ASlowReAlignmentNeverMakesTheClickLate) {
    // No NTP server answers and every "time" round takes 1.3 s (inside the 1.5 s budget of a round,
    // so each one succeeds, slowly). The first alignment takes about 10 s; the re-alignment after the
    // verification would then take about 6.5 s with about 4.5 s left. It must give up a second before
    // the click, and the task must click on time with the offset it already has.
    SetNtpServersForTesting({"127.0.0.1", "127.0.0.1", "127.0.0.1", "127.0.0.1"}, 9);
    ASSERT_TRUE(TestServiceFault(R"({"action":"time","delay_ms":1300})"));
    int64_t executeAtMs = 0;
    const int64_t taskId = CreateTask(14500, kX, kY, &executeAtMs);
    StartTask(taskId);
    const bool ended = PumpUntil([] { return !App().taskBusy.load(); }, 40000);
    const std::string host = TestSntpHost();
    SetNtpServersForTesting({host, host, host, host}, TestSntpPort());
    ASSERT_TRUE(ended) << Utf16ToUtf8(StatusTextNow());
    ASSERT_TRUE(PumpUntil([] { return StatusTextNow().rfind(L"触发测试已完成", 0) == 0; }, 2000)) << Utf16ToUtf8(StatusTextNow());
    ASSERT_TRUE(PumpUntil([] { return ClickWindow::downs == 1; }, 3000));
    // The service's clock and the local one agree here, so the instant is the same on both. Without the
    // deadline the click came seconds late.
    const int64_t lateByMs = ClickWindow::lastDownWallUs / 1000 - executeAtMs;
    EXPECT_LT(lateByMs, 500) << "the re-alignment outlasted the time before the click";
    EXPECT_GT(lateByMs, -500);
}

// Windows sets its wall clock when it syncs. A step during the wait, with the time servers silent so
// that no fresh alignment can mend it, is taken out of the task's offset at once: the click comes at
// the instant in real time, not 2 s early.
TEST_F(ClickTaskRun, AStepOfTheWallClockDuringTheWaitDoesNotMoveTheClick) {
    int64_t executeAtMs = 0;
    const int64_t taskId = CreateTask(16000, kX, kY, &executeAtMs);
    const int64_t instantMonotonicUs = MonotonicUs() + (executeAtMs * 1000 - WallClockUs());
    StartTask(taskId);
    ASSERT_TRUE(PumpUntil([] { return StatusTextNow() == L"安排已确认，点击前再次对准时间…"; }, 8000)) << Utf16ToUtf8(StatusTextNow());
    SetNtpServersForTesting({"127.0.0.1", "127.0.0.1", "127.0.0.1", "127.0.0.1"}, 9);
    ASSERT_TRUE(TestServiceFault(R"({"action":"time","drop":true})"));
    PumpUntil([&] { return MonotonicUs() > instantMonotonicUs - 12000000; }, 10000);
    ShiftWallClockForTesting(2000000);
    const bool ended = PumpUntil([] { return !App().taskBusy.load(); }, 25000);
    ShiftWallClockForTesting(0);
    const std::string host = TestSntpHost();
    SetNtpServersForTesting({host, host, host, host}, TestSntpPort());
    ASSERT_TRUE(ended);
    ASSERT_TRUE(PumpUntil([] { return ClickWindow::downs == 1; }, 3000)) << Utf16ToUtf8(StatusTextNow());
    const int64_t offByMs = (ClickWindow::lastDownMonotonicUs - instantMonotonicUs) / 1000;
    EXPECT_GT(offByMs, -500) << "the step was not taken out of the offset";
    EXPECT_LT(offByMs, 500);
}

TEST_F(ClickTaskRun, TheCountdownShowsTheSignedInstantOnceVerified) {
    // The claim answer names one instant and the signed instruction another: the signed one is what
    // the click uses, so it is what the countdown must show once the instruction is verified.
    const std::vector<uint8_t> seed = HexToBytes(ServiceDataFile("sign-ed25519.key"));
    ASSERT_EQ(seed.size(), 32u);
    const int64_t taskId = CreateTask(60000);
    const int64_t signedAtMs = WallClockMs() + 4000;
    const std::string instruction =
        "{\"taskId\":" + std::to_string(taskId) + ",\"userId\":" + std::to_string(login.id) +
        ",\"action\":\"single_click\",\"targetX\":" + std::to_string(kX) + ",\"targetY\":" + std::to_string(kY) +
        ",\"executableSha256\":\"" + kHash + "\",\"executeAtMs\":" + std::to_string(signedAtMs) +
        ",\"expiresAtMs\":" + std::to_string(signedAtMs + 60000) + ",\"nonce\":\"n-signed\"}";
    const std::vector<uint8_t> signature = SignWithSeed(instruction, seed, nullptr);
    ASSERT_EQ(signature.size(), 64u);
    const int64_t claimedAtMs = signedAtMs + 30000;
    ASSERT_TRUE(TestServiceFault("{\"action\":\"task.claim\",\"set\":{\"ready\":true,\"execute_at_ms\":" +
                                 std::to_string(claimedAtMs) + ",\"payload\":\"" +
                                 Base64Encode({instruction.begin(), instruction.end()}) + "\",\"signature\":\"" +
                                 Base64Encode(signature) + "\"}}"));
    StartTask(taskId);
    ASSERT_TRUE(PumpUntil([] { return StatusTextNow() == L"安排已确认，点击前再次对准时间…" ||
                                      StatusTextNow() == L"安排已确认，等待点击…"; }, 8000))
        << Utf16ToUtf8(StatusTextNow());
    EXPECT_EQ(Countdown(), signedAtMs);
    ASSERT_TRUE(PumpUntil([] { return !App().taskBusy.load(); }, 15000));
    EXPECT_TRUE(PumpUntil([] { return ClickWindow::downs == 1; }, 3000));
    EXPECT_EQ(Countdown(), 0);
}

namespace {

// What wine cannot show: an elevated target, the lock screen at the instant, a left-handed mouse; and
// what the task asks of the power manager.
struct FakeDesktop {
    static inline std::atomic<bool> elevated{false}, locked{false}, swapped{false};
    static inline std::atomic<int> holds{0}, releases{0}, unthrottled{0}, throttled{0};
    static bool ProcessIntegrity(DWORD processId, DWORD& rid) {
        rid = elevated && processId != GetCurrentProcessId() ? SECURITY_MANDATORY_HIGH_RID : SECURITY_MANDATORY_MEDIUM_RID;
        return true;
    }
    static bool OwnIntegrity(DWORD& rid) {
        rid = SECURITY_MANDATORY_MEDIUM_RID;
        return true;
    }
    static bool InputDesktop() { return !locked; }
    static bool Swapped() { return swapped; }
    static EXECUTION_STATE WINAPI Execution(EXECUTION_STATE state) {
        if (state == (ES_CONTINUOUS | ES_SYSTEM_REQUIRED | ES_DISPLAY_REQUIRED)) ++holds;
        if (state == ES_CONTINUOUS) ++releases;
        return ES_CONTINUOUS;
    }
    static int Saver() { return 0; }
    static bool Throttling(bool on) {
        ++(on ? throttled : unthrottled);
        return true;
    }
    static inline const DesktopSystem kTable{ProcessIntegrity, OwnIntegrity, InputDesktop, Swapped,
                                             Execution,        Saver,        Throttling};
    static void Reset() {
        elevated = locked = swapped = false;
        holds = releases = unthrottled = throttled = 0;
    }
};

}  // namespace

// Just before the click the window at the chosen point must be the confirmed program's: not this
// program's own, not another program raised over the point meanwhile (here a copy of the same program
// started from elsewhere), not a program Windows would not let this one reach, and the desktop must be
// the one taking input; otherwise no click, and the report says why. A pointer moved away in the last
// moments does not move the click. The machine is kept awake while the task waits, and no longer.
TEST_F(ClickTaskRun, AClickGoesOnlyToTheProgramConfirmedAtThePick) {
    TempFolder records, elsewhere;
    const RECT area{700, 480, 1000, 680};
    TargetHelper helper(area, TargetHelper::BuiltProgram(), records.path() / "clicks.txt");
    ASSERT_TRUE(helper.Ready());
    const std::filesystem::path copy = elsewhere.path() / "target-helper.exe";
    ASSERT_TRUE(std::filesystem::copy_file(TargetHelper::BuiltProgram(), copy));
    const POINT point = helper.BodyPoint();
    const POINT inside{point.x - area.left, point.y - area.top};
    const TargetIdentity picked = IdentifyTargetAt(point);  // as the pick identified it
    ASSERT_TRUE(picked.identified);
    SetDesktopSystemForTesting(&FakeDesktop::kTable);
    enum class Meets { Nothing, OwnWindow, OtherProgram, PointerMoved, Elevated, Locked, Swapped };
    const struct {
        const char* name;
        Meets meets;
        const wchar_t* status;  // null: clicked
        std::wstring detail;
    } cases[] = {
        {"the confirmed program under the point", Meets::Nothing, nullptr, L""},
        {"the pointer moved away by another client of the display in the last moments", Meets::PointerMoved, nullptr, L""},
        {"buttons swapped: the right button, which Windows makes the primary click", Meets::Swapped, nullptr, L""},
        {"this program's window raised over it", Meets::OwnWindow, kNotTheTargetStatus, L"点击位置被澄序自己的窗口遮住"},
        {"another program raised over it", Meets::OtherProgram, kNotTheTargetStatus,
         L"点击位置上是其他程序（target-helper.exe）的窗口"},
        {"the program now runs as administrator", Meets::Elevated, kUnreachableStatus,
         L"所选程序此时以管理员身份运行，Windows 会拦下本机点击"},
        {"the lock screen at the instant", Meets::Locked, kDesktopNotOursStatus, kDesktopNotOursDetail},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        {
            std::lock_guard<std::mutex> lock(App().stateMutex);
            App().session.target.click_point = point;
            App().session.target.executable_path = picked.executable_path;
        }
        FakeDesktop::Reset();
        FakeDesktop::elevated = c.meets == Meets::Elevated;
        FakeDesktop::locked = c.meets == Meets::Locked;
        FakeDesktop::swapped = c.meets == Meets::Swapped;
        ClickWindow::downs = 0;
        const size_t pressesBefore = helper.PressPoints().size(), rightBefore = helper.PressPoints("rdown").size();
        int64_t executeAtMs = 0;
        const int64_t taskId = CreateTask(5000, point.x, point.y, &executeAtMs);
        StartTask(taskId);
        ASSERT_TRUE(PumpUntil([] { return StatusTextNow().rfind(L"安排已确认", 0) == 0; }, 8000)) << Utf16ToUtf8(StatusTextNow());
        EXPECT_EQ(FakeDesktop::holds.load(), 1) << "kept awake while waiting";
        EXPECT_EQ(FakeDesktop::unthrottled.load(), 1) << "out of power throttling while waiting";
        EXPECT_EQ(FakeDesktop::releases.load() + FakeDesktop::throttled.load(), 0);
        std::unique_ptr<TargetHelper> other;
        HWND own = nullptr;
        if (c.meets == Meets::OwnWindow)
            own = CreateWindowExW(WS_EX_TOPMOST, L"ClickTaskTestTarget", L"own", WS_POPUP | WS_VISIBLE, area.left,
                                  area.top, 300, 200, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
        if (c.meets == Meets::OtherProgram) {
            other = std::make_unique<TargetHelper>(area, copy, elsewhere.path() / "other-clicks.txt");
            ASSERT_TRUE(other->Ready());
        }
        // Another client of the X display keeps putting the pointer on other points of the same window,
        // every few milliseconds from shortly before the instant until after it (one xdotool run).
        std::thread mover;
        if (c.meets == Meets::PointerMoved)
            mover = std::thread([&] {
                std::wstring moves;
                for (int i = 0; i < 80; ++i)
                    moves += L"mousemove " + std::to_wstring(area.left + 11 + i % 2) + L" " + std::to_wstring(area.top + 11) +
                             L" sleep 0.004 ";
                while (WallClockMs() < executeAtMs - 250) Sleep(5);
                XdotoolHands().Run(moves);
            });
        const bool ended = PumpUntil([] { return !App().taskBusy.load(); }, 15000);
        if (mover.joinable()) mover.join();
        PumpUntil([] { return false; }, 500);
        const std::wstring status = StatusTextNow(), detail = DetailTextNow();
        const std::vector<POINT> presses = helper.PressPoints(), rightPresses = helper.PressPoints("rdown");
        const size_t otherPresses = other ? other->Presses().size() : 0;
        if (own) DestroyWindow(own);
        other.reset();
        ASSERT_TRUE(ended);
        EXPECT_TRUE(PumpUntil([] { return FakeDesktop::releases.load() == 1 && FakeDesktop::throttled.load() == 1; }, 2000))
            << "awake and unthrottled no longer";
        const std::string record = TaskRecord(taskId);
        if (!c.status) {
            EXPECT_EQ(status.rfind(L"触发测试已完成", 0), 0u) << Utf16ToUtf8(status);
            const std::vector<POINT>& landed = c.meets == Meets::Swapped ? rightPresses : presses;
            ASSERT_EQ(landed.size(), (c.meets == Meets::Swapped ? rightBefore : pressesBefore) + 1) << "one press";
            EXPECT_EQ(landed.back().x, inside.x) << "at the chosen point";
            EXPECT_EQ(landed.back().y, inside.y);
            EXPECT_EQ(JsonGetString(record, "result"), "success") << record;
        } else {
            EXPECT_EQ(status, c.status);
            EXPECT_EQ(detail, c.detail);
            EXPECT_EQ(presses.size(), pressesBefore) << "nothing reached the program underneath";
            EXPECT_EQ(otherPresses, 0u) << "nothing reached the program raised over the point";
            EXPECT_EQ(ClickWindow::downs, 0) << "nothing reached this program's window";
            EXPECT_EQ(JsonGetString(record, "result"), "failed") << record;
            EXPECT_EQ(JsonGetString(record, "result_detail"), "未点击：" + Utf16ToUtf8(c.detail)) << record;
        }
    }
    SetDesktopSystemForTesting(nullptr);
    std::lock_guard<std::mutex> lock(App().stateMutex);
    App().session.target.executable_path.clear();
}

// An instruction that comes only after its instant (every claim failing on the way until 3 s after it)
// is not clicked: the others clicked seconds ago. The person and the service learn that this machine
// missed the instant, and why.
TEST_F(ClickTaskRun, AnInstructionThatComesAfterItsInstantIsNotClicked) {
    int64_t executeAtMs = 0;
    const int64_t taskId = CreateTask(2500, kX, kY, &executeAtMs);
    ASSERT_TRUE(TestServiceConfig("{\"release_lead_ms\":600000,\"retry_after_ms\":30000}"));
    ASSERT_TRUE(TestServiceFault(R"({"action":"task.claim","status":503,"ok":false,"message":"领取服务暂停"})"));
    StartTask(taskId);
    ASSERT_TRUE(PumpUntil([&] { return WallClockMs() > executeAtMs + 3000; }, 10000));
    ASSERT_TRUE(TestServiceClearFaults());
    ASSERT_TRUE(WaitForEnd(kMissedInstantStatus, 15000)) << Utf16ToUtf8(StatusTextNow() + L" / " + DetailTextNow());
    const std::wstring detail = DetailTextNow();
    EXPECT_EQ(detail.rfind(L"点击安排在约定时刻之后 ", 0), 0u) << Utf16ToUtf8(detail);
    EXPECT_NE(detail.find(L"超过允许的 50 毫秒"), std::wstring::npos) << Utf16ToUtf8(detail);
    PumpUntil([] { return false; }, 300);
    EXPECT_EQ(ClickWindow::downs, 0);
    const std::string record = TaskRecord(taskId);
    EXPECT_EQ(JsonGetString(record, "result"), "failed") << record;
    EXPECT_EQ(JsonGetString(record, "result_detail"), "未点击：" + Utf16ToUtf8(detail)) << record;
    EXPECT_GE(JsonGetInt64(record, "client_error_ms", 0), 3000) << "how late it would have been";
}

// Runs only inside a copy of this program placed in a folder without a usable signature library
// (started by the next test).
TEST_F(ClickTaskRun, ChildRunWithoutAUsableSignatureLibrary) {
    wchar_t marker[1024] = {};
    const DWORD length = GetEnvironmentVariableW(L"ORVANE_CLICK_CHILD_MARKER", marker, 1024);
    if (!length || length >= 1024) GTEST_SKIP() << "only as a child of AMissingOrBrokenSignatureLibraryEndsTheTask";
    const int64_t taskId = CreateTask(5000);
    StartTask(taskId);
    ASSERT_TRUE(WaitForEnd(kSignatureFailedStatus)) << Utf16ToUtf8(StatusTextNow());
    EXPECT_EQ(DetailTextNow(), kSignatureFailedDetail);
    ExpectNoReport(taskId);
    if (!HasFailure()) WriteFileBytes(marker, std::to_string(taskId));
}

TEST_F(ClickTaskRun, AMissingOrBrokenSignatureLibraryEndsTheTask) {
    if (GetEnvironmentVariableW(L"ORVANE_CLICK_CHILD_MARKER", nullptr, 0)) GTEST_SKIP() << "inside the child";
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    for (const char* variant : {"missing", "broken"}) {
        SCOPED_TRACE(variant);
        TempFolder folder;
        const std::filesystem::path program = folder.path() / "click_task_child.exe";
        ASSERT_TRUE(std::filesystem::copy_file(self, program));
        if (std::string(variant) == "broken") WriteFileBytes(folder.path() / "libsodium.dll", "MZ but nothing else");
        const std::filesystem::path marker = folder.path() / "passed.txt";
        ScopedEnvironment environment(L"ORVANE_CLICK_CHILD_MARKER", marker.wstring());
        const ProcessResult child =
            RunProgram(program, L"--gtest_filter=ClickTaskRun.ChildRunWithoutAUsableSignatureLibrary", 90000);
        ASSERT_TRUE(child.finished);
        EXPECT_EQ(child.exitCode, 0u);
        const std::string taskId = ReadFileBytes(marker);
        ASSERT_FALSE(taskId.empty()) << "the child did not run its checks";
        // The service did release a genuine instruction; only the library was unusable.
        const std::string record = TaskRecord(std::stoll(taskId));
        EXPECT_FALSE(JsonGetString(record, "nonce").empty()) << record;
        EXPECT_FALSE(Consumed(record)) << record;
    }
}
