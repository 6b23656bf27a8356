#include "ui/agreement_dialog.h"

#include <string>

#include "core/app_state.h"
#include "core/holders.h"

const wchar_t kAgreementTitle[] = L"用户使用协议与隐私说明";
const wchar_t kAgreementInstruction[] = L"澄序仅用于合规的软件测试、演示、教学和内部培训";
const wchar_t kAgreementContent[] =
    L"使用规则：\n"
    L"• 每次任务都由用户主动创建或加入，明确显示用途、倒计时和点击位置。\n"
    L"• 用户在本机确认后，客户端只接受一次性签名指令；执行后授权立即失效。\n"
    L"• 不得用于未获授权的软件、作弊、抢购、攻击、绕过安全控制或其他违法用途。\n\n"
    L"必要信息：\n"
    L"• 邮箱、随机设备标识校验值、任务参与和确认记录、点击坐标、用途、目标程序校验值与执行结果。\n"
    L"• 不收集屏幕内容、截图、键盘输入内容或剪贴板内容。\n\n"
    L"账号与数据：\n"
    L"• 可在个人中心退出账号或申请注销；依法需要保留的支付及安全记录按期限清理。\n"
    L"• 勾选同意后方可首次登录或注册。";

// The dialog's width in dialog units: room for the longest line, about 48 characters of 9-point text.
constexpr UINT kAgreementWidthDialogUnits = 420;

TaskDialogIndirectFunction FindTaskDialog() {
    // The library is already loaded (the program initialises the common controls at start), and the
    // process's manifest makes this name resolve to the version-6 controls. The program does not
    // import the function, so it still starts on a system without it.
    HMODULE controls = GetModuleHandleW(L"comctl32.dll");
    ScopedModule loaded;
    if (!controls) {
        loaded.reset(LoadLibraryW(L"comctl32.dll"));
        controls = loaded.get();
    }
    if (!controls) return nullptr;
    auto found = reinterpret_cast<TaskDialogIndirectFunction>(
        reinterpret_cast<void*>(GetProcAddress(controls, "TaskDialogIndirect")));
    // A library this call loaded itself stays loaded: the function must outlive this call.
    if (found) loaded.release();
    return found;
}

namespace {

constexpr UINT_PTR kEscapeClosesId = 1;

LRESULT CALLBACK EscapeClosesProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR) {
    if (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL && HIWORD(wParam) == BN_CLICKED &&
        !GetDlgItem(dialog, IDCANCEL)) {
        SendMessageW(dialog, TDM_CLICK_BUTTON, IDCLOSE, 0);
        return 0;
    }
    if (message == WM_NCDESTROY) RemoveWindowSubclass(dialog, EscapeClosesProc, kEscapeClosesId);
    return DefSubclassProc(dialog, message, wParam, lParam);
}

HRESULT CALLBACK AgreementDialogEvents(HWND dialog, UINT notification, WPARAM, LPARAM, LONG_PTR) {
    if (notification == TDN_CREATED) LetEscapeCloseTaskDialog(dialog);
    return S_OK;
}

}  // namespace

void LetEscapeCloseTaskDialog(HWND dialog) {
    // Some task dialogs (wine's among them) drop the Esc of a dialog without a Cancel button even when
    // cancellation is allowed: Esc is made a press of the Close button.
    SetWindowSubclass(dialog, EscapeClosesProc, kEscapeClosesId, 0);
    // The keyboard starts on the Close button, also when the dialog was opened from the keyboard while
    // the main window itself held the focus.
    if (HWND close = GetDlgItem(dialog, IDCLOSE)) SetFocus(close);
}

void ShowAgreementDialog(HWND owner, TaskDialogIndirectFunction taskDialog) {
    if (taskDialog) {
        TASKDIALOGCONFIG config{};
        config.cbSize = sizeof config;
        config.hwndParent = owner;
        config.dwFlags = TDF_ENABLE_HYPERLINKS | TDF_ALLOW_DIALOG_CANCELLATION;
        // The button carries its own text: the common Close button reads in the system's language,
        // which is not always Chinese.
        static const TASKDIALOG_BUTTON kClose{IDCLOSE, L"关闭"};
        config.cButtons = 1;
        config.pButtons = &kClose;
        config.nDefaultButton = IDCLOSE;
        // Wide enough for the longest line, so each line wraps where it is written and nowhere else.
        config.cxWidth = kAgreementWidthDialogUnits;
        config.pszWindowTitle = kAgreementTitle;
        config.pszMainInstruction = kAgreementInstruction;
        config.pszContent = kAgreementContent;
        config.pfCallback = AgreementDialogEvents;
        int pressed = 0;
        if (SUCCEEDED(taskDialog(&config, &pressed, nullptr, nullptr))) return;
    }
    const std::wstring text = std::wstring(kAgreementInstruction) + L"\n\n" + kAgreementContent;
    ShowMessage(text, kAgreementTitle, MB_ICONINFORMATION);
}

void ShowAgreementDialog(HWND owner) { ShowAgreementDialog(owner, FindTaskDialog()); }
