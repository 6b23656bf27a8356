#include "account/session_end.h"

#include <cwctype>
#include <memory>
#include <utility>

#include "account/login.h"
#include "account/saved_login.h"
#include "core/form_fields.h"
#include "core/globals.h"
#include "core/holders.h"
#include "core/worker.h"
#include "net/json_text.h"
#include "net/service_api.h"

namespace {

constexpr uint32_t kSessionRequestTimeoutMs = 8000;
constexpr int kPasswordFieldLimit = 255;

// What the deletion worker owns; the password is wiped however the record ends.
struct DeletionJob {
    std::string token;
    std::string email;     // the account's name, to recognise its saved login
    std::string password;  // UTF-8

    DeletionJob() = default;
    DeletionJob(const DeletionJob&) = delete;
    DeletionJob& operator=(const DeletionJob&) = delete;
    ~DeletionJob() { SecureWipe(password); }
};

std::string CurrentToken() {
    AppState& app = App();
    std::lock_guard<std::mutex> lock(app.stateMutex);
    return app.session.token;
}

bool SameAccountName(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::towlower(a[i]) != std::towlower(b[i])) return false;
    return true;
}

void RunLogoutJob(const std::string& token) {
    // Only the service's side is left to do; whatever it answers, this machine is already signed out.
    PostServiceAction("auth.logout", "{}", token, kSessionRequestTimeoutMs);
}

void RunDeletionJob(std::unique_ptr<DeletionJob> job) {
    std::string body = BuildDeletionBody(job->password);
    const ApiResponse response = PostServiceAction("account.delete.request", body, job->token, kSessionRequestTimeoutMs);
    SecureWipe(body);
    SecureWipe(job->password);
    std::wstring message;
    const bool accepted = EvaluateApiResponse(response, message);

    // The answer belongs to the session that asked. If that session has ended meanwhile (signed out,
    // or another account signed in), it is not ended a second time and its failure is not shown.
    const bool sameSession = CurrentToken() == job->token;
    if (!accepted) {
        if (sameSession) SetStatus(L"注销申请提交失败", std::move(message));
        return;
    }
    if (sameSession) {
        DeleteSavedLogin();
        EndSession(L"注销申请已提交", L"账号已退出");
        return;
    }
    // The account is gone all the same: its stored password must not outlive it.
    SavedLogin saved = ReadSavedLogin();
    SecureWipe(saved.password);
    if (saved.found && SameAccountName(saved.userName, Utf8ToUtf16(job->email))) DeleteSavedLogin();
}

// Empties the dialog's field over the old text first, so the password does not stay behind in it.
void ClearPasswordField(HWND dialog) { EmptySecretControl(GetDlgItem(dialog, kDeletionPasswordField)); }

}  // namespace

void EndSession(std::wstring status, std::wstring detail) {
    AppState& app = App();
    bool countdownCleared = false;
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        // Account, target, open panel, purpose, payment choices: all of it ends with the session. A
        // hotkey capture ends with its panel; the main window registers the wake hotkey again when it
        // handles the state change below. The purpose chosen stays as the panel's first offer after
        // the next sign-in, which asks for it again (only the saved flag ends).
        const int32_t purpose = app.session.savedPurpose;
        app.session = Session{};
        app.session.savedPurpose = app.session.pendingPurpose = purpose;
        // The next sign-in decides afresh whether its password is kept (a logout that finds a saved
        // login ticks the box again).
        app.rememberPassword = false;
        app.authFormMode = AuthFormMode::Login;
        // A running click task keeps its countdown: it is not the session's, and the task clears it
        // when it ends.
        if (!app.taskBusy && app.countdownTargetMs != 0) {
            app.countdownTargetMs = 0;
            countdownCleared = true;
        }
        app.statusText = std::move(status);
        app.detailText = std::move(detail);
    }
    PostToMainWindow(MSG_STATE_CHANGED);
    if (countdownCleared)
        if (HWND overlay = app.countdownWindow) PostMessageW(overlay, MSG_STATE_CHANGED, 0, 0);
}

void Logout() {
    const std::string token = CurrentToken();
    EndSession(L"已安全退出账号", L"");
    PrefillSavedLogin();
    if (token.empty()) return;
    if (!StartWorker([token] { RunLogoutJob(token); }))
        SetStatus(L"已安全退出账号", L"未能通知服务端，本机登录已清除");
}

std::string BuildDeletionBody(const std::string& password) {
    std::string secret = JsonEscape(password);
    WipeOnExit<std::string> wipeSecret(secret);
    static constexpr char kHead[] = "{\"password\":\"";
    static constexpr char kTail[] = "\"}";
    std::string body;
    body.reserve(secret.size() + sizeof kHead + sizeof kTail);
    body += kHead;
    body += secret;
    body += kTail;
    return body;
}

INT_PTR CALLBACK DeletionPasswordDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            SetWindowLongPtrW(dialog, DWLP_USER, lParam);
            SendDlgItemMessageW(dialog, kDeletionPasswordField, EM_LIMITTEXT, kPasswordFieldLimit, 0);
            return TRUE;  // the focus goes to the password field, the first one that takes it
        case WM_COMMAND:
            if (LOWORD(wParam) == IDCANCEL) {
                ClearPasswordField(dialog);
                EndDialog(dialog, IDCANCEL);
                return TRUE;
            }
            if (LOWORD(wParam) == IDOK) {
                wchar_t buffer[kPasswordFieldLimit + 1] = {};
                const int length = GetDlgItemTextW(dialog, kDeletionPasswordField, buffer, kPasswordFieldLimit + 1);
                if (length <= 0) {
                    MessageBoxW(dialog, L"请输入当前登录密码。", L"需要密码", MB_OK | MB_ICONWARNING);
                    return TRUE;
                }
                if (auto* output = reinterpret_cast<std::wstring*>(GetWindowLongPtrW(dialog, DWLP_USER)))
                    output->assign(buffer, static_cast<size_t>(length));
                SecureZeroMemory(buffer, sizeof buffer);
                ClearPasswordField(dialog);
                EndDialog(dialog, IDOK);
                return TRUE;
            }
            break;
        default: break;
    }
    return FALSE;
}

void RequestAccountDeletion() {
    AppState& app = App();
    const std::string token = CurrentToken();
    if (token.empty()) return;
    if (!AskYesNo(L"注销申请提交后会立即退出账号；宽限期结束后删除登录凭据并匿名化身份数据。\n"
                  L"依法需要保留的支付和安全记录会在保存期限结束后清理。\n\n确定继续吗？",
                  L"注销账号", MB_ICONWARNING))
        return;

    std::wstring password;
    password.reserve(kPasswordFieldLimit + 1);  // never inside the string object itself
    WipeOnExit<std::wstring> wipePassword(password);
    if (DialogBoxParamW(Globals().instance, MAKEINTRESOURCEW(kDeletionDialogId), app.mainWindow,
                        DeletionPasswordDialogProc, reinterpret_cast<LPARAM>(&password)) != IDOK)
        return;

    auto job = std::make_unique<DeletionJob>();
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        job->token = app.session.token;
        job->email = app.session.email;
    }
    // The session may have ended while the dialogs were open; then there is nothing left to delete
    // from here.
    if (job->token != token) return;
    {
        std::string utf8 = Utf16ToUtf8(password);
        job->password = std::move(utf8);
        SecureWipe(utf8);
    }
    SecureWipe(password);

    SetStatus(L"正在提交注销申请…", L"");
    if (!StartWorker([job = std::move(job)]() mutable { RunDeletionJob(std::move(job)); }))
        SetStatus(L"注销申请提交失败", L"无法启动后台任务，请稍后重试");
}
