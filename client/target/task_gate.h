// The gate every task action passes (create a room, join a room, start a synchronisation test): a
// saved purpose, a confirmed target whose blacklist check succeeded and did not block it, and the
// user's final Yes in a box that names the position, the program and the purpose.
#pragma once

#include <windows.h>

#include <string>

// User-interface thread. `operation` is "创建房间", "加入房间" or "开始同步测试". True only when the
// user answered Yes; every refusal has told the user why.
bool ConfirmTaskStart(const std::wstring& operation);

// The check every position, target and task action passes first: true when a usage purpose is
// saved. Otherwise opens the purpose panel (status "正在打开本次使用设置") and returns false; the
// caller then does nothing. User-interface thread.
bool PurposeGate();

// The texts of the gate's boxes.
std::wstring ComposeBlockedTaskText(const std::wstring& blockReason);
std::wstring ComposeTaskConfirmation(const std::wstring& operation, POINT clickPoint,
                                     const std::wstring& executableName, const std::wstring& purposeLabel);
