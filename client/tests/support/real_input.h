// Real input, as a person gives it: pointer moves, button presses and key strokes injected with
// SendInput, so they travel through the system's input queue to whatever window is under the pointer
// or has the focus. After each step this thread's messages are pumped so the windows react.
#pragma once

#include <windows.h>

#include <initializer_list>
#include <string>

void MovePointer(POINT screen);
void PressLeftButton();
void ReleaseLeftButton();
// Move, press, release.
void ClickAt(POINT screen);
// Each character as a Unicode key stroke (what an input method delivers).
void TypeText(const std::wstring& text);
// One key stroke of a virtual key, with Shift held when asked.
void PressKey(WORD virtualKey, bool shift = false);
// One key stroke of a virtual key while the given keys (Ctrl, Alt, Shift, …) are held down; they are
// pressed in order before it and released in reverse order after it.
void PressKeyHolding(std::initializer_list<WORD> held, WORD virtualKey);
