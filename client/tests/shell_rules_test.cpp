// Pure rules of the shell and its screens: command-line switches, control visibility, the typing mask
// of the time fields and the wake hotkey file.
#include <gtest/gtest.h>

#include "app/startup.h"
#include "support/test_support.h"
#include "ui/child_controls.h"
#include "ui/time_field.h"
#include "ui/wake_hotkey.h"

TEST(CommandLine, SwitchesAreCaseSensitiveSubstrings) {
    struct Case {
        const wchar_t* line;
        bool cleanup, selfTest;
    } cases[] = {
        {L"", false, false},
        {L"--self-test", false, true},
        {L"--uninstall-cleanup", true, false},
        {L"--self-test --uninstall-cleanup", true, true},
        {L"prefix--self-testsuffix", false, true},
        {L"\"C:\\x\\--uninstall-cleanup.txt\"", true, false},
        {L"--SELF-TEST --Uninstall-Cleanup", false, false},
        {L"-self-test --self_test", false, false},
    };
    for (const Case& c : cases) {
        CommandLineChoice choice = ParseCommandLine(c.line);
        EXPECT_EQ(choice.uninstallCleanup, c.cleanup) << c.line;
        EXPECT_EQ(choice.selfTest, c.selfTest) << c.line;
    }
    EXPECT_FALSE(ParseCommandLine(nullptr).selfTest);
}

TEST(ChildControlRules, WhatEachScreenShowsAndEnables) {
    using P = ModalPanelKind;
    using M = AuthFormMode;
    struct Case {
        bool loggedIn, developer, purposeSaved;
        P panel;
        M mode;
        ChildControlRules expected;
    } cases[] = {
        // signed out: the account fields, the code field outside the login form
        {false, false, false, P::None, M::Login, {false, false, false, true, false, false}},
        {false, false, false, P::None, M::Register, {false, false, false, true, true, false}},
        {false, true, true, P::None, M::ResetPassword, {false, true, false, true, true, false}},
        // signed in: dashboard fields, enabled only once a purpose is saved
        {true, false, false, P::None, M::Login, {true, false, false, false, false, false}},
        {true, false, true, P::None, M::Register, {true, true, false, false, false, false}},
        {true, true, true, P::None, M::Login, {true, true, true, false, false, false}},
        // a panel hides the dashboard; the top-up panel shows the amount field
        {true, true, true, P::TopUp, M::Login, {false, false, false, false, false, true}},
        {true, true, true, P::Purpose, M::Login, {false, false, false, false, false, false}},
        {true, false, true, P::PersonalCentre, M::Login, {false, false, false, false, false, false}},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        ChildControlRules r = ComputeChildControlRules(c.loggedIn, c.developer, c.purposeSaved, c.panel, c.mode);
        EXPECT_EQ(r.dashboardFieldsShown, c.expected.dashboardFieldsShown) << "case " << i;
        EXPECT_EQ(r.dashboardFieldsEnabled, c.expected.dashboardFieldsEnabled) << "case " << i;
        EXPECT_EQ(r.developerFieldsShown, c.expected.developerFieldsShown) << "case " << i;
        EXPECT_EQ(r.accountFieldsShown, c.expected.accountFieldsShown) << "case " << i;
        EXPECT_EQ(r.emailCodeShown, c.expected.emailCodeShown) << "case " << i;
        EXPECT_EQ(r.amountShown, c.expected.amountShown) << "case " << i;
    }
}

TEST(TimeFieldMask, RewritesTypedTextIntoDigitsAndColons) {
    struct Case {
        const wchar_t *typed, *masked;
    } cases[] = {
        {L"", L""},           {L"1", L"1"},             {L"14", L"14:"},         {L"141", L"14:1"},
        {L"1415", L"14:15:"}, {L"141516", L"14:15:16"}, {L"1415167", L"14:15:16"}, {L"14:15:16", L"14:15:16"},
        {L"14:15:16:17", L"14:15:16"}, {L"ab1c4", L"14:"}, {L"12 : 3", L"12:3"},
    };
    for (const Case& c : cases) EXPECT_EQ(MaskTimeText(c.typed), c.masked) << c.typed;
}

TEST(TimeFieldMask, CaretFollowsTheInsertedColons) {
    struct Case {
        int digits, length, caret;
    } cases[] = {{0, 0, 0}, {1, 1, 1}, {2, 3, 3}, {3, 4, 4}, {4, 6, 6}, {5, 7, 7}, {6, 8, 8}, {6, 5, 5}, {2, 2, 2}};
    for (const Case& c : cases)
        EXPECT_EQ(MaskedCaretPosition(c.digits, c.length), c.caret) << c.digits << "/" << c.length;
}

TEST(WakeHotkeyFile, ValidPairsAreKeptEverythingElseFallsBackToCtrlAltQ) {
    struct Case {
        std::string text;
        uint32_t modifiers, key;
    } cases[] = {
        {"6 116\n", 6, 116},     {"0 113", 0, 113},       {"  3   81 and more", 3, 81}, {"7 254\n", 7, 254},
        {"1 8", 1, 8},           {"0 81", 3, 81},         {"8 81", 3, 81},              {"3 7", 3, 81},
        {"3 255", 3, 81},        {"", 3, 81},             {"letters 3 81", 3, 81},      {"3", 3, 81},
        {"-1 81", 3, 81},        {"0 124", 3, 81},        {"0 112", 0, 112},            {"99999999999 81", 3, 81},
    };
    for (const Case& c : cases) {
        WakeHotkey hotkey = ParseWakeHotkeyText(c.text);
        EXPECT_EQ(hotkey.modifiers, c.modifiers) << "[" << c.text << "]";
        EXPECT_EQ(hotkey.virtualKey, c.key) << "[" << c.text << "]";
    }
}

TEST(WakeHotkeyFile, SavedHotkeyIsLoadedAgain) {
    TempFolder appData;
    ScopedEnvironment redirect(L"APPDATA", appData.path().wstring());
    EXPECT_EQ(LoadWakeHotkey().virtualKey, 81u) << "default without a file";
    SaveWakeHotkey(6, 116);
    EXPECT_EQ(ReadFileBytes(appData.path() / L"Briskodesk" / L"wake-hotkey.conf"), "6 116\n");
    WakeHotkey loaded = LoadWakeHotkey();
    EXPECT_EQ(loaded.modifiers, 6u);
    EXPECT_EQ(loaded.virtualKey, 116u);
}

TEST(WakeHotkeyText, PartsInTheFixedOrder) {
    EXPECT_EQ(FormatHotkeyText(3, 81), L"Ctrl + Alt + Q");
    EXPECT_EQ(FormatHotkeyText(6, 116), L"Ctrl + Shift + F5");
    EXPECT_EQ(FormatHotkeyText(0, 123), L"F12");
    EXPECT_EQ(FormatHotkeyText(0, 119), L"F8");
    EXPECT_EQ(FormatHotkeyText(7, '7'), L"Ctrl + Alt + Shift + 7");
    EXPECT_EQ(FormatHotkeyText(4, 135), L"Shift + F24");
    // Other keys take the keyboard layout's name; whatever it is, it is not empty and not a number.
    const std::wstring other = FormatHotkeyText(2, VK_SPACE);
    EXPECT_EQ(other.rfind(L"Ctrl + ", 0), 0u);
    EXPECT_GT(other.size(), 7u);
    // The arrows and the editing block share their scan codes with the number pad: each is named as
    // itself, never as the number-pad key that merely shares the code.
    const struct { UINT key; const wchar_t* name; } editing[] = {
        {VK_LEFT, L"Left"},     {VK_RIGHT, L"Right"},  {VK_UP, L"Up"},     {VK_DOWN, L"Down"},
        {VK_INSERT, L"Insert"}, {VK_DELETE, L"Delete"}, {VK_HOME, L"Home"}, {VK_END, L"End"},
        {VK_PRIOR, L"Page Up"}, {VK_NEXT, L"Page Down"},
    };
    for (const auto& c : editing) EXPECT_EQ(FormatHotkeyText(3, c.key), std::wstring(L"Ctrl + Alt + ") + c.name);
}
