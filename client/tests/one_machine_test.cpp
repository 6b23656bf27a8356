// The synchronisation test as a person runs it on one machine, against the reference service: sign
// in through the window, pick a position over another program's window with the ball, start a test
// 12 s ahead and confirm it with the pointer. The way to the service is as bad as it gets in the field:
// the first claims meet a 503 and the first report is cut off. That program still receives exactly
// one left click, the service records the result with the client's own timing error, the badge is up
// while waiting and shows the outcome after while the window stays down, and the status line names
// the error.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>

#include "account/saved_login.h"
#include "core/app_state.h"
#include "core/clock.h"
#include "net/json_text.h"
#include "support/dialog_watcher.h"
#include "support/main_window_harness.h"
#include "support/person.h"
#include "support/pixels.h"
#include "support/service_control.h"
#include "support/target_helper.h"
#include "support/test_support.h"
#include "timesync/time_of_day.h"
#include "ui/countdown_overlay.h"

namespace {

bool CheckOkNow() {
    std::lock_guard<std::mutex> lock(App().stateMutex);
    return App().session.target.target_confirmed && App().session.target.check_ok && !App().session.target.blocked;
}

int64_t CountdownNow() {
    std::lock_guard<std::mutex> lock(App().stateMutex);
    return App().countdownTargetMs;
}

TEST(OneMachine, SynchronisationTestClicksTheChosenProgramOnce) {
    if (TestServiceEndpoint().empty()) GTEST_SKIP() << "needs the reference service of the test run";
    AimClientAtTestService();
    ASSERT_TRUE(TestServiceConfig("{\"release_lead_ms\":20000,\"retry_after_ms\":30000}"));
    DeleteSavedLogin();
    TempFolder appData;
    ScopedEnvironment roaming(L"APPDATA", appData.path().wstring());
    const std::string email = "one" + UniqueTestSuffix() + "@example.test";
    ASSERT_TRUE(CreateTestEmailAccount(email, "Password-123", 30));

    TempFolder records;
    const RECT helperArea{1250, 800, 1550, 980};
    TargetHelper helper(helperArea, TargetHelper::BuiltProgram(), records.path() / "clicks.txt");
    ASSERT_TRUE(helper.Ready());

    MainWindowHarness harness;
    ASSERT_TRUE(harness.Alive());
    HWND overlay = harness.AddCountdownOverlay();
    ASSERT_NE(overlay, nullptr);
    ASSERT_TRUE(harness.WaitForStartupCheck());
    ASSERT_TRUE(ServiceReadyNow()) << Utf16ToUtf8(DetailTextNow());
    harness.ShowInFront();
    const Person person(harness.window());

    // Sign in, then the purpose the window asks for.
    person.SignIn(Utf8ToUtf16(email), L"Password-123", true);
    ASSERT_TRUE(PumpUntil([] { return LoggedInNow(); }, 15000)) << Utf16ToUtf8(StatusTextNow() + L" " + DetailTextNow());
    ASSERT_TRUE(PumpUntil([&] { return harness.Received(MSG_PREPARATION_DONE) > 0; }, 15000));
    PumpUntil([] { return false; }, 100);
    person.SavePurpose();

    // The position over the helper's window, and the service's word that the program may be used.
    const POINT target = helper.BodyPoint();
    ASSERT_EQ(person.PickPosition(target), "");
    ASSERT_TRUE(PumpUntil(CheckOkNow, 15000)) << Utf16ToUtf8(StatusTextNow() + L" " + DetailTextNow());

    // 12 s ahead, to the second, as the field takes it; the box is answered "是" with the pointer.
    ASSERT_TRUE(TestServiceFault(R"({"action":"task.claim","status":503,"ok":false,"message":"维护中","times":2})"));
    ASSERT_TRUE(TestServiceFault(R"({"action":"task.consume","drop":true,"times":1})"));
    KeepClickTimeToday(13000);
    const int64_t instant = (UnifiedNowMs() + 12000 + 999) / 1000 * 1000;
    DialogWatcher dialogs([](const SeenDialog&) { return DialogAnswer{IDYES, true}; });
    harness.ShowInFront();
    person.StartSyncTest(FormatLocalTimeOfDayMs(instant).substr(0, 8));
    ASSERT_TRUE(PumpUntil([] { return App().taskBusy.load(); }, 10000)) << Utf16ToUtf8(StatusTextNow()) << [&] {
        std::string boxes;  // a refusal comes as a second box
        for (const SeenDialog& box : dialogs.Seen()) boxes += " [" + Utf16ToUtf8(box.caption + L": " + box.text) + "]";
        return boxes;
    }();
    ASSERT_EQ(dialogs.Count(), 1u);
    EXPECT_EQ(dialogs.Seen()[0].caption, L"请确认本次操作");

    // Waiting: the window has made way for the badge, which counts down to the instant. Meanwhile
    // the service fails two claims and the first report (below), and the status says it retries.
    ASSERT_TRUE(PumpUntil([] { return CountdownNow() > 0; }, 10000));
    EXPECT_EQ(CountdownNow(), instant);
    EXPECT_TRUE(PumpUntil([&] { return IsIconic(harness.window()) != FALSE; }, 2000));
    ASSERT_TRUE(PumpUntil([&] { return IsWindowVisible(overlay) != FALSE; }, 2000)) << "the badge is up";
    RECT badge{};
    GetWindowRect(overlay, &badge);
    const PixelImage shown = CaptureScreenRect(badge);
    EXPECT_GT(CountNear(shown, RECT{0, 0, kBadgeWidth, kBadgeHeight}, 0xFF0F1C2F, 24), 500) << "the pill on screen";
    EXPECT_TRUE(helper.Presses().empty()) << "no click before the instant";

    // The click, the report, the end.
    // The slot is freed just before the last status line is written.
    std::wstring claimRetried, reportRetried;  // the status lines while each was sent again
    ASSERT_TRUE(PumpUntil(
        [&] {
            const std::wstring status = StatusTextNow(), detail = DetailTextNow();
            if (detail.rfind(L"网络连接不稳定，正在重试", 0) == 0)
                (status == L"正在提交点击结果…" ? reportRetried : claimRetried) = detail;
            return !App().taskBusy.load() && status.find(L"触发测试") != std::wstring::npos;
        },
        30000))
        << Utf16ToUtf8(StatusTextNow());
    EXPECT_NE(claimRetried.find(L"已重试 2 次）：维护中"), std::wstring::npos) << Utf16ToUtf8(claimRetried);
    EXPECT_NE(reportRetried.find(L"已重试 1 次"), std::wstring::npos) << Utf16ToUtf8(reportRetried);
    EXPECT_EQ(DetailTextNow(), L"") << "the report arrived in the end";
    const std::wstring status = StatusTextNow();
    ASSERT_EQ(status.rfind(L"触发测试已完成，与预定时间相差 ", 0), 0u) << Utf16ToUtf8(status + L" " + DetailTextNow());
    ASSERT_TRUE(PumpUntil([&] { return !helper.Presses().empty(); }, 3000));
    PumpUntil([] { return false; }, 500);
    const std::vector<int64_t> presses = helper.Presses();
    ASSERT_EQ(presses.size(), 1u) << "exactly one left click";
    // The badge now tells the outcome, on its blue mark; the window stays down, out of the way of the
    // program just clicked.
    ASSERT_TRUE(PumpUntil([&] { return IsWindowVisible(overlay) != FALSE; }, 2000)) << "the outcome is on the badge";
    GetWindowRect(overlay, &badge);
    const PixelImage outcome = CaptureScreenRect(badge);
    EXPECT_GT(CountNear(outcome, RECT{13, 13, 35, 35}, 0xFF477CFF, 24), 100) << "the mark of a click";
    EXPECT_TRUE(IsIconic(harness.window()));

    const int64_t taskId = JsonGetInt64(LastRequestBody("task.consume"), "task_id", 0);
    ASSERT_GT(taskId, 0);
    const std::string record = TestServiceRequest("GET", "/__test/task?id=" + std::to_string(taskId)).body;
    EXPECT_EQ(JsonGetString(record, "result"), "success") << record;
    EXPECT_EQ(JsonGetString(record, "kind"), "test") << record;
    EXPECT_EQ(JsonGetInt64(record, "execute_at_ms", 0), instant) << record;
    EXPECT_EQ(JsonGetInt64(record, "target_x", 0), target.x);
    EXPECT_EQ(JsonGetInt64(record, "target_y", 0), target.y);
    const int64_t reportedMs = JsonGetInt64(record, "client_error_ms", INT64_MIN);
    EXPECT_EQ(status, L"触发测试已完成，与预定时间相差 " + std::to_wstring(reportedMs) + L" 毫秒")
        << "the status names the error the service recorded";
    std::printf("[ figures  ] click arrived %+.3f ms from the instant (host clock); the client reported %lld ms\n",
                (presses[0] - instant * 1000) / 1000.0, static_cast<long long>(reportedMs));
}

}  // namespace
