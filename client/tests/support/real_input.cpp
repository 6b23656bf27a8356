#include "support/real_input.h"

#include "support/test_support.h"

#include <iterator>

namespace {

void Settle() { PumpUntil([] { return false; }, 40); }

void SendMouse(DWORD flags) {
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dwFlags = flags;
    SendInput(1, &input, sizeof input);
    Settle();
}

void SendKey(WORD virtualKey, wchar_t character, bool up) {
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = virtualKey;
    input.ki.wScan = character;
    input.ki.dwFlags = (character ? KEYEVENTF_UNICODE : 0) | (up ? KEYEVENTF_KEYUP : 0);
    SendInput(1, &input, sizeof input);
}

}  // namespace

void MovePointer(POINT screen) {
    SetCursorPos(screen.x, screen.y);
    SendMouse(MOUSEEVENTF_MOVE);  // a zero move, so the window under the pointer hears of it
}

void PressLeftButton() { SendMouse(MOUSEEVENTF_LEFTDOWN); }

void ReleaseLeftButton() { SendMouse(MOUSEEVENTF_LEFTUP); }

void ClickAt(POINT screen) {
    MovePointer(screen);
    PressLeftButton();
    ReleaseLeftButton();
}

void TypeText(const std::wstring& text) {
    for (wchar_t c : text) {
        SendKey(0, c, false);
        SendKey(0, c, true);
        Settle();
    }
}

void PressKey(WORD virtualKey, bool shift) {
    if (shift) SendKey(VK_SHIFT, 0, false);
    SendKey(virtualKey, 0, false);
    SendKey(virtualKey, 0, true);
    if (shift) SendKey(VK_SHIFT, 0, true);
    Settle();
}

void PressChord(std::initializer_list<WORD> virtualKeys) {
    for (WORD key : virtualKeys) SendKey(key, 0, false);
    for (auto key = virtualKeys.end(); key != virtualKeys.begin();) SendKey(*--key, 0, true);
    Settle();
}
