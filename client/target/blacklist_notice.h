// Telling the user that the chosen program is on the administrator's blacklist.
#pragma once

#include <windows.h>

#include <string>

// The text of the message box that tells the user the chosen program is blacklisted.
std::wstring ComposeBlacklistNotice(const std::wstring& executableName, const std::wstring& reason);

// UI thread, on MSG_BLACKLIST_HIT: repaints and, when the target is still blocked, shows the notice
// owned by `mainWindow`.
void ShowBlacklistNotice();
