#include "target/task_gate.h"

#include "core/purpose.h"

TargetSelection TargetNow() {
    AppState& app = App();
    std::lock_guard<std::mutex> lock(app.stateMutex);
    return app.session.target;
}

namespace {

// The gate's refusals of a target that cannot carry a task; true when it refused (and said why).
bool RefuseUnusableTarget(const TargetSelection& target) {
    if (!target.target_confirmed) {
        ShowMessage(L"请先显示悬浮球并确认要点击的位置。", L"澄序", MB_ICONWARNING);
        return true;
    }
    if (!target.check_ok) {
        ShowMessage(L"正在向服务器检查目标软件是否在黑名单中，请稍候几秒后再试。\n如果长时间没有结果，请重新选择点击位置。",
                    L"正在检查软件", MB_ICONINFORMATION);
        return true;
    }
    if (target.blocked) {
        ShowMessage(ComposeBlockedTaskText(target.block_reason), L"黑名单软件禁止使用", MB_ICONERROR);
        return true;
    }
    return false;
}

}  // namespace

std::wstring ComposeBlockedTaskText(const std::wstring& blockReason) {
    std::wstring text = L"当前目标软件已被管理员列入黑名单，不能用于创建、加入或同步测试。\n\n";
    if (!blockReason.empty()) text += L"拦截原因：" + blockReason + L"\n\n";
    text += L"请更换目标软件；如认为记录有误，请联系管理员核对或删除黑名单记录。";
    return text;
}

std::wstring ComposeTaskConfirmation(const std::wstring& operation, POINT clickPoint,
                                     const std::wstring& executableName, const std::wstring& purposeLabel,
                                     const std::wstring& clickTime, const std::wstring& warning) {
    std::wstring text = operation + L"\n\n";
    if (!clickTime.empty()) text += L"点击时间：" + clickTime + L"\n";
    return text + L"点击位置：横向 " + std::to_wstring(clickPoint.x) + L" / 纵向 " + std::to_wstring(clickPoint.y) +
           L"\n目标软件：" + executableName + L"\n任务用途：" + purposeLabel +
           L"\n软件只会为本次操作触发一次，完成后授权立即失效。\n\n" + (warning.empty() ? L"" : L"注意：" + warning + L"\n\n") +
           L"确认继续吗？";
}

bool SameUsableTarget(const TargetSelection& now, const TargetSelection& confirmed) {
    return now.target_confirmed && now.check_ok && !now.blocked &&
           now.executable_sha256 == confirmed.executable_sha256 && now.executable_name == confirmed.executable_name &&
           now.executable_path == confirmed.executable_path &&
           now.click_point.x == confirmed.click_point.x && now.click_point.y == confirmed.click_point.y;
}

void ExplainChangedTarget() {
    if (RefuseUnusableTarget(TargetNow())) return;
    ShowMessage(kTargetChangedText, L"澄序", MB_ICONWARNING);
}

bool PurposeGate() {
    AppState& app = App();
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        if (app.session.purposeSaved) return true;
        app.statusText = L"正在打开本次使用设置";
        app.session.modalPanel = ModalPanelKind::Purpose;
        app.session.panelStatusAtOpen = app.statusText;
        app.session.panelDetailAtOpen = app.detailText;
        app.session.panelActionReported = false;
        app.session.pendingPurpose = app.session.savedPurpose;
    }
    // The main window's answer to a state change shows the panel's controls and repaints; sent, so
    // that the panel is there when the caller returns.
    if (HWND main = app.mainWindow.load()) SendMessageW(main, MSG_STATE_CHANGED, 0, 0);
    return false;
}

bool ConfirmTaskStart(const std::wstring& operation, TargetSelection* confirmed, const std::wstring& clickTime,
                      const std::wstring& warning) {
    if (!PurposeGate()) return false;
    const TargetSelection shown = TargetNow();
    if (RefuseUnusableTarget(shown)) return false;
    const std::wstring text = ComposeTaskConfirmation(operation, shown.click_point, shown.executable_name,
                                                      CurrentPurpose().label, clickTime, warning);
    if (!AskYesNo(text, L"请确认本次操作", MB_ICONQUESTION)) return false;
    // The box runs its own message loop: a blacklist answer or another pick may have come meanwhile,
    // and the Yes belongs only to what the box showed.
    if (!SameUsableTarget(TargetNow(), shown)) {
        ExplainChangedTarget();
        return false;
    }
    if (confirmed) *confirmed = shown;
    return true;
}
