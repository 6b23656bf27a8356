#include "account/account_form.h"

#include <memory>
#include <utility>

#include "account/login.h"
#include "account/saved_login.h"
#include "account/session_prep.h"
#include "core/data_dir.h"
#include "core/form_fields.h"
#include "core/holders.h"
#include "core/worker.h"
#include "net/json_text.h"
#include "net/service_api.h"

namespace {

constexpr uint32_t kAccountRequestTimeoutMs = 8000;

bool IsRegister(AuthFormMode mode) { return mode == AuthFormMode::Register; }

struct SendCodeJob {
    std::string email;  // UTF-8
    AuthFormMode mode = AuthFormMode::Register;
};

// What the account-form worker owns; the password is wiped however the record ends.
struct AccountFormJob {
    std::string email;     // UTF-8
    std::string password;  // UTF-8
    std::string code;      // UTF-8
    AuthFormMode mode = AuthFormMode::Register;

    AccountFormJob() = default;
    AccountFormJob(const AccountFormJob&) = delete;
    AccountFormJob& operator=(const AccountFormJob&) = delete;
    ~AccountFormJob() { SecureWipe(password); }
};

void FinishSendCode(bool sent, std::wstring detail) {
    AppState& app = App();
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        app.codeRequestBusy = false;
        app.statusText = sent ? L"验证码已发送，10 分钟内有效" : L"验证码发送失败";
        app.detailText = std::move(detail);
    }
    PostToMainWindow(MSG_STATE_CHANGED);
}

void RunSendCodeJob(const SendCodeJob& job) {
    const ApiResponse response =
        PostServiceAction("auth.send_code", BuildSendCodeBody(job.email, job.mode), "", kAccountRequestTimeoutMs);
    std::wstring message;
    const bool sent = EvaluateApiResponse(response, message);
    FinishSendCode(sent, sent ? std::wstring() : std::move(message));
}

void ReportAccountFormFailure(AuthFormMode mode, std::wstring detail) {
    AppState& app = App();
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        app.accountBusy = false;
        app.statusText = IsRegister(mode) ? L"注册失败" : L"密码重置失败";
        app.detailText = std::move(detail);
    }
    PostToMainWindow(MSG_STATE_CHANGED);
}

void FinishRegistration(const ApiResponse& response, AccountFormJob& job) {
    // A new account starts without a stored password: the entry of an earlier account goes, and the
    // remember box with it, or the personal centre would claim a password is kept when none is.
    DeleteSavedLogin();
    {
        AppState& app = App();
        std::lock_guard<std::mutex> lock(app.stateMutex);
        app.rememberPassword = false;
    }
    try {
        RecordPrivacyAcceptance();
    } catch (const std::exception&) {
        // No data directory: the agreement is asked for again next time; the registration stands.
    }
    SecureWipe(job.password);
    const bool loggedIn = ApplyLoginResult(response);
    PostToMainWindow(MSG_STATE_CHANGED);
    if (loggedIn) PrepareSession();
}

void FinishReset(AccountFormJob& job) {
    DeleteSavedLogin();
    SecureWipe(job.password);
    AppState& app = App();
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        app.accountBusy = false;
        app.authFormMode = AuthFormMode::Login;
        app.statusText = L"密码已重置，请使用新密码登录";
        app.detailText.clear();
    }
    PostToMainWindow(MSG_STATE_CHANGED);
}

void RunAccountFormJob(std::unique_ptr<AccountFormJob> job) {
    std::string body = BuildAccountFormBody(job->email, job->password, job->code, job->mode);
    const ApiResponse response = PostServiceAction(AccountFormAction(job->mode), body, "", kAccountRequestTimeoutMs);
    SecureWipe(body);
    std::wstring message;
    if (!EvaluateApiResponse(response, message)) {
        SecureWipe(job->password);
        ReportAccountFormFailure(job->mode, std::move(message));
        return;
    }
    if (IsRegister(job->mode)) FinishRegistration(response, *job);
    else FinishReset(*job);
}

// Moves a UTF-8 copy of a secret into `target`. A short text lives inside the string object itself,
// and moving it copies the characters, so the temporary is wiped after the move as well.
void MoveSecretUtf8(const std::wstring& text, std::string& target) {
    std::string utf8 = Utf16ToUtf8(text);
    target = std::move(utf8);
    SecureWipe(utf8);
}

}  // namespace

bool IsSixDigitCode(const std::wstring& code) {
    if (code.size() != 6) return false;
    for (wchar_t c : code)
        if (c < L'0' || c > L'9') return false;
    return true;
}

bool IsCompleteAccountForm(const std::wstring& email, size_t passwordLength, const std::wstring& code) {
    return IsValidEmailAddress(email) && passwordLength >= kNewPasswordMin && passwordLength <= kNewPasswordMax &&
           IsSixDigitCode(code);
}

const char* AccountFormAction(AuthFormMode mode) { return IsRegister(mode) ? "auth.register" : "auth.reset_password"; }

std::string BuildSendCodeBody(const std::string& email, AuthFormMode mode) {
    return "{\"email\":\"" + JsonEscape(email) + "\",\"purpose\":\"" + (IsRegister(mode) ? "register" : "reset") +
           "\"}";
}

std::string BuildAccountFormBody(const std::string& email, const std::string& password, const std::string& code,
                                 AuthFormMode mode) {
    const std::string address = JsonEscape(email);
    const std::string digits = JsonEscape(code);
    std::string secret = JsonEscape(password);
    WipeOnExit<std::string> wipeSecret(secret);

    static constexpr char kHead[] = "{\"email\":\"";
    static constexpr char kPasswordKey[] = "\",\"password\":\"";
    static constexpr char kCodeKey[] = "\",\"code\":\"";
    static constexpr char kRegisterTail[] =
        "\",\"device_name\":\"Windows\",\"client_platform\":\"windows\",\"privacy_notice_accepted\":true}";
    static constexpr char kResetTail[] = "\"}";

    // Reserved in one piece so the password is never left behind in a discarded buffer.
    std::string body;
    body.reserve(address.size() + secret.size() + digits.size() + sizeof kHead + sizeof kPasswordKey +
                 sizeof kCodeKey + sizeof kRegisterTail + 16);
    body += kHead;
    body += address;
    body += kPasswordKey;
    body += secret;
    body += kCodeKey;
    body += digits;
    body += IsRegister(mode) ? kRegisterTail : kResetTail;
    return body;
}

void SendCode() {
    AppState& app = App();
    AuthFormMode mode;
    bool serviceReady;
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        if (app.codeRequestBusy || app.accountBusy || app.authFormMode == AuthFormMode::Login) return;
        mode = app.authFormMode;
        serviceReady = app.serviceReady;
    }
    const std::wstring email = ReadFormField(FormField::Account);
    if (!serviceReady) {
        ShowMessage(L"暂时无法连接账号服务，请稍后重试。", L"无法发送验证码", MB_ICONWARNING);
        return;
    }
    if (!IsValidEmailAddress(email)) {
        ShowMessage(L"请先填写正确的邮箱地址。", L"无法发送验证码", MB_ICONWARNING);
        return;
    }

    SendCodeJob job{Utf16ToUtf8(email), mode};
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        app.codeRequestBusy = true;
        app.statusText = L"正在发送验证码…";
        app.detailText.clear();
    }
    PostToMainWindow(MSG_STATE_CHANGED);
    if (!StartWorker([job = std::move(job)] { RunSendCodeJob(job); }))
        FinishSendCode(false, L"无法启动发送任务，请稍后重试");
}

void SubmitAccountForm() {
    AppState& app = App();
    AuthFormMode mode;
    bool serviceReady;
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        if (app.accountBusy || app.codeRequestBusy || app.authFormMode == AuthFormMode::Login) return;
        mode = app.authFormMode;
        serviceReady = app.serviceReady;
    }
    if (!PrivacyGate(mode)) return;

    std::wstring email = ReadFormField(FormField::Account);
    std::wstring password = ReadFormField(FormField::Password);
    const std::wstring code = ReadFormField(FormField::EmailCode);
    WipeOnExit<std::wstring> wipeEmail(email);
    WipeOnExit<std::wstring> wipePassword(password);

    if (!serviceReady || !IsCompleteAccountForm(email, password.size(), code)) {
        SecureWipe(password);
        const wchar_t* text =
            serviceReady ? L"请填写正确邮箱、至少 8 位密码和 6 位邮箱验证码。" : L"暂时无法连接账号服务，请稍后重试。";
        ShowMessage(text, IsRegister(mode) ? L"无法注册" : L"无法重置密码", MB_ICONWARNING);
        return;
    }

    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        app.accountBusy = true;
        app.statusText = IsRegister(mode) ? L"正在创建账号…" : L"正在设置新密码…";
        app.detailText.clear();
    }
    EmptySecretField(FormField::Password);
    PostToMainWindow(MSG_STATE_CHANGED);

    auto job = std::make_unique<AccountFormJob>();
    job->email = Utf16ToUtf8(email);
    MoveSecretUtf8(password, job->password);
    job->code = Utf16ToUtf8(code);
    job->mode = mode;
    SecureWipe(password);
    SecureWipe(email);

    if (!StartWorker([job = std::move(job)]() mutable { RunAccountFormJob(std::move(job)); }))
        ReportAccountFormFailure(mode, IsRegister(mode) ? L"无法启动注册任务，请稍后重试"
                                                        : L"无法启动重置任务，请稍后重试");
}
