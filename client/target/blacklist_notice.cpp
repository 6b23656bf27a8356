#include "target/blacklist_notice.h"

#include "core/app_state.h"

std::wstring ComposeBlacklistNotice(const std::wstring& executableName, const std::wstring& reason) {
    std::wstring text = L"“" + executableName + L"”已被管理员列入黑名单，不能用于同步操作。\n\n";
    if (!reason.empty()) text += L"拦截原因：" + reason + L"\n\n";
    text += L"请重新选择其他软件。如认为记录有误，请联系管理员核对黑名单。";
    return text;
}

void ShowBlacklistNotice() {
    AppState& app = App();
    bool blocked;
    std::wstring name, reason;
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        blocked = app.session.target.blocked;
        name = app.session.target.executable_name;
        reason = app.session.target.block_reason;
    }
    RepaintMainWindow();
    if (blocked) ShowMessage(ComposeBlacklistNotice(name, reason), L"检测到黑名单软件", MB_ICONERROR);
}
