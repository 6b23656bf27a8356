// The clipboard's text, both ways: what a paste reads and what a copy button writes.
#pragma once

#include <windows.h>

#include <string>

// Puts UTF-16 text on the clipboard; false when nothing was copied.
bool CopyTextToClipboard(HWND owner, const std::wstring& text);

// The clipboard's UTF-16 text; empty when it holds none or cannot be opened (another program may
// have it open at this moment).
std::wstring ClipboardText(HWND owner);
