// Changing the wake hotkey in the personal centre of the real window with real key presses: a
// combination with modifiers held, one another window holds, an input method's key, F-keys alone,
// Esc and the panel closing; and the hotkey bringing a minimised window forward.
#include <gtest/gtest.h>

#include <windows.h>

#include "core/app_state.h"
#include "core/data_dir.h"
#include "support/dialog_watcher.h"
#include "support/main_window_harness.h"
#include "support/real_input.h"
#include "support/test_support.h"
#include "ui/ui_resources.h"
#include "ui/wake_hotkey.h"

namespace {

bool Capturing() {
    std::lock_guard<std::mutex> lock(App().stateMutex);
    return App().session.hotkeyCapturing;
}

WakeHotkey HotkeyNow() {
    std::lock_guard<std::mutex> lock(App().stateMutex);
    return {App().hotkeyModifiers, App().hotkeyKey};
}

// Another program's window that holds (or tries to hold) a combination.
class OtherWindow {
public:
    OtherWindow() : window_(CreateWindowExW(0, L"STATIC", L"other", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr)) {}
    ~OtherWindow() {
        UnregisterHotKey(window_, 5);
        DestroyWindow(window_);
    }
    OtherWindow(const OtherWindow&) = delete;
    OtherWindow& operator=(const OtherWindow&) = delete;
    bool Take(UINT modifiers, UINT key) { return RegisterHotKey(window_, 5, modifiers | MOD_NOREPEAT, key) != FALSE; }
    // Whether the combination is free (taken for a moment and given back).
    bool Free(UINT modifiers, UINT key) {
        const bool free = Take(modifiers, key);
        if (free) UnregisterHotKey(window_, 5);
        return free;
    }

private:
    HWND window_;
};

class WakeHotkeyCapture : public testing::Test {
protected:
    void SetUp() override {
        appData_ = std::make_unique<ScopedEnvironment>(L"APPDATA", folder_.path().wstring());
        harness_ = std::make_unique<MainWindowHarness>();
        ASSERT_TRUE(harness_->Alive());
        harness_->WaitForStartupCheck(5000);
        Ui().recordFrameTexts = true;
        {
            std::lock_guard<std::mutex> lock(App().stateMutex);
            ASSERT_TRUE(App().hotkeyRegistered) << "Ctrl + Alt + Q from the start";
        }
        harness_->ChangeState([](AppState& app) {
            app.session = Session{true, "hotkey-token", "key", "someone@example.test", 3, 10, false};
            app.session.purposeSaved = true;
            app.session.modalPanel = ModalPanelKind::PersonalCentre;
        });
        harness_->ShowInFront();
    }
    void TearDown() override {
        Ui().recordFrameTexts = false;
        harness_.reset();
        appData_.reset();
    }
    POINT At(int x, int y) const { return harness_->ScreenPoint(x, y); }
    void PressHotkeyButton() { ClickAt(At(742, 501)); }
    std::string SavedFile() const {
        return ReadFileBytes(folder_.path() / L"Briskodesk" / L"wake-hotkey.conf");
    }

    TempFolder folder_;
    std::unique_ptr<ScopedEnvironment> appData_;
    std::unique_ptr<MainWindowHarness> harness_;
    OtherWindow other_;
};

TEST_F(WakeHotkeyCapture, ACombinationPressedWithModifiersHeldBecomesTheHotkey) {
    DialogWatcher dialogs;
    PressHotkeyButton();
    ASSERT_TRUE(Capturing());
    EXPECT_EQ(StatusTextNow(), L"请按下新的窗口唤起快捷键");
    EXPECT_EQ(GetFocus(), harness_->window()) << "key presses go to the window, not a field";
    EXPECT_TRUE(other_.Free(MOD_CONTROL | MOD_ALT, 'Q')) << "the old hotkey is let go while capturing";
    harness_->ShowInFront();
    EXPECT_TRUE(FrameDrew(L"等待按键…"));
    EXPECT_TRUE(FrameDrew(L"取消设置"));

    PressKey(VK_CONTROL);  // a modifier alone changes nothing
    EXPECT_TRUE(Capturing());
    PressChord({VK_CONTROL, VK_SHIFT, 'K'});
    EXPECT_FALSE(Capturing());
    EXPECT_EQ(StatusTextNow(), L"窗口唤起快捷键已保存");
    EXPECT_EQ(HotkeyNow().modifiers, static_cast<uint32_t>(MOD_CONTROL | MOD_SHIFT));
    EXPECT_EQ(HotkeyNow().virtualKey, static_cast<uint32_t>('K'));
    EXPECT_EQ(SavedFile(), "6 75\n");
    EXPECT_FALSE(other_.Free(MOD_CONTROL | MOD_SHIFT, 'K')) << "registered";
    EXPECT_TRUE(other_.Free(MOD_CONTROL | MOD_ALT, 'Q')) << "the old one is not";
    harness_->ShowInFront();
    EXPECT_TRUE(FrameDrew(L"Ctrl + Shift + K"));
    EXPECT_EQ(dialogs.Count(), 0u);

    // The new hotkey brings the minimised window forward.
    ShowWindow(harness_->window(), SW_MINIMIZE);
    ASSERT_TRUE(IsIconic(harness_->window()));
    PressChord({VK_CONTROL, VK_SHIFT, 'K'});
    EXPECT_TRUE(PumpUntil([this] { return !IsIconic(harness_->window()); }, 3000));
    EXPECT_TRUE(IsWindowVisible(harness_->window()));
    EXPECT_EQ(GetForegroundWindow(), harness_->window());
    EXPECT_TRUE(GetWindowLongW(harness_->window(), GWL_EXSTYLE) & WS_EX_TOPMOST);
}

// A combination that another program already holds never reaches a window as a key press: the system
// turns it into that program's hotkey. A person meets a taken combination when the other program takes
// it between the key press and the registration, and that is what the other window does here: it
// takes Ctrl+Alt+J the moment the key press arrives, before the main window handles it.
OtherWindow* takerOnKeyPress = nullptr;
WNDPROC procBeforeTaker = nullptr;
LRESULT CALLBACK TakeOnKeyPress(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_KEYDOWN && wParam == 'J' && takerOnKeyPress) takerOnKeyPress->Take(MOD_CONTROL | MOD_ALT, 'J');
    return CallWindowProcW(procBeforeTaker, window, message, wParam, lParam);
}

TEST_F(WakeHotkeyCapture, ACombinationAnotherWindowTakesLeavesTheOldHotkey) {
    takerOnKeyPress = &other_;
    procBeforeTaker = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(harness_->window(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(TakeOnKeyPress)));
    DialogWatcher dialogs;
    PressHotkeyButton();
    PressChord({VK_CONTROL, VK_MENU, 'J'});
    ASSERT_TRUE(dialogs.WaitForCount(1));
    EXPECT_EQ(dialogs.Seen()[0].caption, L"无法使用该快捷键");
    EXPECT_EQ(dialogs.Seen()[0].text, L"这个快捷键已被其他程序占用，请换一个组合。");
    EXPECT_EQ(dialogs.Seen()[0].icon, DialogIcon::Warning);
    EXPECT_FALSE(Capturing());
    EXPECT_EQ(StatusTextNow(), L"快捷键没有更改");
    EXPECT_EQ(DetailTextNow(), L"该快捷键已被其他程序占用，请换一个组合");
    EXPECT_EQ(HotkeyNow().virtualKey, static_cast<uint32_t>('Q'));
    OtherWindow probe;
    EXPECT_FALSE(probe.Free(MOD_CONTROL | MOD_ALT, 'Q')) << "the old hotkey is registered again";
    EXPECT_EQ(SavedFile(), "") << "nothing saved";
    SetWindowLongPtrW(harness_->window(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(procBeforeTaker));
    takerOnKeyPress = nullptr;
}

TEST_F(WakeHotkeyCapture, AnInputMethodKeyIsPassedOverAndFKeysStandAlone) {
    DialogWatcher dialogs;
    PressHotkeyButton();
    // What a key typed into a Chinese input method arrives as, alone and with Ctrl held.
    const int keysBefore = harness_->Received(WM_KEYDOWN);
    PressKey(VK_PROCESSKEY);
    PressChord({VK_CONTROL, VK_PROCESSKEY});
    EXPECT_GE(harness_->Received(WM_KEYDOWN), keysBefore + 3) << "the presses reached the window";
    EXPECT_TRUE(Capturing());
    EXPECT_EQ(dialogs.Count(), 0u);
    EXPECT_EQ(SavedFile(), "") << "not taken as the hotkey";

    PressKey('Q');  // a letter alone needs a modifier
    ASSERT_TRUE(dialogs.WaitForCount(1));
    EXPECT_EQ(dialogs.Seen()[0].caption, L"快捷键需要组合键");
    EXPECT_EQ(dialogs.Seen()[0].text, L"请至少组合 Ctrl、Alt 或 Shift；也可以直接使用 F1-F12。");
    EXPECT_TRUE(Capturing());

    PressKey(VK_F7);
    EXPECT_FALSE(Capturing());
    EXPECT_EQ(HotkeyNow().modifiers, 0u);
    EXPECT_EQ(HotkeyNow().virtualKey, static_cast<uint32_t>(VK_F7));
    EXPECT_EQ(SavedFile(), "0 118\n");
    harness_->ShowInFront();
    EXPECT_TRUE(FrameDrew(L"F7"));
    EXPECT_EQ(LoadWakeHotkey().virtualKey, static_cast<uint32_t>(VK_F7)) << "the next start reads it back";
}

// The preparation after a login ends while the person already sets a hotkey in the personal centre:
// the purpose question waits for a task button, the capture goes on and takes the next combination.
TEST_F(WakeHotkeyCapture, ThePreparationEndingMidCaptureLeavesThePanelAndTheCapture) {
    harness_->ChangeState([](AppState& app) { app.session.purposeSaved = false; });
    PressHotkeyButton();
    ASSERT_TRUE(Capturing());
    SendMessageW(harness_->window(), MSG_PREPARATION_DONE, 0, 0);
    EXPECT_TRUE(Capturing());
    {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        EXPECT_EQ(App().session.modalPanel, ModalPanelKind::PersonalCentre) << "the open panel stays";
    }
    harness_->ShowInFront();
    PressChord({VK_CONTROL, VK_SHIFT, 'L'});
    EXPECT_FALSE(Capturing());
    EXPECT_EQ(StatusTextNow(), L"窗口唤起快捷键已保存");
    EXPECT_EQ(HotkeyNow().virtualKey, static_cast<uint32_t>('L'));
    EXPECT_EQ(SavedFile(), "6 76\n");
}

TEST_F(WakeHotkeyCapture, EscTheButtonAgainAndClosingThePanelGiveTheOldHotkeyBack) {
    PressHotkeyButton();
    PressKey(VK_ESCAPE);
    EXPECT_FALSE(Capturing());
    EXPECT_EQ(StatusTextNow(), L"快捷键设置已取消");
    EXPECT_FALSE(other_.Free(MOD_CONTROL | MOD_ALT, 'Q'));
    {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        EXPECT_EQ(App().session.modalPanel, ModalPanelKind::PersonalCentre) << "Esc ended only the capture";
    }

    PressHotkeyButton();
    ASSERT_TRUE(Capturing());
    PressHotkeyButton();  // "取消设置"
    EXPECT_FALSE(Capturing());
    EXPECT_FALSE(other_.Free(MOD_CONTROL | MOD_ALT, 'Q'));

    PressHotkeyButton();
    ASSERT_TRUE(Capturing());
    ClickAt(At(880, 164));  // the panel's close box
    EXPECT_FALSE(Capturing());
    EXPECT_FALSE(other_.Free(MOD_CONTROL | MOD_ALT, 'Q'));
    EXPECT_EQ(SavedFile(), "");
}

TEST(WakeHotkeyRules, WhatAKeyMeansDuringTheCapture) {
    struct Case {
        uint32_t key, modifiers;
        CaptureKey expected;
    };
    const Case cases[] = {
        {VK_ESCAPE, 0, CaptureKey::Cancel},        {VK_ESCAPE, MOD_CONTROL, CaptureKey::Cancel},
        {VK_SHIFT, MOD_SHIFT, CaptureKey::PassOver}, {VK_CONTROL, MOD_CONTROL, CaptureKey::PassOver},
        {VK_MENU, MOD_ALT, CaptureKey::PassOver},    {VK_LSHIFT, 0, CaptureKey::PassOver},
        {VK_RMENU, 0, CaptureKey::PassOver},         {VK_PROCESSKEY, 0, CaptureKey::PassOver},
        {VK_PROCESSKEY, MOD_CONTROL, CaptureKey::PassOver},
        {255, MOD_CONTROL, CaptureKey::PassOver},    {7, MOD_CONTROL, CaptureKey::PassOver},
        {'Q', 0, CaptureKey::NeedsModifier},         {VK_F13, 0, CaptureKey::NeedsModifier},
        {VK_F1, 0, CaptureKey::Candidate},           {VK_F12, 0, CaptureKey::Candidate},
        {'Q', MOD_CONTROL | MOD_ALT, CaptureKey::Candidate},
        {254, MOD_SHIFT, CaptureKey::Candidate},     {8, MOD_ALT, CaptureKey::Candidate},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ClassifyCaptureKey(c.key, c.modifiers), c.expected) << c.key << " with " << c.modifiers;
    // Whatever the capture takes, the file's rule takes back at the next start.
    for (uint32_t key = 0; key < 256; ++key) {
        for (uint32_t modifiers = 0; modifiers < 8; ++modifiers) {
            if (ClassifyCaptureKey(key, modifiers) == CaptureKey::Candidate) {
                EXPECT_TRUE(IsValidWakeHotkey(modifiers, key)) << key << " with " << modifiers;
            }
        }
    }
}

}  // namespace
