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



// The top-level window of class "BriskodeskMain" that belongs to the process, or null.
HWND FindMainWindowOf(DWORD processId, bool visibleOnly) {
    return FindTopLevelWindowOf(processId, L"BriskodeskMain", visibleOnly);
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
    // The main window and the picker it drives stay hidden throughout. (The countdown badge counts as
    // shown for one check but never gets a picture; the screen itself is watched by selftest_screens.)
    bool sawVisibleMain = false, sawVisiblePicker = false;
    while (!program.Exited()) {
        if (FindMainWindowOf(program.id(), true)) sawVisibleMain = true;
        if (FindTopLevelWindowOf(program.id(), L"BriskodeskOverlay", true)) sawVisiblePicker = true;
        Sleep(1);
    }
    DWORD code = 99;
    ASSERT_TRUE(program.WaitExit(0, code));
    EXPECT_EQ(code, 0u) << "every self-test check passes under wine";
    EXPECT_FALSE(sawVisibleMain);
    EXPECT_FALSE(sawVisiblePicker);
}

TEST_F(ShellTest, SelfTestNamesTheSignatureLibraryThatFailsItsChecks) {
    // A library that loads and has every entry point, but rejects the published test signature, or
    // cannot seal the blacklist code: each ends the run with its own code, the earlier check first.
    struct Case {
        const wchar_t* standIn;
        DWORD expected;
    };
    const Case cases[] = {{L"rejects-signatures", 8u}, {L"cannot-seal", 27u}};
    for (const Case& c : cases) {
        LoneProgram lone;
        fs::copy_file(ProgramFolder() / L"sodium-standin" / c.standIn / L"libsodium.dll",
                      lone.path().parent_path() / L"libsodium.dll");
        ProcessResult run = RunProgram(lone.path(), L"--self-test");
        ASSERT_TRUE(run.finished) << c.standIn;
        EXPECT_EQ(run.exitCode, c.expected) << c.standIn;
    }
    // The same copy with the real library beside it passes.
    LoneProgram lone;
    fs::copy_file(ProgramFolder() / L"libsodium.dll", lone.path().parent_path() / L"libsodium.dll");
    ProcessResult run = RunProgram(lone.path(), L"--self-test");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u);
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

TEST_F(ShellTest, ASameNamedSystemDllBesideTheProgramIsNeverLoaded) {
    // Windows looks beside a program first for DLLs that are not on its known-DLL list. Wine prefers
    // its own copies, so it is told to prefer one found on disk, as Windows would; the program must
    // still take the system's.
    TempFolder folder;
    fs::copy_file(Program(), folder.path() / L"Orvane.exe");
    fs::copy_file(ProgramFolder() / L"libsodium.dll", folder.path() / L"libsodium.dll");
    const wchar_t* planted[] = {L"winhttp.dll", L"winmm.dll", L"bcrypt.dll", L"crypt32.dll"};
    for (const wchar_t* name : planted) fs::copy_file(ProgramFolder() / L"planted" / L"planted.dll", folder.path() / name);
    TempFolder markers;
    ScopedEnvironment marker(L"ORVANE_PLANTED_MARKER", markers.path().wstring());
    ScopedEnvironment preferDisk(L"WINEDLLOVERRIDES", L"mscoree,mshtml=;winhttp,winmm,bcrypt,crypt32=n,b");

    RunningProgram program(folder.path() / L"Orvane.exe", L"");
    ASSERT_TRUE(program.started());
    HWND window = nullptr;
    ASSERT_TRUE(PumpUntil([&] { return (window = FindMainWindowOf(program.id(), true)) != nullptr; }, 30000));
    // The start-up check reaches for WinHTTP right away.
    PumpUntil([] { return false; }, 2500);
    PostMessageW(window, WM_CLOSE, 0, 0);
    DWORD code = 1;
    ASSERT_TRUE(program.WaitExit(20000, code));
    EXPECT_EQ(code, 0u);
    for (const auto& entry : fs::directory_iterator(markers.path()))
        ADD_FAILURE() << "loaded from beside the program: " << entry.path().filename().string();

    // The stand-in does leave its marker when it is loaded, so the check above can fail. (Under the
    // same override, a build that imports WinHTTP directly loads the planted copy at start.)
    fs::copy_file(ProgramFolder() / L"planted" / L"planted.dll", folder.path() / L"stand-in.dll");
    HMODULE loaded = LoadLibraryExW((folder.path() / L"stand-in.dll").c_str(), nullptr, 0);
    ASSERT_NE(loaded, nullptr);
    FreeLibrary(loaded);
    EXPECT_TRUE(fs::exists(markers.path() / L"stand-in.dll.loaded"));
}
