// The main window ("BriskodeskMain") and the countdown overlay window procedure.
#pragma once

#include <windows.h>

#include <string>

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK CountdownWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The text of the message box that tells the user the chosen program is blacklisted.
std::wstring ComposeBlacklistNotice(const std::wstring& executableName, const std::wstring& reason);

// The rectangle of the dashboard's countdown area, repainted by the 50 ms timer while a countdown runs.
constexpr RECT kCountdownArea{20, 380, 275, 551};
