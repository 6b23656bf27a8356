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

// ---- changing the hotkey in the personal centre (user-interface thread) ---------------------------

// What a key pressed while the capture waits means. Esc cancels; a modifier alone, an input
// method's key (VK_PROCESSKEY, 229) and a key code the saved file could not hold (below 8 or 255)
// are passed over and the capture goes on; a key without Ctrl, Alt or Shift must be one of F1–F12.
enum class CaptureKey { Cancel, PassOver, NeedsModifier, Candidate };
CaptureKey ClassifyCaptureKey(uint32_t virtualKey, uint32_t modifiers);

// The hotkey button: the current hotkey is unregistered and the main window waits for the next key.
void StartHotkeyCapture();
// Every key-down of the main window is offered here first; true when the capture consumed it.
bool HandleHotkeyCaptureKey(uint32_t virtualKey);
// Esc, the button again, or the panel closing: the old hotkey is registered again.
void CancelHotkeyCapture();
// After a state change: when the capture was ended elsewhere (the session ended with the panel
// open), the wake hotkey is registered again.
void RestoreHotkeyAfterEndedCapture();

// WM_HOTKEY of the wake hotkey: restores a minimised window (or shows it), makes it topmost and
// brings it to the foreground.
void BringMainWindowForward(HWND window);
