// The gate every task action passes (create a room, join a room, start a synchronisation test): a
// saved purpose, a confirmed target whose blacklist check succeeded and did not block it, and the
// user's final Yes in a box that names the position, the program and the purpose.
#pragma once

#include <windows.h>

#include <string>

#include "core/app_state.h"

// User-interface thread. `operation` is "创建房间", "加入房间" or "开始同步测试"; `clickTime` is
// the line that tells when the click happens ("今天 14:15:16"; empty leaves the line out). True only
// when the user answered Yes and the target is still the one the box named (a blacklist answer may arrive
// while the box is open); every refusal has told the user why. `confirmed` receives the target the
// user said Yes to.
bool ConfirmTaskStart(const std::wstring& operation, TargetSelection* confirmed = nullptr,
                      const std::wstring& clickTime = L"", const std::wstring& warning = L"");

// The check every position, target and task action passes first: true when a usage purpose is
// saved. Otherwise opens the purpose panel (status "正在打开本次使用设置") and returns false; the
// caller then does nothing. User-interface thread.
bool PurposeGate();

// A copy of the target as it stands (takes the state lock).
TargetSelection TargetNow();

// Whether `now` is still usable and the very target the user confirmed: confirmed, checked, not
// blocked, the same program and the same point.
bool SameUsableTarget(const TargetSelection& now, const TargetSelection& confirmed);

// Tells the user why the confirmed target can no longer be used (the gate's own refusal for a
// target that is now blocked, unchecked or gone; otherwise that it changed). User-interface thread.
void ExplainChangedTarget();

// The texts of the gate's boxes.
std::wstring ComposeBlockedTaskText(const std::wstring& blockReason);
std::wstring ComposeTaskConfirmation(const std::wstring& operation, POINT clickPoint,
                                     const std::wstring& executableName, const std::wstring& purposeLabel,
                                     const std::wstring& clickTime = L"", const std::wstring& warning = L"");
inline constexpr wchar_t kTargetChangedText[] = L"确认期间点击位置或目标软件发生了变化，请重新开始。";
