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
// A chord: the keys pressed in order and released in reverse (Ctrl + Alt + Q).
void PressChord(std::initializer_list<WORD> virtualKeys);
