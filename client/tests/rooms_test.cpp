// Rooms and the synchronisation test: their input rules and wire texts as tables over pure
// functions, then each start against the reference service, with the bodies the service received,
// every failure a step can have, and the refusals that come before any request.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <string>

#include "core/app_state.h"
#include "core/clock.h"
#include "core/form_fields.h"
#include "core/globals.h"
#include "core/purpose.h"
#include "core/worker.h"
#include "net/json_text.h"
#include "net/service_api.h"
#include "support/dialog_watcher.h"
#include "support/main_window_harness.h"
#include "support/person.h"
#include "support/service_control.h"
#include "support/target_helper.h"
#include "support/test_support.h"
#include "target/task_gate.h"
#include "tasks/click_task.h"
#include "tasks/room_result.h"
#include "tasks/rooms.h"
#include "tasks/sync_test.h"
#include "tasks/task_request.h"
#include "timesync/time_of_day.h"
#include "ui/payment_address_dialog.h"
#include "ui/screen_layout.h"
#include "ui/ui_resources.h"

namespace {

// ---- input rules --------------------------------------------------------------------------------

TEST(RoomInput, CodesAreUpperCasedThenChecked) {
    struct Case {
        std::wstring typed;
        std::string sent;
        bool valid;
    };
    const Case cases[] = {
        {L"ab-12", "AB-12", true},
        {L"AB_cd", "AB_CD", true},
        {L"abcd", "ABCD", true},
        {L"abc", "ABC", false},                                           // 3 characters
        {L"ABCDEFGHIJKLMNOP", "ABCDEFGHIJKLMNOP", true},                 // 16
        {L"ABCDEFGHIJKLMNOPQ", "ABCDEFGHIJKLMNOPQ", false},              // 17
        {L"AB 12", "AB 12", false},                                       // a blank
        {L"ÄBCD", "\xC3\x84" "BCD", false},                             // a letter outside ASCII
        {L"ＡＢＣＤ", "\xEF\xBC\xA1\xEF\xBC\xA2\xEF\xBC\xA3\xEF\xBC\xA4", false},  // full-width letters
        {L"房间一二", "\xE6\x88\xBF\xE9\x97\xB4\xE4\xB8\x80\xE4\xBA\x8C", false},  // 12 bytes, not ASCII
        {L"AB.12", "AB.12", false},
        {L"", "", false},
    };
    for (const Case& c : cases) {
        const std::string sent = NormaliseRoomCode(c.typed);
        EXPECT_EQ(sent, c.sent) << Utf16ToUtf8(c.typed);
        EXPECT_EQ(IsValidRoomCode(sent), c.valid) << Utf16ToUtf8(c.typed);
    }
}

TEST(RoomInput, ParticipantsAreReadAsADecimalNumberFrom2To100000) {
    struct Case {
        std::wstring text;
        int64_t read;
        bool allowed;
    };
    const Case cases[] = {
        {L"2", 2, true},          {L"1", 1, false},           {L"100000", 100000, true},
        {L"100001", 100001, false}, {L" 42", 42, true},        {L"+7", 7, true},
        {L"-3", -3, false},       {L"abc", 0, false},         {L"", 0, false},
        {L"42abc", 42, true},     {L"0", 0, false},           {L"99999999999999999999999", 0, false},
    };
    for (const Case& c : cases) {
        const int64_t read = ParseParticipants(c.text);
        if (c.read != 0 || c.allowed) {
            EXPECT_EQ(read, c.read) << Utf16ToUtf8(c.text);
        }
        EXPECT_EQ(ParticipantsAllowed(read), c.allowed) << Utf16ToUtf8(c.text);
    }
}

// The click time as the user types it, against a clock the test sets: the room needs 15 s, the
// synchronisation test 10 s, and equality passes.
TEST(RoomInput, LeadTimesAtTheirBoundaries) {
    const int64_t anyDay = 1785200000000;
    const std::optional<int64_t> tenOClock = TimeOfDayToUnifiedMsAt(L"10:00:00", anyDay);
    ASSERT_TRUE(tenOClock);
    struct Case {
        const char* what;
        int64_t nowBefore;  // how long before 10:00:00 "now" is
        int64_t lead;
        bool accepted;
    };
    const Case cases[] = {
        {"room, 15 s ahead", 15000, kRoomLeadMs, true},
        {"room, 14.999 s ahead", 14999, kRoomLeadMs, false},
        {"room, 14 s ahead", 14000, kRoomLeadMs, false},
        {"room, an hour ahead", 3600000, kRoomLeadMs, true},
        {"room, already past", -1000, kRoomLeadMs, false},
        {"test, 10 s ahead", 10000, kSyncTestLeadMs, true},
        {"test, 9 s ahead", 9000, kSyncTestLeadMs, false},
        {"test, 9.999 s ahead", 9999, kSyncTestLeadMs, false},
    };
    for (const Case& c : cases) {
        const int64_t now = *tenOClock - c.nowBefore;
        EXPECT_EQ(ClickTimeFarEnough(TimeOfDayToUnifiedMsAt(L"10:00:00", now), now, c.lead), c.accepted) << c.what;
    }
    EXPECT_FALSE(ClickTimeFarEnough(TimeOfDayToUnifiedMsAt(L"25:00:00", anyDay), anyDay, kRoomLeadMs))
        << "a time that cannot be read";
    EXPECT_FALSE(ClickTimeFarEnough(std::nullopt, anyDay, kSyncTestLeadMs));
    EXPECT_FALSE(ClickTimeFarEnough(INT64_MIN, INT64_MAX, kRoomLeadMs)) << "no wrap-around";
}

// The tests here type click times 30 or 40 s ahead (the one-machine test 12 s): run shortly before
// local midnight, such a time would name tomorrow, which the client rightly refuses.
TEST(RoomInput, TestsWaitOutMidnightBeforeTypingAClickTime) {
    constexpr int64_t kDay = 86400000;
    const struct {
        const char* what;
        int64_t msOfDay, aheadMs, waitMs;
    } cases[] = {
        {"noon", 12 * 3600000, 40000, 0},
        {"a minute before midnight, 40 s ahead", kDay - 60000, 40000, 0},
        {"45 s before midnight, 40 s ahead", kDay - 45000, 40000, 46000},
        {"10 s before midnight, 12 s ahead", kDay - 10000, 12000, 11000},
        {"just after midnight", 500, 40000, 0},
    };
    for (const auto& c : cases) EXPECT_EQ(WaitBeforeClickTimeMs(c.msOfDay, c.aheadMs), c.waitMs) << c.what;
}

TEST(RoomInput, GeneratedCodesFollowTheAccountAndTheMillisecond) {
    struct Case {
        const char* email;
        int64_t ms;
        const char* code;  // SHA-256 of "email|ms", bytes 0–7 modulo 32 (taken with Python's hashlib)
    };
    const Case cases[] = {
        {"person@example.test", 1785200000123, "NX77ZDJ3"},
        {"person@example.test", 1785200000124, "BMYT8YKN"},
        {"other@example.test", 1785200000123, "4BWGFATX"},
        {"a@b.c", -5, "D3D337CB"},
    };
    for (const Case& c : cases) {
        const std::optional<std::string> code = DeriveRoomCode(c.email, c.ms);
        ASSERT_TRUE(code);
        EXPECT_EQ(*code, c.code) << c.email << " " << c.ms;
        EXPECT_TRUE(IsValidRoomCode(*code));
        EXPECT_EQ(DeriveRoomCode(c.email, c.ms), code) << "the same millisecond gives the same code";
    }
}

// A code is read aloud or copied from a projector: none of its characters may pass for another.
TEST(RoomInput, GeneratedCodesAvoidLookAlikeCharacters) {
    std::string seen;
    for (int64_t ms = 1785200000000; ms < 1785200002000; ++ms) {
        const std::optional<std::string> code = DeriveRoomCode("person@example.test", ms);
        ASSERT_TRUE(code);
        ASSERT_EQ(code->find_first_of("0O1I"), std::string::npos) << *code << " at " << ms;
        ASSERT_TRUE(IsValidRoomCode(*code)) << *code;
        seen += *code;
    }
    // Every character of the alphabet turns up, so none is dead weight and none is favoured much.
    for (size_t i = 0; i < kRoomCodeAlphabetSize; ++i) {
        const auto count = std::count(seen.begin(), seen.end(), kRoomCodeAlphabet[i]);
        EXPECT_GT(count, 350) << kRoomCodeAlphabet[i];  // 16,000 characters: 500 each on average
        EXPECT_LT(count, 650) << kRoomCodeAlphabet[i];
    }
}

TEST(RoomInput, PurposesSentAndNamed) {
    struct Case {
        int32_t saved;
        const char* key;
        const wchar_t* label;
    };
    const Case cases[] = {
        {0, "software_testing", L"软件测试"},     {1, "showroom_demo", L"展厅演示"},
        {2, "teaching_experiment", L"教学实验"}, {3, "internal_training", L"内部培训"},
        {-1, "software_testing", L"软件测试"},    {4, "software_testing", L"软件测试"},
    };
    for (const Case& c : cases) {
        const PurposeChoice choice = PurposeOf(c.saved);
        EXPECT_EQ(choice.key, c.key) << c.saved;
        EXPECT_EQ(choice.label, c.label) << c.saved;
    }
}

// ---- wire texts ---------------------------------------------------------------------------------

TEST(RoomWire, BodiesInTheirExactForm) {
    const std::string hash(64, 'a');
    const std::string fields = TaskFieldsText("showroom_demo", {-1920, -5}, L"展台 \"A\"\\b.exe", hash);
    EXPECT_EQ(fields,
              "\"client_platform\":\"windows\",\"purpose\":\"showroom_demo\",\"target_x\":-1920,\"target_y\":-5,"
              "\"executable_name\":\"\xE5\xB1\x95\xE5\x8F\xB0 \\\"A\\\"\\\\b.exe\",\"executable_sha256\":\"" +
                  hash + "\"");
    EXPECT_EQ(RoomCreateBody("AB-12", 1785200000000, 3, fields),
              "{\"room_code\":\"AB-12\",\"execute_at_ms\":1785200000000,\"capacity\":3," + fields + "}");
    EXPECT_EQ(RoomJoinBody("AB-12", fields), "{\"room_code\":\"AB-12\"," + fields + "}");
    EXPECT_EQ(RoomConfirmBody(42, fields), "{\"task_id\":42," + fields + "}");
    EXPECT_EQ(SyncTestBody(1785200000000, fields), "{\"execute_at_ms\":1785200000000," + fields + "}");
}

// The room's result in words: the spread only from two clicks on, the machines that did not click by
// number, the ones still to report while more can come, the uncertainties' bound where it says more
// than the spread, and a room that did not fill.
TEST(RoomWire, TheRoomsResultInWords) {
    const std::string rows = ",\"machines\":[{\"number\":1,\"self\":true,\"state\":\"clicked\",\"detail\":\"\","
                             "\"error_ms\":99,\"shown_uncertainty_ms\":98}]}";
    struct Case {
        const char* what;
        std::string summary;  // the answer's members before the rows
        const wchar_t* status;
        const wchar_t* detail;  // after "本机：房间点击已完成，与约定时间相差 1 毫秒"
    };
    const Case cases[] = {
        {"all clicked, within their uncertainties",
         "\"code\":\"AB12\",\"capacity\":3,\"joined\":3,\"reported\":3,\"clicked\":3,\"waiting_count\":0,"
         "\"complete\":true,\"not_clicked_list\":\"\",\"spread_ms\":4,\"spread_bound_ms\":4",
         L"房间结果：3 台中 3 台已点击，各机自测彼此相差约 4 毫秒", L""},
        {"one missed, uncertainties wider than the spread",
         "\"code\":\"AB12\",\"capacity\":3,\"joined\":3,\"reported\":3,\"clicked\":2,\"waiting_count\":0,"
         "\"complete\":true,\"not_clicked_list\":\"3\",\"spread_ms\":5,\"spread_bound_ms\":40",
         L"房间结果：3 台中 2 台已点击，各机自测彼此相差约 5 毫秒；机器 3 未点击",
         L"；计入各机显示的对时误差，实际最多可能相差 40 毫秒"},
        {"one click so far, two still to report",
         "\"code\":\"AB12\",\"capacity\":3,\"joined\":3,\"reported\":1,\"clicked\":1,\"waiting_count\":2,"
         "\"complete\":false,\"not_clicked_list\":\"\",\"spread_ms\":null,\"spread_bound_ms\":null",
         L"房间结果：3 台中 1 台已点击；2 台尚未报告", L""},
        {"a room not full, machines 2 and 3 of four silent",
         "\"code\":\"AB12\",\"capacity\":5,\"joined\":4,\"reported\":2,\"clicked\":2,\"waiting_count\":0,"
         "\"complete\":true,\"not_clicked_list\":\"2\xE3\x80\x81" "3\",\"spread_ms\":0,\"spread_bound_ms\":null",
         L"房间结果：4 台中 2 台已点击，各机自测彼此相差约 0 毫秒；机器 2、3 未点击", L"；房间 5 台，只有 4 台加入"},
    };
    const std::wstring own = ClickDoneStatus(1, true);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const RoomResult result = ParseRoomResult("{\"ok\":true," + c.summary + rows);
        ASSERT_TRUE(result.read);
        const RoomResultLines lines = DescribeRoomResult(result, own);
        EXPECT_EQ(lines.status, c.status);
        EXPECT_EQ(lines.detail, L"本机：" + own + c.detail);
    }
    // Only a web page is kept for the shell; an answer without the room is no result.
    EXPECT_EQ(ParseRoomResult("{\"ok\":true,\"code\":\"AB12\",\"page_url\":\"https://sync.example.cn/room/x\"}").pageUrl,
              L"https://sync.example.cn/room/x");
    EXPECT_EQ(ParseRoomResult("{\"ok\":true,\"code\":\"AB12\",\"page_url\":\"file:///C:/x.exe\"}").pageUrl, L"");
    EXPECT_FALSE(ParseRoomResult("{\"ok\":true,\"joined\":3}").read);
    // While it waits: a room not full says so (from the claim's answer), a full one or a test says nothing.
    const ClaimAnswer waiting = ParseClaimAnswer("{\"ok\":true,\"ready\":false,\"room_capacity\":2,\"room_joined\":1}");
    EXPECT_EQ(RoomNotFullText(waiting.roomCapacity, waiting.roomJoined),
              L"房间 2 台，领取点击安排时已加入 1 台；约定时刻到时照常点击");
    EXPECT_EQ(RoomNotFullText(2, 2), L"");
    const ClaimAnswer test = ParseClaimAnswer("{\"ok\":true,\"ready\":false}");
    EXPECT_EQ(RoomNotFullText(test.roomCapacity, test.roomJoined), L"");
    // The report's additions come after its fixed members, each only when it has something to say.
    const std::string plain = BuildConsumeBody(42, "n", 3, false);
    EXPECT_EQ(BuildConsumeBody(42, "n", 3, false, L"", {}), plain);
    EXPECT_EQ(BuildConsumeBody(42, "n", 3, false, L"", {7, true}),
              plain.substr(0, plain.size() - 1) + ",\"shown_uncertainty_ms\":7,\"missed_instant\":true}");
    EXPECT_EQ(BuildConsumeBody(42, "n", 3, false, L"", {0, false}),
              plain.substr(0, plain.size() - 1) + ",\"shown_uncertainty_ms\":0}");
}

TEST(RoomWire, OnlyAPositiveTaskIdNamesATask) {
    struct Case {
        const char* body;
        int64_t taskId, executeAtMs;
        bool usable;
    };
    const Case cases[] = {
        {"{\"ok\":true,\"task_id\":42,\"execute_at_ms\":1785200000000}", 42, 1785200000000, true},
        {"{\"ok\":true,\"execute_at_ms\":1785200000000}", 0, 1785200000000, false},
        {"{\"ok\":true,\"task_id\":0}", 0, 0, false},
        {"{\"ok\":true,\"task_id\":-5}", -5, 0, false},
        {"{\"ok\":true,\"task_id\":\"42\"}", 0, 0, false},
        {"{\"ok\":true,\"task_id\":1}", 1, 0, true},
    };
    for (const Case& c : cases) {
        const TaskAnswer answer = ParseTaskAnswer(c.body);
        EXPECT_EQ(answer.taskId, c.taskId) << c.body;
        EXPECT_EQ(answer.executeAtMs, c.executeAtMs) << c.body;
        EXPECT_EQ(answer.usable(), c.usable) << c.body;
    }
}

TEST(RoomWire, TheConfirmedTargetMustStillStandUnchanged) {
    TargetSelection shown;
    shown.target_confirmed = shown.check_ok = true;
    shown.click_point = {10, 20};
    shown.executable_name = L"a.exe";
    shown.executable_sha256 = std::string(64, 'a');
    EXPECT_TRUE(SameUsableTarget(shown, shown));
    struct Case {
        const char* what;
        void (*change)(TargetSelection&);
    };
    const Case cases[] = {
        {"blocked meanwhile", [](TargetSelection& t) { t.blocked = true; }},
        {"check pending again", [](TargetSelection& t) { t.check_ok = false; }},
        {"target cleared", [](TargetSelection& t) { t.target_confirmed = false; }},
        {"another point", [](TargetSelection& t) { t.click_point.y = 21; }},
        {"another program", [](TargetSelection& t) { t.executable_sha256 = std::string(64, 'b'); }},
        {"another name", [](TargetSelection& t) { t.executable_name = L"b.exe"; }},
    };
    for (const Case& c : cases) {
        TargetSelection now = shown;
        c.change(now);
        EXPECT_FALSE(SameUsableTarget(now, shown)) << c.what;
    }
}

// ---- against the reference service --------------------------------------------------------------

constexpr int64_t kNoRequest = -1;

struct Account {
    std::string email, token, signPublicKey;
    int64_t id = 0;
};

Account SignInAtService(const std::string& prefix, int64_t credits) {
    Account account;
    account.email = prefix + UniqueTestSuffix() + "@example.test";
    if (!CreateTestEmailAccount(account.email, "Password-123", credits)) return account;
    const ApiResponse answer =
        PostServiceAction("auth.login", "{\"email\":\"" + account.email + "\",\"password\":\"Password-123\"}", "", 8000);
    std::wstring message;
    if (!EvaluateApiResponse(answer, message)) return account;
    account.token = JsonGetString(answer.body, "token");
    account.signPublicKey = JsonGetString(answer.body, "sign_public_key");
    account.id = JsonGetInt64(answer.body, "id", 0);
    return account;
}

int64_t CountdownNow() {
    std::lock_guard<std::mutex> lock(App().stateMutex);
    return App().countdownTargetMs;
}

int64_t CreditsNow() {
    std::lock_guard<std::mutex> lock(App().stateMutex);
    return App().session.credits;
}

std::string TaskRecord(int64_t taskId) {
    return TestServiceRequest("GET", "/__test/task?id=" + std::to_string(taskId)).body;
}

// A room code no earlier room of the test run has (upper case, at most 14 characters).
std::string FreshRoomCode(const char* prefix) {
    static int counter = 0;
    return std::string(prefix) + std::to_string(GetTickCount64() % 1000000) + "-" + std::to_string(++counter);
}

// A fault for one action, by its JSON members (without "action").
bool Fault(const std::string& action, const std::string& members) {
    return TestServiceFault("{\"action\":\"" + action + "\"," + members + "}");
}

class RoomRequests : public testing::Test {
protected:
    static constexpr POINT kPoint{-40, 25};  // a monitor left of the primary one

    void SetUp() override {
        if (TestServiceEndpoint().empty()) GTEST_SKIP() << "needs the reference service of the test run";
        AimClientAtTestService();
        // The instruction is released at once; each test ends its task at the first claim (below),
        // so no click lands anywhere.
        ASSERT_TRUE(TestServiceConfig("{\"release_lead_ms\":20000,\"retry_after_ms\":30000}"));
        harness_ = std::make_unique<MainWindowHarness>(MainWindowHarness::Run::Offline);
        ASSERT_TRUE(harness_->Alive());
        account_ = SignInAtService("rooms", 100);
        ASSERT_FALSE(account_.token.empty());
        {
            std::lock_guard<std::mutex> lock(App().stateMutex);
            AppState& app = App();
            app.session.logged_in = true;
            app.session.token = account_.token;
            app.session.sign_public_key = account_.signPublicKey;
            app.session.email = account_.email;
            app.session.id = account_.id;
            app.session.credits = 100;
            app.session.purposeSaved = true;
            app.session.savedPurpose = 2;
            app.session.target.target_confirmed = true;
            app.session.target.check_ok = true;
            app.session.target.click_point = kPoint;
            app.session.target.executable_name = L"目标程序.exe";
            app.session.target.executable_sha256 = kHash;
        }
        ASSERT_FALSE(App().taskBusy.load());
    }
    void TearDown() override {
        if (harness_) {
            // Whatever a test started has ended before the next one begins.
            EXPECT_TRUE(PumpUntil([] { return !App().taskBusy.load(); }, 20000));
            PumpUntil([] { return false; }, 50);
        }
        harness_.reset();
        if (!TestServiceEndpoint().empty()) TestServiceClearFaults();
    }

    static std::string Fields() {
        return TaskFieldsText("teaching_experiment", kPoint, L"目标程序.exe", kHash);
    }
    // A click time `aheadS` seconds ahead as the field takes it, and the instant it stands for.
    static int64_t TypeClickTime(FormField field, int aheadS) {
        KeepClickTimeToday(aheadS * 1000LL);
        const int64_t at = (UnifiedNowMs() / 1000 + aheadS) * 1000;
        const std::wstring text = FormatLocalTimeOfDayMs(at).substr(0, 8);
        WriteFormField(field, text);
        return at;
    }
    // Ends the click task at its first claim, without a click.
    static void EndTasksAtTheirFirstClaim() {
        ASSERT_TRUE(Fault("task.claim", "\"ok\":false,\"message\":\"claims closed for this test\""));
    }
    // The latest body the service received for `action`, or "" when it has received none.
    static std::string Last(const std::string& action) { return LastRequestBody(action); }
    // Opens a room of `host`'s as `code`, its click a minute ahead, for the person to join; the room's
    // instant, or 0 when the service refused it (the failure says why).
    static int64_t OpenRoomOf(const Account& host, const std::string& code, int capacity = 2) {
        const int64_t at = (WallClockMs() / 1000 + 60) * 1000;
        std::wstring message;
        const ApiResponse made = PostServiceAction(
            "room.create",
            RoomCreateBody(code, at, capacity, TaskFieldsText("software_testing", {1, 2}, L"x.exe", kHash)),
            host.token, 8000);
        if (EvaluateApiResponse(made, message)) return at;
        ADD_FAILURE() << "the host's room: " << Utf16ToUtf8(message);
        return 0;
    }
    // A room started from its card as the person fills it: the join card with a room `host` opened
    // as `code`, or the create card for a new room `code` of two, 40 s ahead.
    static void StartRoom(bool join, const std::string& code, const Account& host) {
        if (join) {
            ASSERT_NE(OpenRoomOf(host, code), 0);
            WriteFormField(FormField::JoinCode, Utf8ToUtf16(code));
            StartJoinRoom();
        } else {
            WriteFormField(FormField::RoomCode, Utf8ToUtf16(code));
            WriteFormField(FormField::Participants, L"2");
            TypeClickTime(FormField::ClickTime, 40);
            StartCreateRoom();
        }
    }

    static inline const std::string kHash = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    std::unique_ptr<MainWindowHarness> harness_;
    Account account_;
};

// A room created or joined from its card: the code goes as typed in upper case, the service receives
// the room's body, the seat is confirmed for that room, and the confirmation box names the click time
// (a joined room sets its own). Each task ends at its first claim, without a click.
TEST_F(RoomRequests, CreateAndJoinSendTheRoomThenConfirmTheSeat) {
    const struct {
        const char* what;
        bool join;
        const wchar_t* operation;  // as the confirmation box names it
        const wchar_t* sending;
    } cases[] = {
        {"create", false, L"创建房间", L"正在创建房间…"},
        {"join someone else's room", true, L"加入房间", L"正在加入房间…"},
    };
    const Account host = SignInAtService("host", 100);
    ASSERT_FALSE(host.token.empty());
    int started = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DialogWatcher dialogs(IDYES);
        ASSERT_TRUE(TestServiceClearFaults());
        EndTasksAtTheirFirstClaim();
        const std::string code = FreshRoomCode(c.join ? "JN" : "CR");
        std::string typed = code;
        for (char& letter : typed) letter = static_cast<char>(std::tolower(static_cast<unsigned char>(letter)));
        const FormField codeField = c.join ? FormField::JoinCode : FormField::RoomCode;
        int64_t at = 0;
        if (c.join) {
            at = OpenRoomOf(host, code);
            ASSERT_NE(at, 0);
        } else {
            WriteFormField(FormField::Participants, L" 3");
            at = TypeClickTime(FormField::ClickTime, 40);
        }
        WriteFormField(codeField, Utf8ToUtf16(typed));
        c.join ? StartJoinRoom() : StartCreateRoom();
        EXPECT_EQ(StatusTextNow(), c.sending);
        EXPECT_TRUE(App().taskBusy.load()) << "the request holds the task slot";
        EXPECT_EQ(ReadFormField(codeField), Utf8ToUtf16(code)) << "the field shows the code as sent";
        // The countdown shows the room's instant once the task is admitted, until the task ends.
        ASSERT_TRUE(PumpUntil([&] { return CountdownNow() == at || StatusTextNow() == L"无法取得本次点击安排"; }, 15000));
        ASSERT_TRUE(PumpUntil([] { return StatusTextNow() == L"无法取得本次点击安排"; }, 15000))
            << Utf16ToUtf8(StatusTextNow() + L" / " + DetailTextNow());

        EXPECT_EQ(c.join ? Last("room.join") : Last("room.create"),
                  c.join ? RoomJoinBody(code, Fields()) : RoomCreateBody(code, at, 3, Fields()));
        const int64_t seat = JsonGetInt64(Last("room.confirm"), "task_id", 0);
        ASSERT_GT(seat, 0);
        EXPECT_EQ(Last("room.confirm"), RoomConfirmBody(seat, Fields()));
        EXPECT_EQ(Last("task.claim"), "{\"task_id\":" + std::to_string(seat) + ",\"client_platform\":\"windows\"}");
        const std::string record = TaskRecord(seat);
        EXPECT_NE(record.find("\"room_code\":\"" + code + "\""), std::string::npos) << record;
        EXPECT_NE(record.find("\"confirmed\":true"), std::string::npos) << record;
        EXPECT_EQ(CountdownNow(), 0) << "the ended task cleared the countdown";
        ASSERT_EQ(dialogs.Count(), 1u);
        const SeenDialog box = dialogs.Seen()[0];
        EXPECT_EQ(box.caption, L"请确认本次操作");
        // A create says by when the box must be answered: the instant less the room's lead.
        const std::wstring clickTime =
            c.join ? std::wstring(kJoinClickTimeLine)
                   : L"今天 " + FormatLocalTimeOfDayMs(at).substr(0, 8) + L"（请在 " +
                         FormatLocalTimeOfDayMs(at - kRoomLeadMs).substr(0, 8) + L" 之前确认）";
        EXPECT_EQ(box.text, ComposeTaskConfirmation(c.operation, kPoint, L"目标程序.exe", L"教学实验", clickTime));
        EXPECT_EQ(harness_->Received(MSG_TASK_STARTED), ++started);
        ASSERT_TRUE(PumpUntil([] { return !App().taskBusy.load(); }, 5000));
    }
}

// Every step that can fail, with what the user then sees; the slot is free again and no countdown
// is left behind, and nothing is confirmed after a first step that failed.
// Any explanation will do, as long as there is one.
constexpr const wchar_t* kAnyDetail = L"<any>";

TEST_F(RoomRequests, EachFailedStepSaysWhichAndFreesTheSlot) {
    struct Case {
        const char* what;
        bool join;
        const char* action;
        const char* fault;
        const wchar_t* status;
        const wchar_t* detail;  // null: the service's own message "注入的失败"
        bool confirmSent;
    };
    const Case cases[] = {
        {"create refused", false, "room.create", "\"ok\":false,\"message\":\"注入的失败\"", L"创建房间失败", nullptr, false},
        {"create without task_id", false, "room.create", "\"omit\":[\"task_id\"]", L"创建房间失败", kNoTaskIdDetail, false},
        {"create with task_id 0", false, "room.create", "\"set\":{\"task_id\":0}", L"创建房间失败", kNoTaskIdDetail, false},
        {"create with task_id -5", false, "room.create", "\"set\":{\"task_id\":-5}", L"创建房间失败", kNoTaskIdDetail, false},
        {"confirm after create refused", false, "room.confirm", "\"ok\":false,\"message\":\"注入的失败\"", L"房间准备失败",
         nullptr, true},
        {"join refused", true, "room.join", "\"ok\":false,\"message\":\"注入的失败\"", L"加入房间失败", nullptr, false},
        {"join without task_id", true, "room.join", "\"omit\":[\"task_id\"]", L"加入房间失败", kNoTaskIdDetail, false},
        {"confirm after join refused", true, "room.confirm", "\"ok\":false,\"message\":\"注入的失败\"", L"加入后的准备失败",
         nullptr, true},
        // The connection closes without an answer: the step still fails with the transport's own words.
        {"create, connection dropped", false, "room.create", "\"drop\":true", L"创建房间失败", kAnyDetail, false},
        {"join, connection dropped", true, "room.join", "\"drop\":true", L"加入房间失败", kAnyDetail, false},
    };
    DialogWatcher dialogs(IDYES);
    const Account host = SignInAtService("host", 100);
    ASSERT_FALSE(host.token.empty());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(TestServiceClearFaults());
        ASSERT_TRUE(Fault(c.action, c.fault));
        const std::string code = FreshRoomCode("F");
        // A confirm of an earlier case is on record; a new one would replace it.
        const std::string confirmBefore = Last("room.confirm");
        ASSERT_NO_FATAL_FAILURE(StartRoom(c.join, code, host));
        ASSERT_TRUE(PumpUntil([&] { return StatusTextNow() == c.status; }, 15000)) << Utf16ToUtf8(StatusTextNow());
        if (c.detail == kAnyDetail) {
            EXPECT_FALSE(DetailTextNow().empty());
        } else {
            EXPECT_EQ(DetailTextNow(), c.detail ? c.detail : L"注入的失败");
        }
        EXPECT_FALSE(App().taskBusy.load());
        EXPECT_EQ(CountdownNow(), 0);
        const std::string confirmAfter = Last("room.confirm");
        if (c.confirmSent) {
            EXPECT_NE(confirmAfter, confirmBefore) << "the seat was confirmed";
        } else {
            EXPECT_EQ(confirmAfter, confirmBefore) << "nothing was confirmed";
        }
    }
    EXPECT_EQ(harness_->Received(MSG_TASK_STARTED), 0) << "no task started";
}

// The seat is paid for once created or joined: a confirmation lost on the way is sent again, the
// status saying so meanwhile, and the task starts once it arrives.
TEST_F(RoomRequests, AConfirmationLostOnTheWayIsSentAgain) {
    const struct {
        const char* what;
        bool join;
        const char* fault;
        int failures;
    } cases[] = {
        {"create, connection dropped twice", false, "\"drop\":true,\"times\":2", 2},
        {"join, 503 once", true, "\"status\":503,\"ok\":false,\"message\":\"维护中\",\"times\":1", 1},
    };
    DialogWatcher dialogs(IDYES);
    const Account host = SignInAtService("host", 100);
    ASSERT_FALSE(host.token.empty());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(TestServiceClearFaults());
        EndTasksAtTheirFirstClaim();
        ASSERT_TRUE(Fault("room.confirm", c.fault));
        const std::string code = FreshRoomCode("R");
        ASSERT_NO_FATAL_FAILURE(StartRoom(c.join, code, host));
        const std::wstring step = c.join ? L"正在加入房间…" : L"正在创建房间…";
        std::wstring retrying;
        ASSERT_TRUE(PumpUntil(
            [&] {
                if (StatusTextNow() == step && DetailTextNow().rfind(L"网络连接不稳定，正在重试", 0) == 0)
                    retrying = DetailTextNow();
                return StatusTextNow() == L"无法取得本次点击安排";
            },
            20000))
            << Utf16ToUtf8(StatusTextNow() + L" / " + DetailTextNow());
        EXPECT_NE(retrying.find(L"已重试 " + std::to_wstring(c.failures) + L" 次"), std::wstring::npos)
            << Utf16ToUtf8(retrying);
        const int64_t seat = JsonGetInt64(Last("room.confirm"), "task_id", 0);
        ASSERT_GT(seat, 0);
        EXPECT_NE(TaskRecord(seat).find("\"confirmed\":true"), std::string::npos) << TaskRecord(seat);
        EXPECT_NE(TaskRecord(seat).find("\"room_code\":\"" + code + "\""), std::string::npos) << TaskRecord(seat);
        ASSERT_TRUE(PumpUntil([] { return !App().taskBusy.load(); }, 5000));
    }
    EXPECT_EQ(harness_->Received(MSG_TASK_STARTED), 2);
}

// A room of three whose other two machines are simulated at the service: the first clicks 6 ms late
// and showed ±2 ms, the third misses the instant. The person joins from the card with the mouse; once
// every report is in, the status line gives the room's result, the person's report carried the
// uncertainty the screen showed, and "查看房间结果" opens the room's page in the browser, with its
// address offered to copy.
TEST_F(RoomRequests, ARoomOfThreeEndsWithTheRoomsResultAndItsPage) {
    TempFolder folder;
    const std::filesystem::path opened = folder.path() / L"opened.txt";
    ScopedEnvironment recordTo(L"ORVANE_URL_RECORD", opened.wstring());
    HttpsHandler browser(ProgramFolder() / L"url-recorder.exe");
    ASSERT_TRUE(browser.Set());
    // Beside the main window, which stands at the top left.
    TargetHelper target({1250, 800, 1450, 950}, TargetHelper::BuiltProgram(), folder.path() / L"presses.txt");
    ASSERT_TRUE(target.Ready());
    harness_->ChangeState([&](AppState& app) { app.session.target.click_point = target.BodyPoint(); });
    std::mutex shownLock;
    std::wstring addressShown;
    DialogWatcher dialogs([&](HWND dialog, const SeenDialog& seen) {
        if (seen.caption == L"请确认本次操作") return ClickDialogButton(dialog, IDYES);
        std::wstring texts;
        for (int i = 0; i < 60 && texts.find(L"/room/") == std::wstring::npos; ++i, Sleep(50)) texts = DialogTexts(dialog);
        {
            std::lock_guard<std::mutex> guard(shownLock);
            addressShown = texts;
        }
        for (int i = 0; i < 25 && IsWindow(dialog); ++i, Sleep(200)) ClickDialogButton(dialog, IDCLOSE);
    });

    const Account first = SignInAtService("first", 100), third = SignInAtService("third", 100);
    ASSERT_FALSE(first.token.empty() || third.token.empty());
    const std::string code = FreshRoomCode("RS");
    const std::string fields = TaskFieldsText("software_testing", {1, 2}, L"x.exe", kHash);
    const int64_t at = (UnifiedNowMs() / 1000 + 10) * 1000;
    std::wstring message;
    auto seat = [&](const Account& machine, const std::string& action, const std::string& body) {
        const ApiResponse answer = PostServiceAction(action, body, machine.token, 8000);
        EXPECT_TRUE(EvaluateApiResponse(answer, message)) << action << ": " << Utf16ToUtf8(message);
        const int64_t task = JsonGetInt64(answer.body, "task_id", 0);
        EXPECT_TRUE(EvaluateApiResponse(PostServiceAction("room.confirm", RoomConfirmBody(task, fields), machine.token, 8000), message));
        return task;
    };
    const int64_t firstTask = seat(first, "room.create", RoomCreateBody(code, at, 3, fields));
    harness_->ShowInFront();
    Person(harness_->window()).JoinRoom(Utf8ToUtf16(code));
    ASSERT_TRUE(PumpUntil([&] { return CountdownNow() == at; }, 15000)) << Utf16ToUtf8(StatusTextNow() + L" / " + DetailTextNow());
    const int64_t ownTask = JsonGetInt64(Last("room.confirm"), "task_id", 0);
    // The room is not full yet while the person's task claims: the detail line says so.
    EXPECT_TRUE(PumpUntil([] { return DetailTextNow().find(L"房间 3 台，领取点击安排时已加入 2 台；约定时刻到时照常点击") !=
                                      std::wstring::npos; }, 10000))
        << Utf16ToUtf8(StatusTextNow() + L" / " + DetailTextNow());
    const int64_t thirdTask = seat(third, "room.join", RoomJoinBody(code, fields));
    // The others' reports, sent as soon as their instructions are out.
    EXPECT_TRUE(EvaluateApiResponse(PostServiceAction("task.claim", BuildClaimBody(firstTask), first.token, 8000), message));
    EXPECT_TRUE(EvaluateApiResponse(PostServiceAction("task.claim", BuildClaimBody(thirdTask), third.token, 8000), message));
    const std::wstring missed = L"未点击：" + MissedInstantDetail(80, 50, false);
    EXPECT_TRUE(EvaluateApiResponse(
        PostServiceAction("task.consume",
                          BuildConsumeBody(firstTask, JsonGetString(TaskRecord(firstTask), "nonce"), 6, true, L"", {2, false}),
                          first.token, 8000),
        message)) << Utf16ToUtf8(message);
    EXPECT_TRUE(EvaluateApiResponse(
        PostServiceAction("task.consume",
                          BuildConsumeBody(thirdTask, JsonGetString(TaskRecord(thirdTask), "nonce"), 80, false, missed, {3, true}),
                          third.token, 8000),
        message)) << Utf16ToUtf8(message);

    // The person's own click, then the room's result once every report is in.
    ASSERT_TRUE(PumpUntil([] { return StatusTextNow().rfind(L"房间结果：", 0) == 0 &&
                                      StatusTextNow().find(L"尚未报告") == std::wstring::npos; }, 40000))
        << Utf16ToUtf8(StatusTextNow() + L" / " + DetailTextNow());
    EXPECT_EQ(target.Presses().size(), 1u) << "one click on the target";
    const std::string ownReport = Last("task.consume");
    EXPECT_EQ(JsonGetInt64(ownReport, "task_id", 0), ownTask) << ownReport;
    const int64_t ownError = JsonGetInt64(TaskRecord(ownTask), "client_error_ms", -9999);
    const int64_t ownShown = JsonGetInt64(ownReport, "shown_uncertainty_ms", -1);
    EXPECT_GE(ownShown, 1) << "the report carries the uncertainty the screen showed: " << ownReport;
    EXPECT_EQ(ownReport.find("missed_instant"), std::string::npos) << ownReport;
    const int64_t spread = std::llabs(6 - ownError);
    EXPECT_EQ(StatusTextNow(), L"房间结果：3 台中 2 台已点击，各机自测彼此相差约 " + std::to_wstring(spread) +
                                   L" 毫秒；机器 3 未点击");
    EXPECT_EQ(DetailTextNow(), L"本机：" + ClickDoneStatus(ownError, true) + L"；计入各机显示的对时误差，实际最多可能相差 " +
                                   std::to_wstring(spread + 2 + ownShown) + L" 毫秒");

    // The page, from the button under the lines.
    Ui().recordFrameTexts = true;
    harness_->ShowInFront();
    EXPECT_TRUE(FrameDrew(kRoomResultButtonText));
    Ui().recordFrameTexts = false;
    Person(harness_->window()).Click(layout::kRoomResultButton);
    ASSERT_TRUE(PumpUntil([&] { return ReadFileBytes(opened).find("status ") != std::string::npos; }, 15000))
        << ReadFileBytes(opened);
    const std::string record = ReadFileBytes(opened);
    EXPECT_EQ(record.rfind("open https://localhost:", 0), 0u) << record;
    EXPECT_NE(record.find("/room/"), std::string::npos) << record;
    EXPECT_NE(record.find("status 200"), std::string::npos) << record;
    ASSERT_TRUE(dialogs.WaitForCount(2, 10000)) << "the address is offered also when the shell took the page";
    std::lock_guard<std::mutex> guard(shownLock);
    EXPECT_NE(addressShown.find(kRoomResultPageWords.openedInstruction), std::wstring::npos) << Utf16ToUtf8(addressShown);
    EXPECT_NE(addressShown.find(Utf8ToUtf16(record.substr(5, record.find('\n') - 5))), std::wstring::npos)
        << "the very page the browser got: " << Utf16ToUtf8(addressShown);
}

// While a task waits (or a request holds the slot), a new start is refused before it asks the
// service for anything, and the waiting task is left alone.
TEST_F(RoomRequests, BusyRefusesBeforeAnyRequest) {
    const std::string createBefore = Last("room.create"), joinBefore = Last("room.join"),
                      testBefore = Last("match.create");
    WriteFormField(FormField::RoomCode, L"BUSY1");
    WriteFormField(FormField::JoinCode, L"BUSY2");
    TypeClickTime(FormField::ClickTime, 40);
    TypeClickTime(FormField::TestTime, 40);
    {
        DialogWatcher dialogs(IDYES);
        ASSERT_TRUE(ReserveTaskSlot());
        SetCountdownTarget(1785200000000);
        for (void (*start)() : {StartCreateRoom, StartJoinRoom, StartSyncTest}) {
            SetStatus(L"", L"");
            start();
            EXPECT_EQ(StatusTextNow(), kTaskAlreadyRunningStatus);
        }
        PumpUntil([] { return false; }, 300);
        EXPECT_EQ(dialogs.Count(), 0u) << "not even the confirmation box";
        EXPECT_EQ(CountdownNow(), 1785200000000) << "the waiting task's countdown stays";
        EXPECT_TRUE(App().taskBusy.load());
        ReleaseTaskSlot();
        SetCountdownTarget(0);
    }
    {
        // A task that starts while the confirmation box is open: the Yes is refused too.
        DialogWatcher takeSlotThenYes([](const SeenDialog&) {
            ReserveTaskSlot();
            return DialogAnswer{IDYES};
        });
        SetStatus(L"", L"");
        StartSyncTest();
        EXPECT_EQ(StatusTextNow(), kTaskAlreadyRunningStatus);
        EXPECT_EQ(takeSlotThenYes.Count(), 1u);
        ReleaseTaskSlot();
    }
    PumpUntil([] { return false; }, 300);
    EXPECT_EQ(Last("room.create"), createBefore);
    EXPECT_EQ(Last("room.join"), joinBefore);
    EXPECT_EQ(Last("match.create"), testBefore);
}

// The confirmation box runs its own message loop; what happens to the target meanwhile counts.
TEST_F(RoomRequests, ATargetThatChangesWhileTheBoxIsOpenIsNotSent) {
    struct Case {
        const char* what;
        void (*change)(TargetSelection&);
        const wchar_t* caption;
        const wchar_t* text;
    };
    const Case cases[] = {
        {"blacklisted meanwhile",
         [](TargetSelection& t) {
             t.blocked = true;
             t.block_reason = L"测试拦截";
         },
         L"黑名单软件禁止使用", nullptr},
        {"picked again meanwhile",
         [](TargetSelection& t) {
             t.click_point = {500, 500};
             t.check_ok = true;
         },
         L"澄序", kTargetChangedText},
    };
    const std::string testBefore = Last("match.create");
    // The gate on its own must refuse, not only the request after it; and so must the whole start.
    for (const bool gateAlone : {true, false})
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.what) + (gateAlone ? ", the gate alone" : ", the whole start"));
        {
            std::lock_guard<std::mutex> lock(App().stateMutex);
            App().session.target.click_point = kPoint;
            App().session.target.blocked = false;
            App().session.target.block_reason.clear();
        }
        DialogWatcher dialogs([&c](const SeenDialog& seen) {
            if (seen.caption == L"请确认本次操作") {
                std::lock_guard<std::mutex> lock(App().stateMutex);
                c.change(App().session.target);
                return DialogAnswer{IDYES};
            }
            return DialogAnswer{IDOK};
        });
        TypeClickTime(FormField::TestTime, 40);
        if (gateAlone)
            EXPECT_FALSE(ConfirmTaskStart(L"开始同步测试"));
        else
            StartSyncTest();
        ASSERT_TRUE(dialogs.WaitForCount(2));
        const SeenDialog refusal = dialogs.Seen()[1];
        EXPECT_EQ(refusal.caption, c.caption);
        if (c.text) {
            EXPECT_EQ(refusal.text, c.text);
        } else {
            EXPECT_EQ(refusal.text, ComposeBlockedTaskText(L"测试拦截"));
        }
        EXPECT_FALSE(App().taskBusy.load());
    }
    EXPECT_EQ(Last("match.create"), testBefore) << "nothing was sent";
}

// Each card's input is checked when its button is pressed, before the confirmation box: a faulty
// field is named in a box of its own line, the focus goes to the first faulty field, no "是" is asked
// for and nothing is sent.
TEST_F(RoomRequests, BadInputIsExplainedBeforeTheConfirmationAndNothingIsSent) {
    enum class Card { Create, Join, SyncTest };
    struct Case {
        const char* what;
        Card card;
        const wchar_t* code;
        const wchar_t* participants;
        const wchar_t* time;  // null: a time `aheadS` seconds ahead
        int aheadS;
        const wchar_t* caption;
        std::wstring text;
        FormField focused;
    };
    const std::wstring kRoomTooEarly = ClickTimeTooEarlyText(kRoomLeadMs);
    const Case cases[] = {
        {"create, code too short", Card::Create, L"ab1", L"2", nullptr, 40, L"输入错误", kRoomCodeFaultText,
         FormField::RoomCode},
        {"create, a blank in the code", Card::Create, L"ab 12", L"2", nullptr, 40, L"输入错误", kRoomCodeFaultText,
         FormField::RoomCode},
        {"create, one participant", Card::Create, L"GOOD1", L"1", nullptr, 40, L"输入错误", kParticipantsFaultText,
         FormField::Participants},
        {"create, 100001 participants", Card::Create, L"GOOD1", L"100001", nullptr, 40, L"输入错误",
         kParticipantsFaultText, FormField::Participants},
        {"create, 5 s ahead", Card::Create, L"GOOD1", L"2", nullptr, 5, L"时间错误", kRoomTooEarly,
         FormField::ClickTime},
        {"create, no time", Card::Create, L"GOOD1", L"2", L"", 0, L"时间错误", kClickTimeUnreadableText,
         FormField::ClickTime},
        {"create, all three wrong", Card::Create, L"A", L"", nullptr, 5, L"输入错误",
         std::wstring(kRoomCodeFaultText) + L"\n" + kParticipantsFaultText + L"\n" + kRoomTooEarly,
         FormField::RoomCode},
        {"create, participants and time wrong", Card::Create, L"GOOD1", L"0", L"25", 0, L"输入错误",
         std::wstring(kParticipantsFaultText) + L"\n" + kClickTimeUnreadableText, FormField::Participants},
        {"join, code too long", Card::Join, L"ABCDEFGHIJKLMNOPQ", L"2", nullptr, 40, L"输入错误",
         kRoomCodeFaultText, FormField::JoinCode},
        {"join, a bad character", Card::Join, L"ROOM#12", L"2", nullptr, 40, L"输入错误", kRoomCodeFaultText,
         FormField::JoinCode},
        {"test, 5 s ahead", Card::SyncTest, L"", L"2", nullptr, 5, L"时间错误", ClickTimeTooEarlyText(kSyncTestLeadMs),
         FormField::TestTime},
    };
    const std::string createBefore = Last("room.create"), joinBefore = Last("room.join"),
                      testBefore = Last("match.create");
    harness_->ShowInFront();
    const Person person(harness_->window());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DialogWatcher dialogs(IDOK);
        WriteFormField(FormField::RoomCode, c.code);
        WriteFormField(FormField::JoinCode, c.code);
        WriteFormField(FormField::Participants, c.participants);
        if (c.time) {
            WriteFormField(FormField::ClickTime, c.time);
            WriteFormField(FormField::TestTime, c.time);
        } else {
            TypeClickTime(FormField::ClickTime, c.aheadS);
            TypeClickTime(FormField::TestTime, c.aheadS);
        }
        person.Click(c.card == Card::Create ? layout::kCreateRoomButton
                     : c.card == Card::Join ? layout::kJoinRoomButton
                                            : layout::kSyncTestButton);
        ASSERT_TRUE(dialogs.WaitForCount(1));
        PumpUntil([] { return false; }, 100);
        ASSERT_EQ(dialogs.Count(), 1u) << "no confirmation box after the refusal";
        const SeenDialog box = dialogs.Seen()[0];
        EXPECT_EQ(box.caption, c.caption);
        EXPECT_EQ(box.text, c.text);
        EXPECT_EQ(box.icon, DialogIcon::Warning);
        EXPECT_EQ(GetFocus(), FormFieldControl(c.focused)) << "the first faulty field has the focus";
        EXPECT_FALSE(App().taskBusy.load());
    }
    EXPECT_EQ(Last("room.create"), createBefore);
    EXPECT_EQ(Last("room.join"), joinBefore);
    EXPECT_EQ(Last("match.create"), testBefore);
}

// The confirmation box can stand open for a while: a time that came too near meanwhile is refused
// after the "是", and nothing is sent.
TEST_F(RoomRequests, ATimeThatCameTooNearWhileTheBoxStoodOpenIsRefusedAfterTheYes) {
    const std::string testBefore = Last("match.create");
    TypeClickTime(FormField::TestTime, 12);
    DialogWatcher dialogs([](const SeenDialog& seen) {
        // The person reads the box for three seconds: the test time is now less than 10 s ahead.
        if (seen.caption == L"请确认本次操作") {
            Sleep(3000);
            return DialogAnswer{IDYES};
        }
        return DialogAnswer{IDOK};
    });
    StartSyncTest();
    ASSERT_TRUE(dialogs.WaitForCount(2));
    EXPECT_EQ(dialogs.Seen()[1].caption, L"时间错误");
    EXPECT_EQ(dialogs.Seen()[1].text, ClickTimeTooEarlyText(kSyncTestLeadMs));
    EXPECT_FALSE(App().taskBusy.load());
    EXPECT_EQ(Last("match.create"), testBefore);
}

TEST_F(RoomRequests, SignedOutStartsAndCodes) {
    {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        App().session.logged_in = false;
    }
    const std::string createBefore = Last("room.create"), joinBefore = Last("room.join"),
                      testBefore = Last("match.create");
    {
        DialogWatcher dialogs(IDYES);
        WriteFormField(FormField::RoomCode, L"SIGNED-OUT");
        TypeClickTime(FormField::ClickTime, 40);
        StartCreateRoom();
        ASSERT_EQ(dialogs.Count(), 2u);
        EXPECT_EQ(dialogs.Seen()[1].caption, L"澄序");
        EXPECT_EQ(dialogs.Seen()[1].text, L"尚未连接服务，请稍后重试。");
        EXPECT_EQ(dialogs.Seen()[1].icon, DialogIcon::Warning);
        WriteFormField(FormField::JoinCode, L"SIGNED-OUT");
        StartJoinRoom();
        ASSERT_EQ(dialogs.Count(), 4u);
        EXPECT_EQ(dialogs.Seen()[3].text, L"尚未连接服务，请稍后重试。");

        // The test says nothing: the sign-in form is what the user sees next.
        SetStatus(L"unchanged", L"");
        TypeClickTime(FormField::TestTime, 40);
        StartSyncTest();
        PumpUntil([] { return false; }, 200);
        EXPECT_EQ(dialogs.Count(), 5u) << "only the confirmation";
        EXPECT_EQ(StatusTextNow(), L"unchanged");

        WriteFormField(FormField::RoomCode, L"");
        GenerateRoomCode();
        ASSERT_EQ(dialogs.Count(), 6u);
        EXPECT_EQ(dialogs.Seen()[5].text, L"请稍候，正在登录并对准时间。");
        EXPECT_EQ(dialogs.Seen()[5].icon, DialogIcon::Warning);
        EXPECT_EQ(ReadFormField(FormField::RoomCode), L"");
    }
    EXPECT_EQ(Last("room.create"), createBefore);
    EXPECT_EQ(Last("room.join"), joinBefore);
    EXPECT_EQ(Last("match.create"), testBefore);
    EXPECT_FALSE(App().taskBusy.load());

    // Signed in, "自动生成房间号" pressed with the pointer: each press a new code, none with a
    // character that passes for another.
    harness_->ChangeState([](AppState& app) { app.session.logged_in = true; });
    harness_->ShowInFront();
    const Person person(harness_->window());
    std::wstring previous;
    for (int press = 0; press < 4; ++press) {
        SCOPED_TRACE(press);
        SetStatus(L"before the press", L"");
        person.Click(layout::kRoomCodeButton);
        ASSERT_TRUE(PumpUntil([&] { return ReadFormField(FormField::RoomCode) != previous; }, 3000))
            << Utf16ToUtf8(StatusTextNow());
        previous = ReadFormField(FormField::RoomCode);
        const std::string code = NormaliseRoomCode(previous);
        EXPECT_EQ(code.size(), 8u);
        EXPECT_TRUE(IsValidRoomCode(code)) << code;
        EXPECT_EQ(code.find_first_of("0O1I"), std::string::npos) << code;
        EXPECT_EQ(StatusTextNow(), L"已生成 8 位随机房间号");
        Sleep(3);  // the next press falls in another millisecond
    }
}

TEST_F(RoomRequests, SyncTestShowsTheServicesBalance) {
    struct Case {
        const char* what;
        const char* fault;  // on match.create; null: none
        int64_t credits;    // the balance shown afterwards
    };
    const Case cases[] = {
        {"the service's balance after the charge", nullptr, 99},
        {"a balance of 7 in the answer", "\"set\":{\"credits\":7}", 7},
        {"no balance in the answer", "\"omit\":[\"credits\"]", 7},
    };
    DialogWatcher dialogs(IDYES);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(TestServiceClearFaults());
        EndTasksAtTheirFirstClaim();
        if (c.fault) {
            ASSERT_TRUE(Fault("match.create", c.fault));
        }
        const int64_t at = TypeClickTime(FormField::TestTime, 30);
        StartSyncTest();
        EXPECT_EQ(StatusTextNow(), L"正在开始同步测试…");
        ASSERT_TRUE(PumpUntil([] { return StatusTextNow() == L"无法取得本次点击安排"; }, 15000))
            << Utf16ToUtf8(StatusTextNow() + L" / " + DetailTextNow());
        EXPECT_EQ(Last("match.create"), SyncTestBody(at, Fields()));
        EXPECT_EQ(CreditsNow(), c.credits);
    }
}

TEST_F(RoomRequests, EachFailedSyncTestSaysWhyAndFreesTheSlot) {
    struct Case {
        const char* what;
        const char* fault;      // on match.create
        const wchar_t* detail;  // null: any explanation, as long as there is one
        int64_t credits;        // the balance shown afterwards
        bool noWorker = false;  // no thread to send the request on
    };
    const Case cases[] = {
        {"refused", "\"ok\":false,\"message\":\"注入的失败\"", L"注入的失败", 100},
        {"without task_id", "\"omit\":[\"task_id\"],\"set\":{\"credits\":55}", kNoTaskIdDetail, 55},
        {"with task_id 0", "\"set\":{\"task_id\":0,\"credits\":54}", kNoTaskIdDetail, 54},
        {"connection dropped", "\"drop\":true", nullptr, 54},
        {"no worker to send it", "", kTaskNotStartedText, 54, true},
    };
    DialogWatcher dialogs(IDYES);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(TestServiceClearFaults());
        if (*c.fault) {
            ASSERT_TRUE(Fault("match.create", c.fault));
        }
        const std::string claimBefore = Last("task.claim"), requestBefore = Last("match.create");
        TypeClickTime(FormField::TestTime, 30);
        WorkersRefusedForTesting() = c.noWorker;
        StartSyncTest();
        WorkersRefusedForTesting() = false;
        ASSERT_TRUE(PumpUntil([] { return StatusTextNow() == L"同步测试失败"; }, 15000)) << Utf16ToUtf8(StatusTextNow());
        if (c.detail) {
            EXPECT_EQ(DetailTextNow(), c.detail);
        } else {
            EXPECT_FALSE(DetailTextNow().empty());
        }
        EXPECT_FALSE(App().taskBusy.load());
        EXPECT_EQ(CountdownNow(), 0);
        EXPECT_EQ(CreditsNow(), c.credits) << "a charge the answer names is shown even when the test fails";
        EXPECT_EQ(Last("task.claim"), claimBefore) << "no task was claimed";
        if (c.noWorker) {
            EXPECT_EQ(Last("match.create"), requestBefore) << "nothing was sent";
        }
    }
    EXPECT_EQ(harness_->Received(MSG_TASK_STARTED), 0) << "no task started";
}

// The service's instruction names the session and the target the request was sent with; a new pick
// or a new sign-in while the request is on its way does not change what the task claims and checks,
// and the balance and rights of the test's answer stay with the session that paid.
TEST_F(RoomRequests, ATaskKeepsTheSessionAndTargetItsRequestWasSentWith) {
    // Someone else's room to join.
    const Account host = SignInAtService("host", 100);
    ASSERT_FALSE(host.token.empty());
    const std::string hostCode = FreshRoomCode("KS");
    ASSERT_NE(OpenRoomOf(host, hostCode, 3), 0);

    struct Case {
        const char* what;
        const char* action;  // the request that is slowed down
        void (*start)();
        const wchar_t* sending;
    };
    const Case cases[] = {
        {"synchronisation test", "match.create", StartSyncTest, L"正在开始同步测试…"},
        {"create", "room.create", StartCreateRoom, L"正在创建房间…"},
        {"join", "room.join", StartJoinRoom, L"正在加入房间…"},
    };
    DialogWatcher dialogs(IDYES);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(TestServiceClearFaults());
        {
            std::lock_guard<std::mutex> lock(App().stateMutex);
            App().session.token = account_.token;
            App().session.credits = 100;
            App().session.developer_user = false;
            App().session.target.click_point = kPoint;
            App().session.target.executable_sha256 = kHash;
        }
        ASSERT_TRUE(Fault(c.action, "\"delay_ms\":1500,\"set\":{\"credits\":61,\"developer_user\":true}"));
        EndTasksAtTheirFirstClaim();
        TypeClickTime(FormField::TestTime, 30);
        TypeClickTime(FormField::ClickTime, 40);
        WriteFormField(FormField::RoomCode, Utf8ToUtf16(FreshRoomCode("KC")));
        WriteFormField(FormField::Participants, L"2");
        WriteFormField(FormField::JoinCode, Utf8ToUtf16(hostCode));
        const std::string claimBefore = TestServiceLastRequest("task.claim");
        c.start();
        ASSERT_EQ(StatusTextNow(), c.sending);
        {
            std::lock_guard<std::mutex> lock(App().stateMutex);
            App().session.token = "a-session-signed-in-meanwhile";
            App().session.credits = 5;
            App().session.target.click_point = {300, 300};
            App().session.target.executable_sha256 = std::string(64, 'c');
        }
        ASSERT_TRUE(PumpUntil([] { return StatusTextNow() == L"无法取得本次点击安排"; }, 15000))
            << Utf16ToUtf8(StatusTextNow() + L" / " + DetailTextNow());
        const std::string claim = TestServiceLastRequest("task.claim");
        EXPECT_NE(claim, claimBefore) << "the task claimed";
        EXPECT_NE(claim.find("Bearer " + account_.token), std::string::npos) << claim;
        EXPECT_EQ(claim.find("a-session-signed-in-meanwhile"), std::string::npos) << claim;
        std::lock_guard<std::mutex> lock(App().stateMutex);
        EXPECT_EQ(App().countdownPoint.x, kPoint.x) << "the badge stays on the monitor of the task's point";
        EXPECT_EQ(App().countdownPoint.y, kPoint.y);
        EXPECT_EQ(App().session.credits, 5) << "the balance of the answer belongs to the session that paid";
        EXPECT_FALSE(App().session.developer_user) << "and so do its rights";
    }
}

// The badge comes up with the first claim answer when the test's own answer named no time.
TEST_F(RoomRequests, ABadgeForACountdownLearntOnlyFromTheClaim) {
    HWND overlay = harness_->AddCountdownOverlay();
    ASSERT_NE(overlay, nullptr);
    Globals().selfTest = false;  // the task-started message is answered as in a real run
    DialogWatcher dialogs(IDYES);
    ASSERT_TRUE(Fault("match.create", "\"omit\":[\"execute_at_ms\"]"));
    // Not released yet: the first claim answers with the time and a retry hint, the second fails.
    ASSERT_TRUE(TestServiceConfig("{\"release_lead_ms\":1000,\"retry_after_ms\":300}"));
    const int64_t at = TypeClickTime(FormField::TestTime, 30);
    StartSyncTest();
    ASSERT_TRUE(PumpUntil([] { return App().taskBusy.load() && CountdownNow() == 0; }, 1000));
    ASSERT_TRUE(PumpUntil([&] { return CountdownNow() == at; }, 15000)) << Utf16ToUtf8(StatusTextNow());
    EXPECT_TRUE(PumpUntil([&] { return IsWindowVisible(overlay) != FALSE; }, 2000))
        << "the badge shows once the claim named the time";
    EXPECT_TRUE(IsIconic(harness_->window())) << "the main window gave way to the badge";
    EndTasksAtTheirFirstClaim();
    ASSERT_TRUE(PumpUntil([] { return !App().taskBusy.load(); }, 15000));
    // Once the task ended the badge tells its outcome instead (for a few seconds, see the overlay's
    // own tests): no click here.
    EXPECT_EQ(CountdownNow(), 0);
    PumpUntil([] { return false; }, 300);
    EXPECT_TRUE(IsWindowVisible(overlay)) << "the outcome is on the badge";
    std::lock_guard<std::mutex> lock(App().stateMutex);
    EXPECT_EQ(App().taskOutcomeText, OutcomeBadgeText(false, 0));
    App().taskOutcomeUntilUs = 0;
}

}  // namespace
