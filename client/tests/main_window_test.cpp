// The real main window, created in this test process: creation, the private messages, the timer, the
// time fields and the edit guard.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <memory>
#include <thread>

#include "app/main_window.h"
#include "app/startup.h"
#include "core/app_state.h"
#include "core/clipboard.h"
#include "core/form_fields.h"
#include "core/globals.h"
#include "net/json_text.h"
#include "support/dialog_watcher.h"
#include "support/main_window_harness.h"
#include "support/real_input.h"
#include "support/test_support.h"
#include "target/blacklist_notice.h"
#include "timesync/time_of_day.h"
#include "ui/child_controls.h"
#include "ui/countdown_overlay.h"
#include "ui/field_rules.h"
#include "ui/click_regions.h"
#include "ui/main_window_events.h"
#include "ui/screen_layout.h"
#include "ui/time_field.h"
#include "ui/ui_resources.h"

namespace {

std::wstring TextOf(HWND window) {
    wchar_t buffer[512] = {};
    GetWindowTextW(window, buffer, 512);
    return buffer;
}


class MainWindowTest : public testing::Test {
protected:
    TempFolder appData;
    ScopedEnvironment appDataVariable{L"APPDATA", appData.path().wstring()};
    std::unique_ptr<MainWindowHarness> harness;
    HWND window = nullptr;

    void Open(bool selfTest) {
        harness = std::make_unique<MainWindowHarness>(selfTest ? MainWindowHarness::Run::Offline
                                                               : MainWindowHarness::Run::Interactive);
        window = harness->window();
        ASSERT_NE(window, nullptr);
    }
    void TearDown() override { harness.reset(); }
};

}  // namespace

TEST_F(MainWindowTest, CreatesTheTwelveControlsWithTheirTextsAndLimits) {
    Open(true);
    AppState& app = App();
    EXPECT_EQ(app.mainWindow.load(), window);
    struct Expect {
        HWND control;
        const wchar_t* text;  // null: the default time text
        LRESULT limit;
        DWORD style;
    } expected[] = {
        {FormFieldControl(FormField::RoomCode), L"", 16, 0},          {FormFieldControl(FormField::ClickTime), nullptr, 8, 0},
        {FormFieldControl(FormField::Participants), L"2", 6, ES_NUMBER}, {FormFieldControl(FormField::JoinCode), L"", 16, 0},
        {FormFieldControl(FormField::TestTime), nullptr, 8, 0},       {FormFieldControl(FormField::SoftwareName), L"", 100, 0},
        {FormFieldControl(FormField::BlacklistReason), L"", 255, 0},  {FormFieldControl(FormField::Account), L"", 190, 0},
        {FormFieldControl(FormField::Password), L"", 200, ES_PASSWORD}, {FormFieldControl(FormField::EmailCode), L"", 6, ES_NUMBER},
        {FormFieldControl(FormField::Amount), L"10", 8, 0},
    };
    for (const Expect& e : expected) {
        ASSERT_NE(e.control, nullptr);
        EXPECT_EQ(GetParent(e.control), window);
        if (e.text) EXPECT_EQ(TextOf(e.control), e.text);
        else EXPECT_TRUE(ParseTimeOfDay(TextOf(e.control)).has_value()) << "a canonical time of day";
        EXPECT_EQ(SendMessageW(e.control, EM_GETLIMITTEXT, 0, 0), e.limit);
        EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(e.control, GWL_STYLE)) & e.style, e.style);
        EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageW(e.control, WM_GETFONT, 0, 0)), Ui().uiFont.get());
    }
    ASSERT_NE(Ui().purposeCombo, nullptr);
    EXPECT_EQ(SendMessageW(Ui().purposeCombo, CB_GETCOUNT, 0, 0), 4);
    EXPECT_EQ(SendMessageW(Ui().purposeCombo, CB_GETCURSEL, 0, 0), 0);
    EXPECT_FALSE(IsWindowVisible(Ui().purposeCombo));
}

TEST_F(MainWindowTest, SelfTestRunSaysSoRegistersNoHotkeyAndIgnoresTaskStart) {
    Open(true);
    ShowWindow(window, SW_SHOW);
    EXPECT_EQ(StatusTextNow(), L"软件正在自检");
    {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        EXPECT_FALSE(App().hotkeyRegistered);
    }
    SendMessageW(window, MSG_TASK_STARTED, 0, 0);
    EXPECT_FALSE(IsIconic(window));
}

TEST_F(MainWindowTest, InteractiveRunRegistersTheHotkeyAndMinimisesOnTaskStart) {
    Open(false);
    ShowWindow(window, SW_SHOW);
    {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        EXPECT_TRUE(App().hotkeyRegistered);
    }
    EXPECT_NE(DetailTextNow(), L"窗口唤起快捷键已被其他程序占用，请在个人中心重新设置");
    SendMessageW(window, MSG_TASK_STARTED, 0, 0);
    EXPECT_TRUE(IsIconic(window));
}

TEST_F(MainWindowTest, ATakenWakeHotkeyStillOpensTheWindowWithTheConflictText) {
    HWND other = CreateWindowExW(0, L"STATIC", L"holder", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    ASSERT_TRUE(RegisterHotKey(other, 7, MOD_CONTROL | MOD_ALT | MOD_NOREPEAT, 'Q'));
    Open(false);
    EXPECT_EQ(DetailTextNow(), L"窗口唤起快捷键已被其他程序占用，请在个人中心重新设置");
    {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        EXPECT_FALSE(App().hotkeyRegistered);
    }
    UnregisterHotKey(other, 7);
    DestroyWindow(other);
}

TEST_F(MainWindowTest, TimeAlignmentRefreshesOnlyTheFieldsTheUserLeftAlone) {
    Open(true);
    AppState& app = App();
    // The user types into the click time field; the test time field is untouched.
    SetWindowTextW(FormFieldControl(FormField::ClickTime), L"235959");
    EXPECT_EQ(TextOf(FormFieldControl(FormField::ClickTime)), L"23:59:59");
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        EXPECT_TRUE(app.clickTimeEdited);
        EXPECT_FALSE(app.testTimeEdited);
    }
    // A fresh alignment three hours ahead: the untouched field gets the new default time.
    PublishTimeAlignment(3 * 3600 * 1000, L"本机直连标准时间", 1);
    SendMessageW(window, MSG_TIME_ALIGNED, 0, 0);
    EXPECT_EQ(TextOf(FormFieldControl(FormField::ClickTime)), L"23:59:59");
    const std::wstring expected = DefaultTimeText();
    const std::wstring shown = TextOf(FormFieldControl(FormField::TestTime));
    EXPECT_TRUE(shown == expected || shown == DefaultTimeTextAt(UnifiedNowMs() - 1000)) << "shown " << shown;
    // The program's own writes never count as user input.
    std::lock_guard<std::mutex> lock(app.stateMutex);
    EXPECT_FALSE(app.testTimeEdited);
}

// The dashboard left open: a proposed time that has run out is proposed anew at the next tick, while
// a time the person typed, or a field the person is in, stays as it is.
TEST_F(MainWindowTest, AnUntouchedDefaultTimeIsProposedAnewOnceAStartWouldRefuseIt) {
    Open(true);
    harness->ChangeState([](AppState& app) {
        app.session.logged_in = true;
        app.session.purposeSaved = true;
    });
    UpdateChildControls();
    harness->ShowInFront();
    HWND click = FormFieldControl(FormField::ClickTime), test = FormFieldControl(FormField::TestTime);
    KeepClickTimeToday(130000);
    const std::wstring stale = DefaultTimeTextAt(UnifiedNowMs() - 125000);  // five seconds ago
    const std::wstring soon = DefaultTimeTextAt(UnifiedNowMs() - 108000);  // twelve seconds ahead
    struct Case {
        const char* what;
        const std::wstring& shown;
        bool typed, focused, clickRenewed, testRenewed;
    } cases[] = {
        {"in the past", stale, false, false, true, true},
        {"too close for a room, enough for a test", soon, false, false, true, false},
        {"typed by the person", stale, true, false, false, false},
        {"the person is in the click time field", stale, false, true, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        {
            std::lock_guard<std::mutex> lock(App().stateMutex);
            App().clickTimeEdited = App().testTimeEdited = false;
        }
        {
            ProgrammaticEdit guard;
            SetWindowTextW(click, c.shown.c_str());
            SetWindowTextW(test, c.shown.c_str());
        }
        if (c.typed) {
            SetWindowTextW(click, c.shown.c_str());
            SetWindowTextW(test, c.shown.c_str());
        }
        SetFocus(c.focused ? click : FormFieldControl(FormField::RoomCode));
        ASSERT_EQ(GetFocus() == click, c.focused);
        ASSERT_NE(GetFocus(), test);
        SendMessageW(window, WM_TIMER, 1, 0);
        const auto renewed = [](HWND field) {
            const std::wstring shown = TextOf(field);
            return shown == DefaultTimeText() || shown == DefaultTimeTextAt(UnifiedNowMs() - 1000);
        };
        EXPECT_EQ(renewed(click), c.clickRenewed) << Utf16ToUtf8(TextOf(click));
        EXPECT_EQ(renewed(test), c.testRenewed) << Utf16ToUtf8(TextOf(test));
        std::lock_guard<std::mutex> lock(App().stateMutex);
        EXPECT_EQ(App().clickTimeEdited, c.typed) << "the program's own write is no typing";
    }
}

// The window moves to a monitor of 150 %: it takes the suggested place and grows with its controls and
// their font, as far as the monitor's work area allows (the test display, 1600 × 1000, is shorter than the
// window at 150 %: with this test program's frame it takes 128 %); back at 100 % all is as before.
TEST_F(MainWindowTest, AMoveToAMonitorOfAnotherDpiScalesTheWindowAndItsControls) {
    Open(true);
    HWND room = FormFieldControl(FormField::RoomCode);
    const auto size = [](HWND w, bool client) {
        RECT r{};
        if (client) GetClientRect(w, &r);
        else GetWindowRect(w, &r);
        return SIZE{r.right - r.left, r.bottom - r.top};
    };
    const auto fontHeight = [](HWND w) {
        LOGFONTW font{};
        GetObjectW(reinterpret_cast<HFONT>(SendMessageW(w, WM_GETFONT, 0, 0)), sizeof font, &font);
        return font.lfHeight;
    };
    ASSERT_EQ(size(window, true).cx, 1180);
    const SIZE roomAt100 = size(room, false);
    const struct {
        UINT dpi;
        float scale;
        LONG clientWidth, clientHeight, fontHeight;
        POINT place;
    } steps[] = {{144, 1.28f, 1510, 973, -22, {0, 0}}, {96, 1.0f, 1180, 760, -17, {60, 50}}};
    for (const auto& step : steps) {
        SCOPED_TRACE(step.dpi);
        RECT suggested{step.place.x, step.place.y, step.place.x + 100, step.place.y + 100};
        SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(step.dpi, step.dpi), reinterpret_cast<LPARAM>(&suggested));
        EXPECT_EQ(size(window, true).cx, step.clientWidth);
        EXPECT_EQ(size(window, true).cy, step.clientHeight);
        RECT placed{};
        GetWindowRect(window, &placed);
        EXPECT_EQ(placed.left, step.place.x);
        EXPECT_EQ(placed.top, step.place.y);
        // Within the rounding of the box's scaled edges and of its border.
        EXPECT_NEAR(size(room, false).cx, roomAt100.cx * step.scale, 4.0);
        EXPECT_NEAR(size(room, false).cy, roomAt100.cy * step.scale, 4.0);
        EXPECT_EQ(fontHeight(room), step.fontHeight);
    }
}

TEST_F(MainWindowTest, TimeFieldsAreMaskedWhileTypingAndNormalisedOnLeaving) {
    Open(true);
    HWND field = FormFieldControl(FormField::TestTime);
    struct Case {
        const wchar_t *typed, *shown;
    } cases[] = {{L"1415", L"14:15:"}, {L"14:15:16:17", L"14:15:16"}, {L"1a4b", L"14:"}, {L"", L""}};
    for (const Case& c : cases) {
        SetWindowTextW(field, c.typed);
        EXPECT_EQ(TextOf(field), c.shown) << c.typed;
    }
    // Typing one digit at a time, as the keyboard does: the caret follows the inserted colons.
    SetWindowTextW(field, L"");
    for (const wchar_t* digit : {L"1", L"4", L"1", L"5"})
        SendMessageW(field, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(digit));
    EXPECT_EQ(TextOf(field), L"14:15:");
    DWORD start = 0, end = 0;
    SendMessageW(field, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
    EXPECT_EQ(start, 6u) << "caret after the second colon";
    // Leaving the field puts the canonical form into it.
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(0, EN_KILLFOCUS), reinterpret_cast<LPARAM>(field));
    EXPECT_EQ(TextOf(field), L"14:15:00");
}

TEST_F(MainWindowTest, FullWidthDigitsOfAChineseInputMethodCountAsDigits) {
    Open(true);
    HWND field = FormFieldControl(FormField::ClickTime);
    struct Case {
        const wchar_t *typed, *shown;
    } cases[] = {
        {L"\xFF11\xFF14\xFF11\xFF15", L"14:15:"},             // １４１５
        {L"\xFF11\xFF14\xFF1A\xFF13\xFF10", L"14:30:"},      // １４：３０, the full-width colon dropped
        {L"0\xFF19\xFF1A\xFF10\xFF15\xFF10\xFF17", L"09:05:07"},
        {L"\x0661\x0664\x0661\x0665", L""},                   // other scripts' digits are dropped
        {L"1\x00B2\x0664" L"4", L"14:"},                        // so are superscripts
    };
    for (const Case& c : cases) {
        SetWindowTextW(field, c.typed);
        EXPECT_EQ(TextOf(field), c.shown) << "typed " << static_cast<int>(c.typed[0]);
    }
    // What the mask leaves is what the parser accepts.
    SetWindowTextW(field, L"\xFF12\xFF13\xFF15\xFF19");
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(0, EN_KILLFOCUS), reinterpret_cast<LPARAM>(field));
    EXPECT_EQ(TextOf(field), L"23:59:00");
    EXPECT_EQ(MaskTimeText(L"\xFF10\xFF10\xFF10\xFF10\xFF10\xFF10\xFF10"), L"00:00:00");
}

TEST_F(MainWindowTest, TheTimerRepaintsOnlyTheRemainingTimeAndOnlyWhileACountdownRuns) {
    Open(true);
    ShowWindow(window, SW_SHOW);
    UpdateWindow(window);
    ValidateRect(window, nullptr);
    SendMessageW(window, WM_TIMER, 1, 0);
    RECT dirty{};
    EXPECT_FALSE(GetUpdateRect(window, &dirty, FALSE)) << "no countdown, no repaint";

    SetCountdownTarget(UnifiedNowMs() + 60000);
    ValidateRect(window, nullptr);
    SendMessageW(window, WM_TIMER, 1, 0);
    ASSERT_TRUE(GetUpdateRect(window, &dirty, FALSE));
    EXPECT_EQ(dirty.left, 32);
    EXPECT_EQ(dirty.top, 442);
    EXPECT_EQ(dirty.right, 247);
    EXPECT_EQ(dirty.bottom, 482);
    SetCountdownTarget(0);
}

TEST_F(MainWindowTest, PreparationDoneAsksForThePurposeOnlyWhenNoneIsSaved) {
    Open(true);
    AppState& app = App();
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        app.session.logged_in = true;
        app.session.savedPurpose = 2;
        app.session.pendingPurpose = 0;
    }
    SendMessageW(window, MSG_PREPARATION_DONE, 0, 0);
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        EXPECT_EQ(app.session.modalPanel, ModalPanelKind::Purpose);
        EXPECT_EQ(app.session.pendingPurpose, 2);
        app.session.modalPanel = ModalPanelKind::None;
        app.session.purposeSaved = true;
    }
    SendMessageW(window, MSG_PREPARATION_DONE, 0, 0);
    std::lock_guard<std::mutex> lock(app.stateMutex);
    EXPECT_EQ(app.session.modalPanel, ModalPanelKind::None);
}

TEST_F(MainWindowTest, ChangingThePurposeSelectionAsksForConfirmationAgain) {
    Open(true);
    {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        App().session.purposeSaved = true;
    }
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(0, CBN_SELCHANGE), reinterpret_cast<LPARAM>(Ui().purposeCombo));
    EXPECT_EQ(StatusTextNow(), L"用途已更改，请重新确认");
    std::lock_guard<std::mutex> lock(App().stateMutex);
    EXPECT_FALSE(App().session.purposeSaved);
}

TEST_F(MainWindowTest, WorkerReportsArriveAsPostedMessagesAndRefreshTheControls) {
    Open(true);
    // A worker signs the session in and reports; the UI thread applies the visibility rules.
    std::thread worker([] {
        {
            std::lock_guard<std::mutex> lock(App().stateMutex);
            App().session.logged_in = true;
        }
        SetStatus(L"软件已连接，正在准备本次使用", L"");
    });
    worker.join();
    ASSERT_TRUE(PumpUntil([&] { return !(GetWindowLongW(FormFieldControl(FormField::Account), GWL_STYLE) & WS_VISIBLE); }));
    EXPECT_EQ(StatusTextNow(), L"软件已连接，正在准备本次使用");
    EXPECT_TRUE(GetWindowLongW(FormFieldControl(FormField::RoomCode), GWL_STYLE) & WS_VISIBLE);
}

TEST_F(MainWindowTest, CloseDestroysTheWindowAndReleasesItsResources) {
    Open(false);
    ShowWindow(window, SW_SHOW);
    ASSERT_TRUE(App().countdownWindow.load() == nullptr || IsWindow(App().countdownWindow.load()));
    App().countdownWindow = CreateCountdownWindow(Globals().instance);
    ASSERT_NE(App().countdownWindow.load(), nullptr);
    HWND overlay = App().countdownWindow.load();
    SendMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_FALSE(IsWindow(overlay));
    EXPECT_EQ(App().countdownWindow.load(), nullptr);
    EXPECT_EQ(Ui().uiFont.get(), nullptr);
    std::lock_guard<std::mutex> lock(App().stateMutex);
    EXPECT_FALSE(App().hotkeyRegistered);
    // The hotkey is free again for anyone.
    HWND other = CreateWindowExW(0, L"STATIC", L"holder", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    EXPECT_TRUE(RegisterHotKey(other, 7, MOD_CONTROL | MOD_ALT | MOD_NOREPEAT, 'Q'));
    UnregisterHotKey(other, 7);
    DestroyWindow(other);
}

// The window's scale on a monitor: its DPI's where the window fits the work area, otherwise the largest
// whole hundredth at which it does, never below half.
TEST(WindowScale, TheWindowShrinksToFitTheWorkArea) {
    const struct {
        const char* what;
        float wanted;
        SIZE frame, work;
        float scale;
    } cases[] = {
        {"1600 x 1000 at 100 %: fits", 1.0f, {16, 39}, {1600, 1000}, 1.0f},
        {"1366 x 768 at 100 %, taskbar 40 px: (728 - 39) / 760", 1.0f, {16, 39}, {1366, 728}, 0.90f},
        {"1920 x 1080 at 150 %, taskbar 60 px: (1020 - 58) / 760", 1.5f, {24, 58}, {1920, 1020}, 1.26f},
        {"1920 x 1200 at 150 %: fits", 1.5f, {24, 58}, {1920, 1200}, 1.5f},
        {"narrow rather than short", 1.0f, {16, 39}, {1000, 1000}, 0.83f},
        {"a tiny screen: never below half", 1.0f, {16, 39}, {400, 300}, kSmallestScale},
    };
    for (const auto& c : cases) EXPECT_FLOAT_EQ(ScaleToFit(c.wanted, c.frame, c.work), c.scale) << c.what;
}

// "退出", Alt+F4 and the close box (the system's close command) all end the program at once while
// nothing waits; while a task waits each asks first, and only "是" closes. Signed in, "退出" asks
// whether the program is to close (someone may only want another account), and "否" keeps it.
TEST_F(MainWindowTest, ClosingWhileATaskWaitsAsksFirstInEveryWay) {
    enum class Way { ExitButton, AltF4, CloseBox };
    struct Case {
        const char* what;
        Way way;
        bool taskWaits;
        int answer;  // pressed in the box, when one comes
        bool closes;
        bool signedIn = false;
    } cases[] = {
        {"退出, nothing waits", Way::ExitButton, false, IDNO, true},
        {"Alt+F4, nothing waits", Way::AltF4, false, IDNO, true},
        {"退出, a task waits, 否", Way::ExitButton, true, IDNO, false},
        {"退出, a task waits, 是", Way::ExitButton, true, IDYES, true},
        {"Alt+F4, a task waits, 否", Way::AltF4, true, IDNO, false},
        {"Alt+F4, a task waits, 是", Way::AltF4, true, IDYES, true},
        {"close box, a task waits, 否", Way::CloseBox, true, IDNO, false},
        {"close box, a task waits, 是", Way::CloseBox, true, IDYES, true},
        {"退出 signed in, nothing waits, 否", Way::ExitButton, false, IDNO, false, true},
        {"退出 signed in, nothing waits, 是", Way::ExitButton, false, IDYES, true, true},
        {"退出 signed in, a task waits, 是: one question", Way::ExitButton, true, IDYES, true, true},
        {"Alt+F4 signed in, nothing waits", Way::AltF4, false, IDNO, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Open(true);
        if (c.signedIn) harness->ChangeState([](AppState& app) { app.session.logged_in = true; });
        harness->ShowInFront();
        App().taskBusy = c.taskWaits;
        DialogWatcher dialogs([&c](const SeenDialog&) { return DialogAnswer{c.answer, true}; });
        const bool quitQuestion = c.signedIn && !c.taskWaits && c.way == Way::ExitButton;
        switch (c.way) {
            case Way::ExitButton: {
                const RECT& exit = layout::kExitButton;
                ClickAt(harness->ScreenPoint((exit.left + exit.right) / 2, (exit.top + exit.bottom) / 2));
                break;
            }
            case Way::AltF4: PressChord({VK_MENU, VK_F4}); break;
            // What the frame's close box and the taskbar's "close" send.
            case Way::CloseBox: PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0); break;
        }
        PumpUntil([&] { return !IsWindow(window) || dialogs.Count() > 0; }, 3000);
        if (c.taskWaits || quitQuestion) {
            ASSERT_TRUE(dialogs.WaitForCount(1));
            const SeenDialog box = dialogs.Seen()[0];
            EXPECT_EQ(box.caption, kCloseWhileTaskWaitsCaption);
            EXPECT_EQ(box.text, quitQuestion ? kQuitSignedInText : kCloseWhileTaskWaitsText);
            if (!quitQuestion) {
                EXPECT_NE(box.text.find(L"点击将不会发生"), std::wstring::npos);
            }
            EXPECT_EQ(box.icon, quitQuestion ? DialogIcon::Question : DialogIcon::Warning);
            EXPECT_EQ(box.owner, window);
        }
        PumpUntil([&] { return !IsWindow(window); }, c.closes ? 3000 : 300);
        EXPECT_EQ(!IsWindow(window), c.closes);
        if (!c.taskWaits && !quitQuestion) {
            EXPECT_EQ(dialogs.Count(), 0u) << "nothing waits: no question";
        }
        if (c.taskWaits) {
            EXPECT_EQ(dialogs.Count(), 1u) << "one question, not two";
        }
        App().taskBusy = false;
        harness.reset();
    }
}

// Pasting with Ctrl+V into a field whose whole text is selected: what fits the field's rule goes in
// whole, anything else is refused whole (the field keeps its text) and the status lines say why.
TEST_F(MainWindowTest, PastedTextObeysTheFieldsRuleOrIsRefusedWhole) {
    Open(true);
    harness->ShowInFront();
    const std::wstring domain = L"@example.test";
    const std::wstring fits = std::wstring(190 - domain.size(), L'a') + domain;
    const std::wstring tooLong = std::wstring(191 - domain.size(), L'a') + domain;
    struct Case {
        const char* what;
        bool signedIn;  // the dashboard's fields, otherwise the register form's
        FormField field;
        const wchar_t* before;
        std::wstring pasted;
        std::wstring after;
        const wchar_t* refusal;  // the detail line, or null when the paste goes in
    } cases[] = {
        {"participants, a time", true, FormField::Participants, L"2", L"14:15:16:17", L"2", L"人数只能填写数字"},
        {"participants, a number", true, FormField::Participants, L"2", L"42", L"42", nullptr},
        {"participants, a copied line", true, FormField::Participants, L"2", L"42\r\n", L"42", nullptr},
        {"participants, seven digits", true, FormField::Participants, L"2", L"1234567", L"2",
         L"人数最多 6 个字符，粘贴的内容放不下"},
        {"click time, too many parts", true, FormField::ClickTime, L"12:00:00", L"14:15:16:17", L"12:00:00",
         L"点击时间按“时:分:秒”填写，粘贴的内容不是时间"},
        {"click time, six digits", true, FormField::ClickTime, L"12:00:00", L"141516", L"14:15:16", nullptr},
        {"room code, two lines", true, FormField::RoomCode, L"", L"AB\r\nCD", L"", L"房间号只能填写一行，粘贴的内容有多行"},
        {"e-mail address, too long", false, FormField::Account, L"kept@example.test", tooLong, L"kept@example.test",
         L"邮箱或用户名最多 190 个字符，粘贴的内容放不下"},
        {"e-mail address, as long as allowed", false, FormField::Account, L"", fits, fits, nullptr},
        {"e-mail code, with blanks", false, FormField::EmailCode, L"", L"12 34 56", L"", L"邮箱验证码只能填写数字"},
        {"e-mail code", false, FormField::EmailCode, L"", L"123456", L"123456", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        harness->ChangeState([&c](AppState& app) {
            app.session.logged_in = c.signedIn;
            app.session.purposeSaved = c.signedIn;
            app.authFormMode = AuthFormMode::Register;
            // The times below are the person's own, not a proposal to be renewed once it lies in the past.
            app.clickTimeEdited = true;
            app.testTimeEdited = true;
        });
        HWND field = FormFieldControl(c.field);
        ASSERT_TRUE(IsWindowVisible(field) && IsWindowEnabled(field));
        {
            ProgrammaticEdit own;
            SetWindowTextW(field, c.before);
        }
        SetStatus(L"before", L"");
        PumpUntil([] { return false; }, 30);
        ASSERT_TRUE(CopyTextToClipboard(window, c.pasted));
        const RECT frame = FieldFrame(c.field);
        ClickAt(harness->ScreenPoint((frame.left + frame.right) / 2, (frame.top + frame.bottom) / 2));
        PressKey(VK_END);
        PressKey(VK_HOME, true);
        PressChord({VK_CONTROL, 'V'});
        EXPECT_EQ(TextOf(field), c.after);
        if (c.refusal) {
            EXPECT_EQ(StatusTextNow(), kPasteRefusedStatus);
            EXPECT_EQ(DetailTextNow(), c.refusal);
        } else {
            EXPECT_EQ(StatusTextNow(), L"before") << "nothing to report";
        }
    }
}

// Typing past a field's limit: the control takes no more, and the status lines say where the limit is.
TEST_F(MainWindowTest, TypingPastALimitIsReported) {
    Open(true);
    harness->ShowInFront();
    harness->ChangeState([](AppState& app) { app.authFormMode = AuthFormMode::Register; });
    const RECT frame = FieldFrame(FormField::EmailCode);
    ClickAt(harness->ScreenPoint((frame.left + frame.right) / 2, (frame.top + frame.bottom) / 2));
    TypeText(L"123456");
    EXPECT_NE(StatusTextNow(), kLimitReachedStatus) << "six digits fit";
    TypeText(L"7");
    EXPECT_EQ(TextOf(FormFieldControl(FormField::EmailCode)), L"123456");
    EXPECT_EQ(StatusTextNow(), kLimitReachedStatus);
    EXPECT_EQ(DetailTextNow(), L"邮箱验证码最多 6 个字符");
}

TEST(BlacklistNotice, NamesTheProgramAndTheReasonWhenThereIsOne) {
    EXPECT_EQ(ComposeBlacklistNotice(L"game.exe", L"作弊工具"),
              L"“game.exe”已被管理员列入黑名单，不能用于同步操作。\n\n拦截原因：作弊工具\n\n"
              L"请重新选择其他软件。如认为记录有误，请联系管理员核对黑名单。");
    EXPECT_EQ(ComposeBlacklistNotice(L"game.exe", L""),
              L"“game.exe”已被管理员列入黑名单，不能用于同步操作。\n\n"
              L"请重新选择其他软件。如认为记录有误，请联系管理员核对黑名单。");
}

TEST(CountdownOverlay, IsClickThroughAndCreatedHidden) {
    Globals().instance = GetModuleHandleW(nullptr);
    RegisterWindowClasses(Globals().instance);
    HWND overlay = CreateCountdownWindow(Globals().instance);
    ASSERT_NE(overlay, nullptr);
    EXPECT_FALSE(IsWindowVisible(overlay));
    EXPECT_EQ(SendMessageW(overlay, WM_NCHITTEST, 0, MAKELPARAM(10, 10)), HTTRANSPARENT);
    const LONG ex = GetWindowLongW(overlay, GWL_EXSTYLE);
    EXPECT_EQ(ex & 0x080800A8, 0x080800A8);
    wchar_t title[32] = {};
    GetWindowTextW(overlay, title, 32);
    EXPECT_STREQ(title, L"澄序倒计时");
    DestroyWindow(overlay);
}

namespace {

const std::wstring kStateCanary = L"仍在等待点击：" + std::wstring(96, L'#');

// Registered before the state exists, so it runs after every destructor the state could have at the
// end of the process: it stands for a worker that still uses the state then.
void LateWorkerAtExit() {
    AppState& app = App();
    std::lock_guard<std::mutex> lock(app.stateMutex);
    std::_Exit(app.statusText == kStateCanary && app.session.token == "late-worker-token" ? 0 : 3);
}

}  // namespace

// Runs only as a child of the next test.
TEST(ProcessEnd, ChildUsesTheStateAfterTheEntryPointReturned) {
    if (!GetEnvironmentVariableW(L"ORVANE_PROCESS_END_CHILD", nullptr, 0)) GTEST_SKIP() << "only as a child";
    std::atexit(LateWorkerAtExit);
    SetStatus(kStateCanary, L"");
    std::lock_guard<std::mutex> lock(App().stateMutex);
    App().session.token = "late-worker-token";
}

TEST(ProcessEnd, AWorkerStillRunningAtTheEndNeverTouchesDestroyedState) {
    if (GetEnvironmentVariableW(L"ORVANE_PROCESS_END_CHILD", nullptr, 0)) GTEST_SKIP() << "inside the child";
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    ScopedEnvironment child(L"ORVANE_PROCESS_END_CHILD", L"1");
    const ProcessResult result =
        RunProgram(self, L"--gtest_filter=ProcessEnd.ChildUsesTheStateAfterTheEntryPointReturned", 30000);
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exitCode, 0u) << "the state was gone when the late worker used it";
}
