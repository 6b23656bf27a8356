// The global wake hotkey (default Ctrl + Alt + Q), kept in "wake-hotkey.conf".
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

// The id under which the main window registers the wake hotkey.
constexpr int kWakeHotkeyId = 1;

struct WakeHotkey {
    uint32_t modifiers = MOD_ALT | MOD_CONTROL;  // 1 Alt, 2 Ctrl, 4 Shift
    uint32_t virtualKey = 0x51;                  // Q
};

// Reads the two numbers at the start of the file's text; the default for anything invalid.
WakeHotkey ParseWakeHotkeyText(const std::string& text);
bool IsValidWakeHotkey(uint32_t modifiers, uint32_t virtualKey);

WakeHotkey LoadWakeHotkey();
void SaveWakeHotkey(uint32_t modifiers, uint32_t virtualKey);

// (Re-)registers hotkey id 1 for the window, keeping the hotkey-registered flag of AppState true.
bool RegisterWakeHotkey(HWND window, uint32_t modifiers, uint32_t virtualKey);
// Unregisters hotkey id 1 when it is registered.
void UnregisterWakeHotkey(HWND window);

// "Ctrl + Alt + Q", "Ctrl + Shift + F5", "F12", …
std::wstring FormatHotkeyText(uint32_t modifiers, uint32_t virtualKey);

// WM_HOTKEY of the wake hotkey: restores a minimised window (or shows it), makes it topmost and
// brings it to the foreground.
void BringMainWindowForward(HWND window);
