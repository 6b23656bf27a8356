#include "core/clipboard.h"

#include <cstring>

#include "core/holders.h"

bool CopyTextToClipboard(HWND owner, const std::wstring& text) {
    ClipboardScope clipboard(owner);
    if (!clipboard) return false;
    EmptyClipboard();
    const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    ScopedGlobalMemory memory(GlobalAlloc(GMEM_MOVEABLE, bytes));
    if (!memory) return false;
    {
        GlobalLockScope locked(memory.get());
        if (!locked.data()) return false;
        std::memcpy(locked.data(), text.c_str(), bytes);
    }
    if (!SetClipboardData(CF_UNICODETEXT, memory.get())) return false;
    memory.release();  // the clipboard owns it now
    return true;
}

std::wstring ClipboardText(HWND owner) {
    ClipboardScope clipboard(owner);
    if (!clipboard) return {};
    // The clipboard keeps the block: it is read under its lock and never freed here.
    GlobalLockScope locked(GetClipboardData(CF_UNICODETEXT));
    const auto* chars = static_cast<const wchar_t*>(locked.data());
    return chars ? std::wstring(chars) : std::wstring();
}
