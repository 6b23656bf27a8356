#include "ui/agreement_dialog.h"

#include <string>

#include "core/app_state.h"

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

TaskDialogPage AgreementPage() {
    TaskDialogPage page;
    page.title = kAgreementTitle;
    page.instruction = kAgreementInstruction;
    page.content = kAgreementContent;
    page.flags = TDF_ENABLE_HYPERLINKS;
    // Wide enough for the longest line, so each line wraps where it is written and nowhere else.
    page.widthDialogUnits = kAgreementWidthDialogUnits;
    return page;
}

void ShowAgreementDialog(HWND owner, TaskDialogIndirectFunction taskDialog) {
    if (ShowTaskDialogPage(owner, taskDialog, AgreementPage())) return;
    const std::wstring text = std::wstring(kAgreementInstruction) + L"\n\n" + kAgreementContent;
    ShowMessage(text, kAgreementTitle, MB_ICONINFORMATION);
}

void ShowAgreementDialog(HWND owner) { ShowAgreementDialog(owner, FindTaskDialog()); }
