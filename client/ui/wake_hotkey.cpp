#include "ui/wake_hotkey.h"

#include <cctype>
#include <fstream>
#include <sstream>

#include "core/app_state.h"
#include "core/data_dir.h"

namespace {

constexpr wchar_t kHotkeyFile[] = L"wake-hotkey.conf";

bool IsFunctionKey(uint32_t vk) { return vk >= VK_F1 && vk <= VK_F12; }

// The window whose wake hotkey a capture has taken away and not yet given back (user-interface
// thread only): the capture may be ended by the end of the session on another thread, and then the
// hotkey is registered again here.
HWND& CaptureHolder() {
    static HWND holder = nullptr;
    return holder;
}


// The modifiers held right now, in the hotkey's bits.
uint32_t HeldModifiers() {
    uint32_t modifiers = 0;
    if (GetKeyState(VK_CONTROL) < 0) modifiers |= MOD_CONTROL;
    if (GetKeyState(VK_MENU) < 0) modifiers |= MOD_ALT;
    if (GetKeyState(VK_SHIFT) < 0) modifiers |= MOD_SHIFT;
    return modifiers;
}

WakeHotkey CurrentWakeHotkey() {
    AppState& app = App();
    std::lock_guard<std::mutex> lock(app.stateMutex);
    return {app.hotkeyModifiers, app.hotkeyKey};
}

// The capture is over: the hotkey that is current now (the old or the new one) is registered.
void GiveHotkeyBack() {
    CaptureHolder() = nullptr;
    const WakeHotkey current = CurrentWakeHotkey();
    RegisterWakeHotkey(App().mainWindow, current.modifiers, current.virtualKey);
}

// An unsigned decimal number after optional white space; false when there is none.
bool ReadUnsigned(std::istringstream& in, uint32_t& value) {
    in >> std::ws;
    if (!std::isdigit(in.peek())) return false;
    unsigned long long number = 0;
    in >> number;
    if (!in || number > 0xFFFFFFFFull) return false;
    value = static_cast<uint32_t>(number);
    return true;
}

}  // namespace

bool IsValidWakeHotkey(uint32_t modifiers, uint32_t virtualKey) {
    return modifiers < 8 && virtualKey >= 8 && virtualKey <= 254 && (modifiers != 0 || IsFunctionKey(virtualKey));
}

WakeHotkey ParseWakeHotkeyText(const std::string& text) {
    std::istringstream in(text);
    WakeHotkey hotkey;
    uint32_t modifiers = 0, key = 0;
    if (ReadUnsigned(in, modifiers) && ReadUnsigned(in, key) && IsValidWakeHotkey(modifiers, key)) {
        hotkey.modifiers = modifiers;
        hotkey.virtualKey = key;
    }
    return hotkey;
}

WakeHotkey LoadWakeHotkey() {
    try {
        std::ifstream in(GetDataDirectory() / kHotkeyFile);
        if (!in) return {};
        std::ostringstream text;
        text << in.rdbuf();
        return ParseWakeHotkeyText(text.str());
    } catch (const std::exception&) {
        return {};
    }
}

void SaveWakeHotkey(uint32_t modifiers, uint32_t virtualKey) {
    try {
        // Binary: the line ends in a line feed alone, as the file's format says, not a carriage return too.
        std::ofstream out(GetDataDirectory() / kHotkeyFile, std::ios::trunc | std::ios::binary);
        if (out) out << modifiers << ' ' << virtualKey << '\n';
    } catch (const std::exception&) {
        // Not saved: the new hotkey still works until the program ends.
    }
}

void UnregisterWakeHotkey(HWND window) {
    AppState& app = App();
    bool registered;
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        registered = app.hotkeyRegistered;
        app.hotkeyRegistered = false;
    }
    if (registered) UnregisterHotKey(window, kWakeHotkeyId);
}

bool RegisterWakeHotkey(HWND window, uint32_t modifiers, uint32_t virtualKey) {
    UnregisterWakeHotkey(window);
    if (!RegisterHotKey(window, kWakeHotkeyId, modifiers | MOD_NOREPEAT, virtualKey)) return false;
    AppState& app = App();
    std::lock_guard<std::mutex> lock(app.stateMutex);
    app.hotkeyRegistered = true;
    return true;
}

namespace {

// The arrows and the editing block share their scan codes with the number pad, and the layout's name
// lookup then answers with the number-pad key ("Num 4" for Left). They are named here, as the
// letters and function keys are, in the words Windows uses for them.
const wchar_t* EditingKeyName(uint32_t virtualKey) {
    switch (virtualKey) {
        case VK_LEFT: return L"Left";
        case VK_RIGHT: return L"Right";
        case VK_UP: return L"Up";
        case VK_DOWN: return L"Down";
        case VK_INSERT: return L"Insert";
        case VK_DELETE: return L"Delete";
        case VK_HOME: return L"Home";
        case VK_END: return L"End";
        case VK_PRIOR: return L"Page Up";
        case VK_NEXT: return L"Page Down";
        default: return nullptr;
    }
}

}  // namespace

std::wstring FormatHotkeyText(uint32_t modifiers, uint32_t virtualKey) {
    std::wstring text;
    auto add = [&text](const std::wstring& part) {
        if (!text.empty()) text += L" + ";
        text += part;
    };
    if (modifiers & MOD_CONTROL) add(L"Ctrl");
    if (modifiers & MOD_ALT) add(L"Alt");
    if (modifiers & MOD_SHIFT) add(L"Shift");
    if ((virtualKey >= 'A' && virtualKey <= 'Z') || (virtualKey >= '0' && virtualKey <= '9')) {
        add(std::wstring(1, static_cast<wchar_t>(virtualKey)));
    } else if (virtualKey >= VK_F1 && virtualKey <= VK_F24) {
        add(L"F" + std::to_wstring(virtualKey - 111));
    } else if (const wchar_t* editingKey = EditingKeyName(virtualKey)) {
        add(editingKey);
    } else {
        wchar_t name[64] = {};
        // Other extended keys (right Ctrl and Alt, the number pad's divide and Enter) carry the flag
        // in bit 24 of the key data, or the layout names their plain twin.
        const UINT scanCode = MapVirtualKeyW(virtualKey, MAPVK_VK_TO_VSC_EX);
        const LONG keyData = static_cast<LONG>(((scanCode & 0xFF) << 16) | ((scanCode & 0xFF00) ? (1u << 24) : 0u));
        int length = GetKeyNameTextW(keyData, name, 64);
        add(length > 0 ? std::wstring(name, length) : L"按键 " + std::to_wstring(virtualKey));
    }
    return text;
}

CaptureKey ClassifyCaptureKey(uint32_t virtualKey, uint32_t modifiers) {
    if (virtualKey == VK_ESCAPE) return CaptureKey::Cancel;
    switch (virtualKey) {
        case VK_SHIFT:
        case VK_CONTROL:
        case VK_MENU:
        case VK_LSHIFT:
        case VK_RSHIFT:
        case VK_LCONTROL:
        case VK_RCONTROL:
        case VK_LMENU:
        case VK_RMENU:
        case VK_PROCESSKEY: return CaptureKey::PassOver;
        default: break;
    }
    if (virtualKey < 8 || virtualKey > 254) return CaptureKey::PassOver;
    if (modifiers == 0 && !IsFunctionKey(virtualKey)) return CaptureKey::NeedsModifier;
    return IsValidWakeHotkey(modifiers, virtualKey) ? CaptureKey::Candidate : CaptureKey::PassOver;
}

void StartHotkeyCapture() {
    AppState& app = App();
    HWND window = app.mainWindow;
    UnregisterWakeHotkey(window);
    CaptureHolder() = window;
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        app.session.hotkeyCapturing = true;
        app.statusText = L"请按下新的窗口唤起快捷键";
        app.detailText.clear();
    }
    // Key presses must reach the main window itself, not a field.
    if (window) SetFocus(window);
    RepaintMainWindow();
}

bool HandleHotkeyCaptureKey(uint32_t virtualKey) {
    AppState& app = App();
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        if (!app.session.hotkeyCapturing) return false;
    }
    HWND window = app.mainWindow;
    const uint32_t modifiers = HeldModifiers();
    switch (ClassifyCaptureKey(virtualKey, modifiers)) {
        case CaptureKey::Cancel: CancelHotkeyCapture(); return true;
        case CaptureKey::PassOver: return true;
        case CaptureKey::NeedsModifier:
            ShowMessage(L"请至少组合 Ctrl、Alt 或 Shift；也可以直接使用 F1-F12。", L"快捷键需要组合键",
                        MB_ICONINFORMATION);
            return true;
        case CaptureKey::Candidate: break;
    }

    const WakeHotkey old = CurrentWakeHotkey();
    if (RegisterWakeHotkey(window, modifiers, virtualKey)) {
        CaptureHolder() = nullptr;
        {
            std::lock_guard<std::mutex> lock(app.stateMutex);
            app.hotkeyModifiers = modifiers;
            app.hotkeyKey = virtualKey;
            app.session.hotkeyCapturing = false;
            app.statusText = L"窗口唤起快捷键已保存";
            app.detailText.clear();
        }
        SaveWakeHotkey(modifiers, virtualKey);
        RepaintMainWindow();
        return true;
    }

    CaptureHolder() = nullptr;
    RegisterWakeHotkey(window, old.modifiers, old.virtualKey);
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        app.session.hotkeyCapturing = false;
        app.statusText = L"快捷键没有更改";
        app.detailText = L"该快捷键已被其他程序占用，请换一个组合";
    }
    RepaintMainWindow();
    ShowMessage(L"这个快捷键已被其他程序占用，请换一个组合。", L"无法使用该快捷键", MB_ICONWARNING);
    return true;
}

void CancelHotkeyCapture() {
    AppState& app = App();
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        if (!app.session.hotkeyCapturing) return;
        app.session.hotkeyCapturing = false;
        app.statusText = L"快捷键设置已取消";
    }
    GiveHotkeyBack();
    RepaintMainWindow();
}

void RestoreHotkeyAfterEndedCapture() {
    if (!CaptureHolder()) return;
    if (CaptureHolder() != App().mainWindow) {  // a window that has gone: nothing to give back
        CaptureHolder() = nullptr;
        return;
    }
    {
        AppState& app = App();
        std::lock_guard<std::mutex> lock(app.stateMutex);
        if (app.session.hotkeyCapturing) return;
    }
    GiveHotkeyBack();
}

void BringMainWindowForward(HWND window) {
    ShowWindow(window, IsIconic(window) ? SW_RESTORE : SW_SHOW);
    SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW);
    SetForegroundWindow(window);
}
