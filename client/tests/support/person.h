// The program's main window as a person uses it: real pointer and keyboard input (SendInput) at the
// places where the screens draw their buttons and fields. The window may be the test program's own
// (the window harness) or that of a running Orvane.exe in the same wine session, so nothing here
// reads the program's state: the caller waits for what it expects to see.
#pragma once

#include <windows.h>

#include <string>

#include "core/form_fields.h"
#include "support/real_input.h"

class Person {
public:
    // `hands` must outlive the person; by default the input is sent with SendInput.
    explicit Person(HWND mainWindow, const Hands& hands = DefaultHands());
    static const Hands& DefaultHands();

    HWND window() const { return window_; }
    // Client position → screen position.
    POINT At(int x, int y) const;
    // A click in the middle of a client rectangle.
    void Click(const RECT& clientRect) const;
    // Clicks into the field, selects what it holds and types `text` over it.
    void Retype(FormField field, const std::wstring& text) const;

    // The signed-out form: account and password typed, the agreement box ticked when asked, then
    // the login button.
    void SignIn(const std::wstring& account, const std::wstring& password, bool tickAgreement) const;
    // "保存用途并开始使用" in the purpose panel (the option shown first stays chosen).
    void SavePurpose() const;
    // "选择点击位置", the ball dragged onto `target`, "确认". Empty when done; otherwise what the
    // picker did not do within the time. `drags`, when given, receives how many drags it took (a
    // person tries again when the ball did not follow).
    std::string PickPosition(POINT target, DWORD timeoutMs = 15000, int* drags = nullptr) const;

    // The three cards: fields filled as typed (a time of day as its six digits), then the button.
    void StartSyncTest(const std::wstring& timeOfDay) const;
    void CreateRoom(const std::wstring& code, const std::wstring& timeOfDay, const std::wstring& participants) const;
    void JoinRoom(const std::wstring& code) const;

private:
    DWORD processId() const;
    HWND window_;
    const Hands& hands_;
};

// The digits a person types for a time of day "HH:MM:SS" (the field puts the colons in itself).
std::wstring TimeDigits(const std::wstring& timeOfDay);

// The confirmation box "请确认本次操作" of the window's process, or null.
HWND FindConfirmationBox(DWORD processId);
// Presses its "是" button with the pointer.
bool AnswerYesWithThePointer(HWND box, const Hands& hands = Person::DefaultHands());
