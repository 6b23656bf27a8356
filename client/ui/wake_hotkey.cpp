#include "ui/wake_hotkey.h"

#include <cctype>
#include <fstream>
#include <sstream>

#include "core/app_state.h"
#include "core/data_dir.h"

namespace {

constexpr wchar_t kHotkeyFile[] = L"wake-hotkey.conf";

bool IsFunctionKey(uint32_t vk) { return vk >= VK_F1 && vk <= VK_F12; }

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
        std::ofstream out(GetDataDirectory() / kHotkeyFile, std::ios::trunc);
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
    } else {
        wchar_t name[64] = {};
        UINT scanCode = MapVirtualKeyW(virtualKey, MAPVK_VK_TO_VSC);
        int length = GetKeyNameTextW(static_cast<LONG>(scanCode << 16), name, 64);
        add(length > 0 ? std::wstring(name, length) : L"按键 " + std::to_wstring(virtualKey));
    }
    return text;
}

void BringMainWindowForward(HWND window) {
    ShowWindow(window, IsIconic(window) ? SW_RESTORE : SW_SHOW);
    SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW);
    SetForegroundWindow(window);
}
