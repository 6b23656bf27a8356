#include "support/real_input.h"

#include "support/test_support.h"
#include "target/picker_layout.h"

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

void DragPointer(POINT screen) {
    const VirtualScreen desktop{GetSystemMetrics(SM_XVIRTUALSCREEN), GetSystemMetrics(SM_YVIRTUALSCREEN),
                                GetSystemMetrics(SM_CXVIRTUALSCREEN), GetSystemMetrics(SM_CYVIRTUALSCREEN)};
    const POINT absolute = AbsolutePointerCoordinates(screen, desktop);
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dx = absolute.x;
    input.mi.dy = absolute.y;
    input.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_VIRTUALDESK;
    SendInput(1, &input, sizeof input);
    Settle();
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

// ---- hands ----------------------------------------------------------------------------------------

void Hands::MoveTo(POINT screen) const { MovePointer(screen); }
void Hands::Press() const { PressLeftButton(); }
void Hands::Release() const { ReleaseLeftButton(); }
void Hands::DragTo(POINT screen) const { DragPointer(screen); }
void Hands::Type(const std::wstring& text) const { TypeText(text); }
void Hands::Key(WORD virtualKey, bool shift) const { PressKey(virtualKey, shift); }
void Hands::Chord(std::initializer_list<WORD> virtualKeys) const { PressChord(virtualKeys); }

void Hands::Click(POINT screen) const {
    MoveTo(screen);
    Press();
    Release();
}

XdotoolHands::XdotoolHands(std::wstring program) : program_(std::move(program)) {}

void XdotoolHands::Run(const std::wstring& arguments) const {
    std::wstring commandLine = program_ + L" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        WaitForSingleObject(process.hProcess, 10000);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    Settle();
}

void XdotoolHands::MoveTo(POINT screen) const {
    Run(L"mousemove " + std::to_wstring(screen.x) + L" " + std::to_wstring(screen.y));
}
void XdotoolHands::Press() const { Run(L"mousedown 1"); }
void XdotoolHands::Release() const { Run(L"mouseup 1"); }
void XdotoolHands::DragTo(POINT screen) const { MoveTo(screen); }
