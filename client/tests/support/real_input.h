// Real input, as a person gives it: pointer moves, button presses and key strokes injected with
// SendInput, so they travel through the system's input queue to whatever window is under the pointer
// or has the focus. After each step this thread's messages are pumped so the windows react.
#pragma once

#include <windows.h>

#include <initializer_list>
#include <string>

void MovePointer(POINT screen);
// The pointer moved by the mouse itself (an absolute SendInput move), so the move carries the state
// of the buttons held: what a drag in another program's window needs.
void DragPointer(POINT screen);
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

// A person's hands on one kind of input device. The base sends Windows input (the functions above)
// into this wine session. XdotoolHands moves and presses the mouse on the X display instead, as a
// physical mouse would (xdotool, started as a Unix program from inside wine), and types as the base
// does: a program of another process sees, under wine, the pointer's jumps made by SendInput as
// moves without the button held, and those can end a drag it is in; the X server's own pointer
// carries its buttons.
class Hands {
public:
    virtual ~Hands() = default;
    virtual void MoveTo(POINT screen) const;
    virtual void Press() const;
    virtual void Release() const;
    // A move with the button held.
    virtual void DragTo(POINT screen) const;
    void Type(const std::wstring& text) const;
    void Key(WORD virtualKey, bool shift = false) const;
    void Chord(std::initializer_list<WORD> virtualKeys) const;
    void Click(POINT screen) const;
};

class XdotoolHands : public Hands {
public:
    // `program`: the Windows path of xdotool (Z:\usr\bin\xdotool on Debian).
    explicit XdotoolHands(std::wstring program = L"Z:\\usr\\bin\\xdotool");
    void MoveTo(POINT screen) const override;
    void Press() const override;
    void Release() const override;
    void DragTo(POINT screen) const override;
    // One xdotool run with these arguments (its commands can be chained: "mousemove 1 2 sleep 0.01 …").
    void Run(const std::wstring& arguments) const;

private:
    std::wstring program_;
};
