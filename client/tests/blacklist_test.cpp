// The blacklist check, the gate every task passes, and the developer's blacklist code, against the
// reference service: real HTTPS, the service's real blacklist and its real import of sealed codes,
// real libsodium, the real clipboard and message boxes observed by a watcher.
#include <gtest/gtest.h>

#include <windows.h>

#include <bcrypt.h>

#include <filesystem>
#include <string>

#include "account/login.h"
#include "core/app_state.h"
#include "core/clipboard.h"
#include "core/worker.h"
#include "core/config.h"
#include "core/form_fields.h"
#include "net/json_text.h"
#include "net/service_api.h"
#include "support/dialog_watcher.h"
#include "support/main_window_harness.h"
#include "support/real_input.h"
#include "support/service_control.h"
#include "support/target_helper.h"
#include "support/test_support.h"
#include "target/blacklist_check.h"
#include "target/blacklist_code.h"
#include "target/picker.h"
#include "target/target_identity.h"
#include "target/task_gate.h"

namespace {

// RFC 8032 test 1 public key: a valid Ed25519 point.
constexpr char kTestKeyBase64[] = "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=";

std::string UniqueSuffix() {
    static int counter = 0;
    return std::to_string(GetCurrentProcessId()) + "x" + std::to_string(GetTickCount64() % 1000000) + "x" +
           std::to_string(++counter);
}

// A random 64-digit hash, so that every test has programs of its own on the shared blacklist.
std::string RandomSha256() {
    unsigned char bytes[32];
    BCryptGenRandom(nullptr, bytes, sizeof bytes, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char b : bytes) {
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 15]);
    }
    return text;
}

void SetTarget(bool confirmed, const std::wstring& name, const std::string& hash, POINT point = {640, 400}) {
    std::lock_guard<std::mutex> lock(App().stateMutex);
    App().session.target = TargetSelection{};
    App().session.target.target_confirmed = confirmed;
    App().session.target.click_point = point;
    App().session.target.executable_name = name;
    App().session.target.executable_sha256 = hash;
}

TargetSelection TargetNow() {
    std::lock_guard<std::mutex> lock(App().stateMutex);
    return App().session.target;
}

void SavePurpose(int32_t purpose) {
    std::lock_guard<std::mutex> lock(App().stateMutex);
    App().session.purposeSaved = true;
    App().session.savedPurpose = purpose;
    App().session.modalPanel = ModalPanelKind::None;
}

void WipeClipboardForTest() {
    if (OpenClipboard(nullptr)) {
        EmptyClipboard();
        CloseClipboard();
    }
}

// ---- texts and records -----------------------------------------------------------------------

TEST(BlacklistTexts, CheckBodyAndGateTexts) {
    EXPECT_EQ(BuildAppCheckBody(L"a\"b\\c 记事本.exe", std::string(64, 'f')),
              "{\"executable_name\":\"a\\\"b\\\\c \xE8\xAE\xB0\xE4\xBA\x8B\xE6\x9C\xAC.exe\",\"executable_sha256\":\"" +
                  std::string(64, 'f') + "\"}");
    EXPECT_EQ(ComposeTaskConfirmation(L"加入房间", {-1280, -20}, L"demo.exe", L"教学实验"),
              L"加入房间\n\n点击位置：横向 -1280 / 纵向 -20\n目标软件：demo.exe\n任务用途：教学实验\n"
              L"软件只会为本次操作触发一次，完成后授权立即失效。\n\n确认继续吗？");
    EXPECT_EQ(ComposeTaskConfirmation(L"创建房间", {3, 4}, L"demo.exe", L"软件测试", L"今天 14:15:16"),
              L"创建房间\n\n点击时间：今天 14:15:16\n点击位置：横向 3 / 纵向 4\n目标软件：demo.exe\n任务用途：软件测试\n"
              L"软件只会为本次操作触发一次，完成后授权立即失效。\n\n确认继续吗？");
    EXPECT_EQ(ComposeTaskConfirmation(L"开始同步测试", {3, 4}, L"demo.exe", L"软件测试", L"今天 14:15:16", L"屏保会先启动。"),
              L"开始同步测试\n\n点击时间：今天 14:15:16\n点击位置：横向 3 / 纵向 4\n目标软件：demo.exe\n任务用途：软件测试\n"
              L"软件只会为本次操作触发一次，完成后授权立即失效。\n\n注意：屏保会先启动。\n\n确认继续吗？");
    EXPECT_EQ(ComposeBlockedTaskText(L""),
              L"当前目标软件已被管理员列入黑名单，不能用于创建、加入或同步测试。\n\n"
              L"请更换目标软件；如认为记录有误，请联系管理员核对或删除黑名单记录。");
    EXPECT_EQ(ComposeBlockedTaskText(L"外挂"),
              L"当前目标软件已被管理员列入黑名单，不能用于创建、加入或同步测试。\n\n拦截原因：外挂\n\n"
              L"请更换目标软件；如认为记录有误，请联系管理员核对或删除黑名单记录。");
}

BlacklistCodeInputs CompleteInputs() {
    BlacklistCodeInputs in;
    in.loggedIn = true;
    in.developer = true;
    in.signPublicKey = kTestKeyBase64;
    in.userId = 42;
    in.executableName = L"tool.exe";
    in.executableSha256 = std::string(64, 'a');
    in.displayName = L"工具";
    in.reason = L"测试";
    return in;
}

TEST(BlacklistCodeRules, ChecksInTheirOrder) {
    struct Case {
        const char* what;
        void (*change)(BlacklistCodeInputs&);
        const wchar_t* caption;
    };
    const Case cases[] = {
        {"complete", [](BlacklistCodeInputs&) {}, L""},
        {"signed out", [](BlacklistCodeInputs& in) { in.loggedIn = false; in.developer = false; }, L"暂时不能生成"},
        {"no key", [](BlacklistCodeInputs& in) { in.signPublicKey.clear(); }, L"暂时不能生成"},
        {"no id", [](BlacklistCodeInputs& in) { in.userId = 0; }, L"暂时不能生成"},
        {"not a developer", [](BlacklistCodeInputs& in) { in.developer = false; in.displayName.clear(); }, L"没有开发者权限"},
        {"no program", [](BlacklistCodeInputs& in) { in.executableName.clear(); in.reason.clear(); }, L"尚未选择程序"},
        {"short hash", [](BlacklistCodeInputs& in) { in.executableSha256.pop_back(); }, L"尚未选择程序"},
        {"empty name", [](BlacklistCodeInputs& in) { in.displayName.clear(); }, L"黑名单信息不完整"},
        {"name of 100", [](BlacklistCodeInputs& in) { in.displayName.assign(100, L'名'); }, L""},
        {"name of 101", [](BlacklistCodeInputs& in) { in.displayName.assign(101, L'名'); }, L"黑名单信息不完整"},
        {"empty reason", [](BlacklistCodeInputs& in) { in.reason.clear(); }, L"黑名单信息不完整"},
        {"reason of 255", [](BlacklistCodeInputs& in) { in.reason.assign(255, L'因'); }, L""},
        {"reason of 256", [](BlacklistCodeInputs& in) { in.reason.assign(256, L'因'); }, L"黑名单信息不完整"},
    };
    for (const Case& c : cases) {
        BlacklistCodeInputs in = CompleteInputs();
        c.change(in);
        EXPECT_EQ(CheckBlacklistCodeInputs(in).caption, c.caption) << c.what;
    }
    EXPECT_EQ(CheckBlacklistCodeInputs(CompleteInputs()).text, L"");
    BlacklistCodeInputs incomplete = CompleteInputs();
    incomplete.reason.clear();
    EXPECT_EQ(CheckBlacklistCodeInputs(incomplete).text,
              L"请填写软件显示名称和加入黑名单的原因。\n软件名称最多 100 字，拦截原因最多 255 字。");
}

TEST(BlacklistCodeRules, RecordAndSealedLength) {
    BlacklistCodeInputs in = CompleteInputs();
    in.displayName = L"say \"hi\"\\";
    in.reason = L"line\nbreak";
    const std::string record = BuildBlacklistRecord(in, 1785200000123);
    EXPECT_EQ(record,
              "{\"v\":1,\"displayName\":\"say \\\"hi\\\"\\\\\",\"executableName\":\"tool.exe\",\"executableSha256\":\"" +
                  std::string(64, 'a') +
                  "\",\"blockReason\":\"line\\nbreak\",\"userId\":42,\"issuedAtMs\":1785200000123,"
                  "\"expiresAtMs\":1785804800123}");

    const std::wstring library = (ProgramFolder() / "libsodium.dll").wstring();
    const std::string code = SealForServiceWithLibrary(library, "{\"v\":1}", kTestKeyBase64);
    ASSERT_EQ(code.rfind("QVTR1.", 0), 0u) << code;
    EXPECT_EQ(Base64Decode(code.substr(6)).size(), 7u + 48u);
    EXPECT_NE(SealForServiceWithLibrary(library, "{\"v\":1}", kTestKeyBase64), code) << "a fresh ephemeral key each time";

    // Every failure gives no code.
    TempFolder folder;
    EXPECT_EQ(SealForServiceWithLibrary((folder.path() / "libsodium.dll").wstring(), record, kTestKeyBase64), "");
    EXPECT_EQ(SealForServiceWithLibrary(library, "", kTestKeyBase64), "") << "empty record";
    EXPECT_EQ(SealForServiceWithLibrary(library, record, Base64Encode(std::vector<uint8_t>(31, 7))), "") << "31 bytes";
    EXPECT_EQ(SealForServiceWithLibrary(library, record, "not base64!"), "");
    std::vector<uint8_t> identity(32, 0);
    identity[0] = 1;  // the neutral point: not a key anyone can hold
    EXPECT_EQ(SealForServiceWithLibrary(library, record, Base64Encode(identity)), "") << "invalid point";
}

// ---- the code button without the service -------------------------------------------------------

class BlacklistCodeButton : public testing::Test {
protected:
    void SetUp() override {
        harness_ = std::make_unique<MainWindowHarness>(MainWindowHarness::Run::Offline);
        ASSERT_TRUE(harness_->Alive());
        std::lock_guard<std::mutex> lock(App().stateMutex);
        App().session.logged_in = true;
        App().session.developer_user = true;
        App().session.sign_public_key = kTestKeyBase64;
        App().session.id = 42;
        App().session.blacklistExecutableName = L"tool.exe";
        App().session.blacklistExecutableSha256 = std::string(64, 'b');
    }
    void TearDown() override { harness_.reset(); }

    SeenDialog Generate(DialogWatcher& dialogs) {
        const size_t before = dialogs.Count();
        GenerateBlacklistCode();
        EXPECT_TRUE(dialogs.WaitForCount(before + 1));
        return dialogs.Count() > before ? dialogs.Seen().back() : SeenDialog{};
    }

    std::unique_ptr<MainWindowHarness> harness_;
};

TEST_F(BlacklistCodeButton, FieldsAreReadInFullAndChecked) {
    DialogWatcher dialogs;
    // The picker writes names beyond what the field lets anyone type; they are refused, not cut.
    WriteFormField(FormField::SoftwareName, std::wstring(101, L'长'));
    WriteFormField(FormField::BlacklistReason, L"原因");
    ASSERT_EQ(ReadFormField(FormField::SoftwareName).size(), 101u);
    SeenDialog seen = Generate(dialogs);
    EXPECT_EQ(seen.caption, L"黑名单信息不完整");
    EXPECT_EQ(seen.icon, DialogIcon::Warning);
    EXPECT_EQ(seen.owner, harness_->window());

    WriteFormField(FormField::SoftwareName, std::wstring(100, L'长'));
    WipeClipboardForTest();
    seen = Generate(dialogs);
    EXPECT_EQ(seen.caption, L"黑名单码已复制");
    EXPECT_EQ(seen.text, L"加密黑名单码已复制到剪贴板。\n\n请在 7 天内交给管理员，粘贴到后台“软件黑名单”页面导入。");
    EXPECT_EQ(seen.icon, DialogIcon::Information);
    EXPECT_EQ(ClipboardText(nullptr).rfind(L"QVTR1.", 0), 0u);
    EXPECT_EQ(StatusTextNow(), L"黑名单码已复制，请交给管理员导入");
    EXPECT_EQ(ReadFormField(FormField::BlacklistReason), L"原因") << "the form keeps its fields";

    {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        App().session.developer_user = false;
    }
    EXPECT_EQ(Generate(dialogs).caption, L"没有开发者权限");
}

// Run by WithoutTheLibraryTheCodeFails in a copy of this program in a folder without libsodium.dll.
TEST_F(BlacklistCodeButton, DISABLED_CopyWithoutLibrary) {
    ASSERT_FALSE(std::filesystem::exists(ProgramFolder() / "libsodium.dll"));
    DialogWatcher dialogs;
    WriteFormField(FormField::SoftwareName, L"工具");
    WriteFormField(FormField::BlacklistReason, L"原因");
    const SeenDialog seen = Generate(dialogs);
    EXPECT_EQ(seen.caption, L"生成失败");
    EXPECT_EQ(seen.text, L"加密授权码失败。请确认 libsodium.dll 与软件放在同一文件夹后重试。");
    EXPECT_EQ(seen.icon, DialogIcon::Error);
}

TEST(BlacklistCodeWithoutLibrary, TheCodeIsNotProduced) {
    TempFolder folder;
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::filesystem::path copy = folder.path() / "blacklist_test.exe";
    std::filesystem::copy_file(self, copy);
    const ProcessResult run = RunProgram(
        copy, L"--gtest_also_run_disabled_tests --gtest_filter=BlacklistCodeButton.DISABLED_CopyWithoutLibrary", 60000);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u) << "the copy without libsodium.dll must show 生成失败";
}

// ---- against the reference service -------------------------------------------------------------

class BlacklistFlow : public testing::Test {
protected:
    void SetUp() override {
        if (TestServiceEndpoint().empty()) GTEST_SKIP() << "needs the reference service of the test run";
        TestServiceClearFaults();
        const std::string sntp = TestSntpHost();
        SetNtpServersForTesting({sntp, sntp, sntp, sntp}, TestSntpPort());
        appData_ = std::make_unique<ScopedEnvironment>(L"APPDATA", folder_.path().wstring());
        Watch();
        harness_ = std::make_unique<MainWindowHarness>();
        ASSERT_TRUE(harness_->Alive());
        ASSERT_TRUE(harness_->WaitForStartupCheck());
        ASSERT_TRUE(ServiceReadyNow());
        SetTarget(false, L"", "");
    }
    void TearDown() override {
        // Checks still in flight answer into a state that is reset next.
        PumpUntil([] { return false; }, 50);
        harness_.reset();
        watcher_.reset();
        appData_.reset();
        TestServiceClearFaults();
    }

    // A fresh watcher of the message boxes, answering each with `answer`. One is always watching:
    // a blacklist notice may come with any late check answer.
    DialogWatcher& Watch(int answer = IDOK) {
        watcher_.reset();
        watcher_ = std::make_unique<DialogWatcher>(answer);
        return *watcher_;
    }

    // Signs in through the login form as a new developer account and waits for the preparation.
    void SignInAsDeveloper() {
        const std::string user = "bl" + UniqueSuffix();
        std::string output;
        ASSERT_TRUE(TestServiceCreateDeveloper(user, "developer-pass-1", &output)) << output;
        {
            std::lock_guard<std::mutex> lock(App().stateMutex);
            App().privacyAccepted = true;
        }
        MainWindowHarness::SetText(FormFieldControl(FormField::Account), Utf8ToUtf16(user));
        MainWindowHarness::SetText(FormFieldControl(FormField::Password), L"developer-pass-1");
        StartLogin();
        ASSERT_TRUE(PumpUntil([] { return !AccountBusyNow(); }, 15000));
        ASSERT_TRUE(LoggedInNow()) << Utf16ToUtf8(DetailTextNow());
        ASSERT_TRUE(PumpUntil([this] { return harness_->Received(MSG_PREPARATION_DONE) > 0; }, 15000));
        PumpUntil([] { return false; }, 50);
    }

    static bool CheckAnswered() {
        const std::wstring status = StatusTextNow();
        return status != L"正在检查目标软件…" && status != L"等待连接后检查目标软件" &&
               status != L"软件已连接，正在准备本次使用";
    }

    TempFolder folder_;
    std::unique_ptr<ScopedEnvironment> appData_;
    std::unique_ptr<DialogWatcher> watcher_;
    std::unique_ptr<MainWindowHarness> harness_;
};

TEST_F(BlacklistFlow, BlockedProgramIsCheckedAtLoginAndRefusedEverywhere) {
    const std::string hash = RandomSha256();
    std::string output;
    ASSERT_TRUE(TestServiceAdmin("[\"blacklist-add\",\"" + hash + "\",\"演示环境禁止自动点击\",\"违规工具\"]", &output))
        << output;
    // Chosen before the login: the login's preparation checks it.
    SetTarget(true, L"banned-tool.exe", hash, {-300, 120});
    DialogWatcher& dialogs = Watch();
    SignInAsDeveloper();
    ASSERT_TRUE(PumpUntil([] { return TargetNow().check_ok; }, 15000));

    const TargetSelection target = TargetNow();
    EXPECT_TRUE(target.blocked);
    EXPECT_EQ(target.block_reason, L"演示环境禁止自动点击");
    EXPECT_EQ(JsonGetString(TestServiceLastRequest("app.check"), "body"),
              BuildAppCheckBody(L"banned-tool.exe", hash));

    // The main window tells the user at once.
    ASSERT_TRUE(dialogs.WaitForCount(1));
    EXPECT_EQ(dialogs.Seen()[0].caption, L"检测到黑名单软件");
    EXPECT_EQ(dialogs.Seen()[0].text,
              L"“banned-tool.exe”已被管理员列入黑名单，不能用于同步操作。\n\n拦截原因：演示环境禁止自动点击\n\n"
              L"请重新选择其他软件。如认为记录有误，请联系管理员核对黑名单。");
    EXPECT_EQ(dialogs.Seen()[0].icon, DialogIcon::Error);

    // And the gate refuses every task.
    SavePurpose(0);
    EXPECT_FALSE(ConfirmTaskStart(L"创建房间"));
    ASSERT_EQ(dialogs.Count(), 2u);
    EXPECT_EQ(dialogs.Seen()[1].caption, L"黑名单软件禁止使用");
    EXPECT_EQ(dialogs.Seen()[1].text, ComposeBlockedTaskText(L"演示环境禁止自动点击"));
    EXPECT_EQ(dialogs.Seen()[1].icon, DialogIcon::Error);

    // Checked again (a new pick of the same program): the status lines say why. (After the login
    // the preparation's own status line follows the check.)
    StartBlacklistCheck();
    ASSERT_TRUE(PumpUntil(CheckAnswered, 15000));
    EXPECT_EQ(StatusTextNow(), L"该软件在黑名单中，不能使用");
    EXPECT_EQ(DetailTextNow(), L"拦截原因：演示环境禁止自动点击");
    ASSERT_TRUE(dialogs.WaitForCount(3));
}

TEST_F(BlacklistFlow, AllowedProgramPassesTheGateOnlyWithYes) {
    SignInAsDeveloper();
    {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        App().session.purposeSaved = false;
        App().session.modalPanel = ModalPanelKind::None;
    }
    {
        DialogWatcher& dialogs = Watch();
        // No purpose yet: the purpose panel opens instead of a box.
        EXPECT_FALSE(ConfirmTaskStart(L"创建房间"));
        EXPECT_EQ(StatusTextNow(), L"正在打开本次使用设置");
        {
            std::lock_guard<std::mutex> lock(App().stateMutex);
            EXPECT_EQ(App().session.modalPanel, ModalPanelKind::Purpose);
        }
        SavePurpose(1);
        // No target yet.
        EXPECT_FALSE(ConfirmTaskStart(L"创建房间"));
        // A target whose check has not answered yet.
        SetTarget(true, L"allowed-tool.exe", RandomSha256(), {1234, -56});
        EXPECT_FALSE(ConfirmTaskStart(L"加入房间"));
        ASSERT_TRUE(dialogs.WaitForCount(2));
        EXPECT_EQ(dialogs.Seen()[0].caption, L"澄序");
        EXPECT_EQ(dialogs.Seen()[0].text, L"请先显示悬浮球并确认要点击的位置。");
        EXPECT_EQ(dialogs.Seen()[0].icon, DialogIcon::Warning);
        EXPECT_EQ(dialogs.Seen()[1].caption, L"正在检查软件");
        EXPECT_EQ(dialogs.Seen()[1].text,
                  L"正在向服务器检查目标软件是否在黑名单中，请稍候几秒后再试。\n如果长时间没有结果，请重新选择点击位置。");
        EXPECT_EQ(dialogs.Seen()[1].icon, DialogIcon::Information);
    }

    StartBlacklistCheck();
    EXPECT_EQ(StatusTextNow(), L"正在检查目标软件…");
    ASSERT_TRUE(PumpUntil([] { return TargetNow().check_ok; }, 15000));
    EXPECT_FALSE(TargetNow().blocked);
    EXPECT_EQ(StatusTextNow(), L"目标软件可以使用");
    EXPECT_EQ(DetailTextNow(), L"");

    const std::wstring expected = ComposeTaskConfirmation(L"开始同步测试", {1234, -56}, L"allowed-tool.exe", L"展厅演示");
    for (int answer : {IDNO, DialogWatcher::kPressEnter, IDYES}) {
        DialogWatcher& dialogs = Watch(answer);
        EXPECT_EQ(ConfirmTaskStart(L"开始同步测试"), answer == IDYES) << "Enter alone must not start a task";
        ASSERT_EQ(dialogs.Count(), 1u);
        const SeenDialog seen = dialogs.Seen()[0];
        EXPECT_EQ(seen.caption, L"请确认本次操作");
        EXPECT_EQ(seen.text, expected);
        EXPECT_EQ(seen.icon, DialogIcon::Question);
        EXPECT_EQ(seen.owner, harness_->window());
    }
}

TEST_F(BlacklistFlow, OnlyTheNewestCheckCounts) {
    SignInAsDeveloper();
    const std::string blockedHash = RandomSha256(), allowedHash = RandomSha256();
    ASSERT_TRUE(TestServiceAdmin("[\"blacklist-add\",\"" + blockedHash + "\",\"旧的答复\"]"));

    // Two quick picks of different programs; the first answer is delayed and arrives last.
    ASSERT_TRUE(TestServiceFault("{\"action\":\"app.check\",\"delay_ms\":1500,\"times\":1}"));
    SetTarget(true, L"first.exe", blockedHash);
    StartBlacklistCheck();
    ASSERT_TRUE(PumpUntil([&] { return TestServiceLastRequest("app.check").find(blockedHash) != std::string::npos; }));
    SetTarget(true, L"second.exe", allowedHash);
    StartBlacklistCheck();
    ASSERT_TRUE(PumpUntil([] { return TargetNow().check_ok; }, 15000));
    PumpUntil([] { return false; }, 2000);  // the delayed first answer has come and gone
    TargetSelection target = TargetNow();
    EXPECT_TRUE(target.check_ok);
    EXPECT_FALSE(target.blocked);
    EXPECT_EQ(target.executable_name, L"second.exe");
    EXPECT_EQ(StatusTextNow(), L"目标软件可以使用");
    EXPECT_EQ(harness_->Received(MSG_BLACKLIST_HIT), 0);

    // The same program twice (picked again, or checked again at a login): an older failure answering
    // after the newer success must not undo it.
    // (A request of another program first, so that the service's record shows when the older check
    // of this one has arrived and taken the fault.)
    std::string token;
    {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        token = App().session.token;
    }
    PostServiceAction("app.check", BuildAppCheckBody(L"other.exe", std::string(64, '0')), token, 8000);
    ASSERT_TRUE(TestServiceFault("{\"action\":\"app.check\",\"delay_ms\":1500,\"status\":500,\"times\":1}"));
    SetTarget(true, L"second.exe", allowedHash);
    StartBlacklistCheck();
    ASSERT_TRUE(PumpUntil([&] { return TestServiceLastRequest("app.check").find(allowedHash) != std::string::npos; }));
    StartBlacklistCheck();
    ASSERT_TRUE(PumpUntil([] { return TargetNow().check_ok; }, 15000));
    PumpUntil([] { return false; }, 2000);
    target = TargetNow();
    EXPECT_TRUE(target.check_ok) << "the late failure of the older check was dropped";
    EXPECT_EQ(StatusTextNow(), L"目标软件可以使用");
}

TEST_F(BlacklistFlow, FailuresEndInAClearStatus) {
    SignInAsDeveloper();
    // The service fails.
    ASSERT_TRUE(TestServiceFault("{\"action\":\"app.check\",\"status\":500,\"times\":1}"));
    SetTarget(true, L"tool.exe", RandomSha256());
    StartBlacklistCheck();
    ASSERT_TRUE(PumpUntil(CheckAnswered, 15000));
    EXPECT_EQ(StatusTextNow(), L"暂时无法检查目标软件");
    EXPECT_EQ(DetailTextNow(), L"服务请求失败（错误码 500）");
    EXPECT_FALSE(TargetNow().check_ok);
    {
        DialogWatcher& dialogs = Watch();
        SavePurpose(0);
        EXPECT_FALSE(ConfirmTaskStart(L"创建房间"));
        ASSERT_EQ(dialogs.Count(), 1u);
        EXPECT_EQ(dialogs.Seen()[0].caption, L"正在检查软件") << "a failed check keeps tasks refused";
    }

    // A target without a file name is never left "checking".
    const std::string before = TestServiceLastRequest("app.check");
    SetTarget(true, L"", RandomSha256());
    StartBlacklistCheck();
    EXPECT_EQ(StatusTextNow(), L"暂时无法检查目标软件");
    EXPECT_EQ(DetailTextNow(), L"目标软件没有可用的文件名，请重新选择点击位置");

    // Nor is a check whose worker cannot start.
    SetTarget(true, L"tool.exe", RandomSha256());
    WorkersRefusedForTesting() = true;
    StartBlacklistCheck();
    WorkersRefusedForTesting() = false;
    EXPECT_EQ(StatusTextNow(), L"暂时无法检查目标软件");
    EXPECT_EQ(DetailTextNow(), L"无法启动检查任务，请重新选择点击位置");
    PumpUntil([] { return false; }, 200);
    EXPECT_EQ(TestServiceLastRequest("app.check"), before) << "neither sent a request";

    // Without a session the check waits for the login.
    {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        App().session.token.clear();
    }
    StartBlacklistCheck();
    EXPECT_EQ(StatusTextNow(), L"等待连接后检查目标软件");
}

// A pick of the program picked before is checked anew: the service may have blacklisted it meanwhile,
// and an earlier verdict for the same file must not stand in for its answer.
TEST_F(BlacklistFlow, PickingTheSameProgramAgainAsksTheServiceAgain) {
    SignInAsDeveloper();
    TempFolder programs;
    const std::filesystem::path program = programs.path() / "target-helper.exe";
    ASSERT_TRUE(std::filesystem::copy_file(TargetHelper::BuiltProgram(), program));
    WriteFileBytes(program, ReadFileBytes(program) + RandomSha256());  // a file of its own on the shared list
    const std::string hash = HashFileSha256(program.wstring());
    ASSERT_EQ(hash.size(), 64u);
    TargetHelper helper({1100, 650, 1400, 850}, program);
    ASSERT_TRUE(helper.Ready());
    const auto pick = [&helper] {
        ASSERT_TRUE(OpenPicker(helper.BodyPoint()));
        FinishPicking(true);
        ASSERT_TRUE(PumpUntil([] { return TargetNow().check_ok; }, 15000)) << Utf16ToUtf8(StatusTextNow());
    };
    pick();
    EXPECT_EQ(TargetNow().executable_sha256, hash);
    EXPECT_FALSE(TargetNow().blocked);

    std::string output;
    ASSERT_TRUE(TestServiceAdmin("[\"blacklist-add\",\"" + hash + "\",\"刚刚列入黑名单\"]", &output)) << output;
    DialogWatcher& dialogs = Watch();
    pick();
    EXPECT_TRUE(TargetNow().blocked);
    EXPECT_EQ(StatusTextNow(), L"该软件在黑名单中，不能使用");
    EXPECT_EQ(DetailTextNow(), L"拦截原因：刚刚列入黑名单");
    EXPECT_TRUE(dialogs.WaitForCount(1));
    TestServiceAdmin("[\"blacklist-remove\",\"" + hash + "\"]", &output);
}

TEST_F(BlacklistFlow, CodeFromTheClipboardIsImportedAndThenBlocks) {
    SignInAsDeveloper();
    const std::string hash = RandomSha256();
    // The program picked for the form, then an ordinary pick of another program as the click target:
    // the code names the first.
    {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        App().session.blacklistExecutableName = L"demo-tool.exe";
        App().session.blacklistExecutableSha256 = hash;
    }
    SetTarget(true, L"later-pick.exe", RandomSha256());
    WriteFormField(FormField::SoftwareName, L"演示工具 \"v2\"");
    WriteFormField(FormField::BlacklistReason, L"会自动点击付款按钮");
    WipeClipboardForTest();
    {
        DialogWatcher& dialogs = Watch();
        {
            std::lock_guard<std::mutex> lock(App().stateMutex);
            App().session.purposeSaved = true;
            App().session.modalPanel = ModalPanelKind::None;
        }
        harness_->ShowInFront();
        ClickAt(harness_->ScreenPoint(1045, 700));  // "生成并复制名单码" on the developer card
        ASSERT_TRUE(dialogs.WaitForCount(1));
        ASSERT_EQ(dialogs.Seen()[0].caption, L"黑名单码已复制") << Utf16ToUtf8(dialogs.Seen()[0].text);
    }
    const std::string code = Utf16ToUtf8(ClipboardText(nullptr));
    ASSERT_EQ(code.rfind("QVTR1.", 0), 0u) << code;

    // One character changed: the service cannot open it.
    std::string tampered = code;
    char& c = tampered[tampered.size() / 2];
    c = c == 'A' ? 'B' : 'A';
    std::string output;
    EXPECT_FALSE(TestServiceAdmin("[\"blacklist-import\",\"" + tampered + "\"]", &output)) << output;

    int64_t userId;
    {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        userId = App().session.id;
    }
    ASSERT_TRUE(TestServiceAdmin("[\"blacklist-import\",\"" + code + "\"]", &output)) << output;

    EXPECT_EQ(output, "imported " + hash + "\t演示工具 \"v2\"\tdemo-tool.exe\t会自动点击付款按钮\tby #" +
                          std::to_string(userId));

    SetTarget(true, L"demo-tool.exe", hash);
    StartBlacklistCheck();
    ASSERT_TRUE(PumpUntil([] { return TargetNow().check_ok; }, 15000));
    EXPECT_TRUE(TargetNow().blocked);
    EXPECT_EQ(TargetNow().block_reason, L"会自动点击付款按钮");
}

}  // namespace
