// The process start: command line, user-interface facilities, window classes, the main window and
// either the message loop or the self-test.
#pragma once

#include <windows.h>

struct CommandLineChoice {
    bool uninstallCleanup = false;  // "--uninstall-cleanup" anywhere (takes precedence)
    bool selfTest = false;          // "--self-test" anywhere
    bool measure = false;           // "--measure" anywhere: the precision report, no window of the program
};

// Case-sensitive substring search for the switches.
CommandLineChoice ParseCommandLine(const wchar_t* commandLine);

// Exit codes of the start-up itself.
constexpr int kExitGdiplusFailed = 1;
constexpr int kExitMainWindowFailed = 2;

// Registers "BriskodeskMain", "BriskodeskOverlay" and "OrvaneCountdownOverlay"; false when the main
// window's class could not be registered.
bool RegisterWindowClasses(HINSTANCE instance);
// Creates MainWindow (1180 × 760 client area, fixed frame, topmost); null on failure.
HWND CreateMainWindow(HINSTANCE instance);

// The whole run; returns the process exit code.
int RunApplication(HINSTANCE instance, const wchar_t* commandLine, int showCommand);
