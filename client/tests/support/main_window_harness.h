// Creates the program's real main window inside a test program (window classes, child controls, the
// start-up check of an interactive run) and counts the private messages it receives, so tests can
// set the form's texts, call the actions and pump until the state changes.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "core/app_state.h"
#include "support/test_support.h"

// Puts the account-related parts of AppState back to their start values (signed out, no flags set,
// status "正在连接服务…", time not aligned).
void ResetAppStateForTest();

class MainWindowHarness {
public:
    // How the window is opened: as in an interactive run (the start-up check asks the service), or
    // as in the self-test run (no hotkey, no start-up check), for tests that set the state themselves.
    enum class Run { Interactive, Offline };

    // Resets AppState, registers the window classes (once per process) and creates the main window.
    explicit MainWindowHarness(Run run = Run::Interactive);
    // Destroys the window when it still exists and drains this thread's queue (the quit message too).
    ~MainWindowHarness();
    MainWindowHarness(const MainWindowHarness&) = delete;
    MainWindowHarness& operator=(const MainWindowHarness&) = delete;

    HWND window() const { return window_; }
    // Creates the countdown overlay as the program's start does (hidden; destroyed with the main
    // window) and returns it.
    HWND AddCountdownOverlay() const;
    bool Alive() const { return window_ && IsWindow(window_); }

    // How many times the window procedure received `message` since the window was created.
    int Received(UINT message) const;

    // Pumps messages until the predicate over a locked AppState snapshot holds.
    bool PumpUntilState(const std::function<bool()>& done, DWORD timeoutMs = 15000) const;
    // Waits until the start-up check has settled (the service-ready flag or a new status line; a check
    // that is being made again keeps the connecting line).
    bool WaitForStartupCheck(DWORD timeoutMs = 15000) const;

    // Shows the window at the top-left of the screen, in front and active, and paints it.
    void ShowInFront() const;
    // Client position → screen position.
    POINT ScreenPoint(int x, int y) const;

    // Changes the state as a worker would (under the lock, then the state-changed message) and lets
    // the window follow.
    void ChangeState(const std::function<void(AppState&)>& change) const;

    // Signs in as a returning person does (account and password typed into the form, the agreement
    // on record, the remember box as asked, the login button's action), waits for the preparation and
    // saves the purpose the panel then asks for. False (with the status lines) when it did not work.
    ::testing::AssertionResult SignInWithTheForm(const std::string& account, const std::string& password,
                                                 bool remember = false) const;

    // Sets the text of an edit control of the form.
    static void SetText(HWND control, const std::wstring& text);
    static std::wstring Text(HWND control);

private:
    HWND window_ = nullptr;
};

// What the account tests share: the window in a data folder of its own (APPDATA), and no saved
// login left behind.
class AccountWindowTest : public testing::Test {
protected:
    // At the reference service: skips the test without one (check IsSkipped() after the call),
    // otherwise aims the client at it; then the data folder, with no saved login.
    void UseTheService();
    // Without the service: the data folder and the window opened as the self-test opens it, in front.
    void OpenOfflineWindow();
    // Lets a login, code request or preparation still under way finish, then closes the window and the
    // data folder and removes the saved login; workers may start again.
    void CloseWindowAndData();

    TempFolder folder_;
    std::unique_ptr<ScopedEnvironment> appData_;
    std::unique_ptr<MainWindowHarness> harness_;
};

// The interactive window as a person meets it: open, its start-up check answered by a ready service,
// the texts of its frames recorded, shown in front. Null, with the failure recorded, when a step fails.
std::unique_ptr<MainWindowHarness> OpenWindowAtService();

// Whether the latest paint drew exactly this text (Ui().recordFrameTexts must be set).
bool FrameDrew(const std::wstring& text);

// Reads AppState members under the lock.
std::wstring StatusTextNow();
std::wstring DetailTextNow();
bool ServiceReadyNow();
bool AccountBusyNow();
bool CodeRequestBusyNow();
bool LoggedInNow();

// A click time is typed as a time of day, today. How long a test must wait before it types one
// `aheadMs` ahead of a local time of day `localMsOfDay`, so that the time (with a few seconds to type
// it and send the request) does not fall on the next day: zero unless midnight comes first, then
// until a second past midnight.
int64_t WaitBeforeClickTimeMs(int64_t localMsOfDay, int64_t aheadMs);
// Waits (pumping messages) as long as WaitBeforeClickTimeMs says for the unified time now.
void KeepClickTimeToday(int64_t aheadMs);
