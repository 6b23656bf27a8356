// The real Orvane.exe under wine: command-line switches, exit codes, the main window, the self-test.
#include <gtest/gtest.h>

#include <windows.h>
#include <wincred.h>

#include <thread>

#include "core/data_dir.h"
#include "support/test_support.h"

namespace fs = std::filesystem;

namespace {

fs::path Program() { return ProgramFolder() / L"Orvane.exe"; }

// A copy of the program in a folder of its own, without the signature library beside it.
class LoneProgram {
public:
    LoneProgram() { fs::copy_file(Program(), folder_.path() / L"Orvane.exe"); }
    fs::path path() const { return folder_.path() / L"Orvane.exe"; }

private:
    TempFolder folder_;
};



// Starts the program, keeping its handle, for runs that open a window.
class RunningProgram {
public:
    RunningProgram(const fs::path& program, const std::wstring& arguments) {
        std::wstring commandLine = L"\"" + program.wstring() + L"\" " + arguments;
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        started_ = CreateProcessW(program.wstring().c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                                  nullptr, nullptr, &startup, &process_);
    }
    ~RunningProgram() {
        if (!started_) return;
        if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(process_.hProcess, 255);
        CloseHandle(process_.hThread);
        CloseHandle(process_.hProcess);
    }
    bool started() const { return started_; }
    DWORD id() const { return process_.dwProcessId; }
    bool WaitExit(DWORD timeoutMs, DWORD& code) {
        if (WaitForSingleObject(process_.hProcess, timeoutMs) != WAIT_OBJECT_0) return false;
        GetExitCodeProcess(process_.hProcess, &code);
        return true;
    }
    bool Exited() const { return WaitForSingleObject(process_.hProcess, 0) == WAIT_OBJECT_0; }

private:
    PROCESS_INFORMATION process_{};
    bool started_ = false;
};

// The top-level window of class "BriskodeskMain" that belongs to the process, or null.
HWND FindMainWindowOf(DWORD processId, bool visibleOnly) {
    struct Search {
        DWORD processId;
        bool visibleOnly;
        HWND found;
    } search{processId, visibleOnly, nullptr};
    EnumWindows(
        [](HWND window, LPARAM parameter) -> BOOL {
            auto* s = reinterpret_cast<Search*>(parameter);
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            wchar_t className[64] = {};
            GetClassNameW(window, className, 64);
            if (owner == s->processId && std::wstring(className) == L"BriskodeskMain" &&
                (!s->visibleOnly || IsWindowVisible(window))) {
                s->found = window;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

class ShellTest : public testing::Test {
protected:
    TempFolder appData;
    ScopedEnvironment appDataVariable{L"APPDATA", appData.path().wstring()};
    fs::path DataDir() const { return appData.path() / L"Briskodesk"; }
    void TearDown() override { CredDeleteW(kSavedLoginTarget, CRED_TYPE_GENERIC, 0); }
};

}  // namespace

TEST_F(ShellTest, UninstallCleanupRemovesDataAndSavedLogin) {
    fs::create_directories(DataDir() / L"sub");
    WriteFileBytes(DataDir() / L"device-id.txt", "0123456789abcdef0123456789abcdef");
    ASSERT_TRUE(WriteSavedLoginForTest(L"someone@example.com", L"secret"));
    ProcessResult run = RunProgram(Program(), L"--uninstall-cleanup");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_FALSE(fs::exists(DataDir()));
    EXPECT_FALSE(SavedLoginExists());
}

TEST_F(ShellTest, UninstallCleanupWithoutDataDirectoryExitsZero) {
    ProcessResult run = RunProgram(Program(), L"--uninstall-cleanup");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_FALSE(fs::exists(DataDir()));
}

TEST_F(ShellTest, UninstallCleanupTakesPrecedenceOverSelfTest) {
    // Without the signature library a self-test would end with 9; the cleanup alone ends with 0.
    LoneProgram lone;
    fs::create_directories(DataDir());
    ProcessResult run = RunProgram(lone.path(), L"--self-test --uninstall-cleanup");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_FALSE(fs::exists(DataDir()));
}

TEST_F(ShellTest, SwitchesAreFoundInsideLongerArgumentsAndMatchCaseSensitively) {
    LoneProgram lone;
    ProcessResult embedded = RunProgram(lone.path(), L"alpha x--self-testy omega");
    ASSERT_TRUE(embedded.finished);
    EXPECT_EQ(embedded.exitCode, 9u) << "the self-test ran and found no signature library";

    // The upper-case spelling is no switch: an ordinary interactive run opens its window.
    RunningProgram upper(lone.path(), L"--SELF-TEST");
    ASSERT_TRUE(upper.started());
    HWND window = nullptr;
    ASSERT_TRUE(PumpUntil([&] { return (window = FindMainWindowOf(upper.id(), true)) != nullptr; }, 20000));
    PostMessageW(window, WM_CLOSE, 0, 0);
    DWORD code = 99;
    ASSERT_TRUE(upper.WaitExit(20000, code));
    EXPECT_EQ(code, 0u);
}

TEST_F(ShellTest, InteractiveRunShowsTheMainWindowAndClosingEndsWithZero) {
    RunningProgram program(Program(), L"");
    ASSERT_TRUE(program.started());
    HWND window = nullptr;
    ASSERT_TRUE(PumpUntil([&] { return (window = FindMainWindowOf(program.id(), true)) != nullptr; }, 20000));

    wchar_t title[64] = {};
    GetWindowTextW(window, title, 64);
    EXPECT_STREQ(title, L"澄序 Orvane");
    RECT client{};
    GetClientRect(window, &client);
    EXPECT_EQ(client.right - client.left, 1180);
    EXPECT_EQ(client.bottom - client.top, 760);
    const LONG style = GetWindowLongW(window, GWL_STYLE);
    EXPECT_TRUE(style & WS_MINIMIZEBOX);
    EXPECT_FALSE(style & WS_MAXIMIZEBOX) << "fixed frame";
    EXPECT_FALSE(style & WS_THICKFRAME) << "fixed frame";
    EXPECT_TRUE(GetWindowLongW(window, GWL_EXSTYLE) & WS_EX_TOPMOST);

    PostMessageW(window, WM_CLOSE, 0, 0);
    DWORD code = 99;
    ASSERT_TRUE(program.WaitExit(20000, code));
    EXPECT_EQ(code, 0u);
}

TEST_F(ShellTest, SelfTestRunsHiddenAndExitsWithItsResult) {
    RunningProgram program(Program(), L"--self-test");
    ASSERT_TRUE(program.started());
    bool sawVisibleWindow = false;
    bool sawHiddenWindow = false;
    while (!program.Exited()) {
        if (FindMainWindowOf(program.id(), true)) sawVisibleWindow = true;
        if (FindMainWindowOf(program.id(), false)) sawHiddenWindow = true;
        Sleep(5);
    }
    DWORD code = 99;
    ASSERT_TRUE(program.WaitExit(0, code));
    EXPECT_EQ(code, 0u) << "every self-test check passes under wine";
    EXPECT_FALSE(sawVisibleWindow);
    (void)sawHiddenWindow;  // the run may be too quick to catch the hidden window
}

TEST_F(ShellTest, SelfTestWithoutTheSignatureLibraryExitsWithNine) {
    LoneProgram lone;
    ProcessResult run = RunProgram(lone.path(), L"--self-test");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 9u);

    // A damaged library (not a DLL at all) is just as incomplete.
    WriteFileBytes(lone.path().parent_path() / L"libsodium.dll", "this is not a library");
    run = RunProgram(lone.path(), L"--self-test");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 9u);
}
