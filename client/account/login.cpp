#include "account/login.h"

#include <exception>
#include <memory>
#include <utility>

#include "account/saved_login.h"
#include "account/session_prep.h"
#include "core/clock.h"
#include "core/data_dir.h"
#include "core/form_fields.h"
#include "core/holders.h"
#include "core/worker.h"
#include "net/json_text.h"

namespace {

constexpr uint32_t kLoginTimeoutMs = 8000;
constexpr int64_t kAccountRefreshDelayMs = 30000;

// What the login worker owns; the password is wiped however the record ends.
struct LoginJob {
    std::string accountName;  // UTF-8, as typed
    std::string password;     // UTF-8
    bool isEmail = false;

    LoginJob() = default;
    LoginJob(const LoginJob&) = delete;
    LoginJob& operator=(const LoginJob&) = delete;
    ~LoginJob() { SecureWipe(password); }
};

void ReportLoginFailure(std::wstring detail) {
    AppState& app = App();
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        app.accountBusy = false;
        app.statusText = L"登录失败";
        app.detailText = LoginFailureDetail(detail);
    }
    PostToMainWindow(MSG_STATE_CHANGED);
}

bool RememberPasswordTicked() {
    AppState& app = App();
    std::lock_guard<std::mutex> lock(app.stateMutex);
    return app.rememberPassword;
}

// Saves or deletes the login after a successful sign-in by what the "保存账号和密码" box says now, not
// when the request left: the user's last choice wins. The box may be unticked while the credential is
// being written (its toggle deletes at once), so the box is read again afterwards.
void KeepSavedLoginAsChosen(const std::string& accountName, const std::string& passwordUtf8) {
    if (!RememberPasswordTicked()) {
        DeleteSavedLogin();
        return;
    }
    std::wstring name = Utf8ToUtf16(accountName);
    std::wstring password = Utf8ToUtf16(passwordUtf8);
    WriteSavedLogin(name, password);  // a refused write does not stop the login
    SecureWipe(password);
    if (!RememberPasswordTicked()) DeleteSavedLogin();
}

void RunLoginJob(std::unique_ptr<LoginJob> job) {
    std::string deviceId;
    if (!job->isEmail) {
        try {
            deviceId = LoadOrCreateDeviceId();
        } catch (const std::exception&) {
            SecureWipe(job->password);
            ReportLoginFailure(L"无法读取本机设备标识，请检查用户数据目录");
            return;
        }
    }

    std::string body = BuildLoginBody(job->accountName, job->password, job->isEmail, deviceId);
    const ApiResponse response = PostServiceAction(LoginActionFor(job->isEmail), body, "", kLoginTimeoutMs);
    SecureWipe(body);
    std::wstring message;
    if (!EvaluateApiResponse(response, message)) {
        SecureWipe(job->password);
        ReportLoginFailure(std::move(message));
        return;
    }

    KeepSavedLoginAsChosen(job->accountName, job->password);
    try {
        RecordPrivacyAcceptance();
    } catch (const std::exception&) {
        // No data directory: the agreement is asked for again next time; the login goes on.
    }
    SecureWipe(job->password);

    const bool loggedIn = ApplyLoginResult(response);
    PostToMainWindow(MSG_STATE_CHANGED);
    if (loggedIn) PrepareSession();
}

}  // namespace

std::wstring LoginFailureDetail(const std::wstring& reason) {
    std::wstring text = reason;
    while (!text.empty() && (text.back() == L'。' || text.back() == L'.' || text.back() == L' ')) text.pop_back();
    if (text.empty()) return kRetypePasswordText;
    return text + L"；" + kRetypePasswordText;
}

bool LooksLikeEmailAddress(const std::wstring& text) {
    const size_t at = text.find(L'@');
    return at != std::wstring::npos && at > 0 && at + 1 < text.size();
}

bool IsValidEmailAddress(const std::wstring& text) {
    return text.size() <= kEmailMaxLength && LooksLikeEmailAddress(text);
}

LoginInputCheck CheckLoginInput(const std::wstring& accountName, size_t passwordLength) {
    LoginInputCheck check;
    check.isEmail = LooksLikeEmailAddress(accountName);
    if (check.isEmail) {
        check.valid = accountName.size() <= kEmailMaxLength && passwordLength >= kEmailPasswordMin &&
                      passwordLength <= kEmailPasswordMax;
    } else {
        check.valid = accountName.size() >= kDeveloperNameMin && accountName.size() <= kDeveloperNameMax &&
                      passwordLength >= kDeveloperPasswordMin && passwordLength <= kDeveloperPasswordMax;
    }
    return check;
}

const char* LoginActionFor(bool isEmail) { return isEmail ? "auth.login" : "auth.developer_login"; }

std::string BuildLoginBody(const std::string& accountName, const std::string& password, bool isEmail,
                           const std::string& deviceId) {
    const std::string name = JsonEscape(accountName);
    std::string secret = JsonEscape(password);
    WipeOnExit<std::string> wipeSecret(secret);
    // The device id is a hexadecimal text of our own, but it comes from a file the user can edit, so
    // it is escaped like every other value.
    const std::string device = isEmail ? std::string() : JsonEscape(deviceId);

    static constexpr char kEmailHead[] = "{\"email\":\"";
    static constexpr char kEmailTail[] =
        "\",\"device_name\":\"Windows\",\"client_platform\":\"windows\",\"privacy_notice_accepted\":true}";
    static constexpr char kDeveloperHead[] = "{\"username\":\"";
    static constexpr char kDeviceKey[] = "\",\"device_id\":\"";
    static constexpr char kDeveloperTail[] = "\",\"client_platform\":\"windows\",\"privacy_notice_accepted\":true}";
    static constexpr char kPasswordKey[] = "\",\"password\":\"";

    // Reserved in one piece so the password is never left behind in a discarded buffer.
    std::string body;
    body.reserve(name.size() + secret.size() + device.size() + sizeof kDeveloperHead + sizeof kPasswordKey +
                 sizeof kDeviceKey + sizeof kEmailTail + 16);
    body += isEmail ? kEmailHead : kDeveloperHead;
    body += name;
    body += kPasswordKey;
    body += secret;
    if (isEmail) {
        body += kEmailTail;
    } else {
        body += kDeviceKey;
        body += device;
        body += kDeveloperTail;
    }
    return body;
}

bool PrivacyGate(AuthFormMode mode) {
    if (mode == AuthFormMode::ResetPassword) return true;
    AppState& app = App();
    bool accepted;
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        accepted = app.privacyAccepted;
    }
    if (accepted) return true;
    ShowMessage(L"首次登录或注册前，请先勾选“我已阅读并同意用户使用协议与隐私说明”。", L"需要同意使用协议",
                MB_ICONINFORMATION);
    return false;
}

void StartLogin() {
    AppState& app = App();
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        if (app.accountBusy) return;
    }
    if (!PrivacyGate(AuthFormMode::Login)) return;

    std::wstring name = ReadFormField(FormField::Account);
    std::wstring password = ReadFormField(FormField::Password);
    WipeOnExit<std::wstring> wipeName(name);
    WipeOnExit<std::wstring> wipePassword(password);

    // An empty field is named, and gets the focus, rather than called incomplete: after a failed login
    // the password field is empty by design, and the person only has to type the password again.
    if (name.empty() || password.empty()) {
        const FormField missing = name.empty() ? FormField::Account : FormField::Password;
        {
            std::lock_guard<std::mutex> lock(app.stateMutex);
            app.statusText = name.empty() ? kEnterAccountText : kEnterPasswordText;
        }
        PostToMainWindow(MSG_STATUS_CHANGED);
        if (HWND field = FormFieldControl(missing)) SetFocus(field);
        return;
    }
    const LoginInputCheck check = CheckLoginInput(name, password.size());
    if (!check.valid) {
        SecureWipe(password);
        ShowMessage(L"请输入正确的邮箱/开发者用户名和密码。", L"登录信息不完整", MB_ICONWARNING);
        return;
    }

    bool serviceReady;
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        serviceReady = app.serviceReady;
        if (serviceReady) {
            app.accountBusy = true;
            app.statusText = L"正在安全登录…";
            app.detailText.clear();
        }
    }
    if (!serviceReady) {
        SecureWipe(password);
        ShowMessage(L"暂时无法连接登录服务，请稍后重试。", L"无法登录", MB_ICONWARNING);
        return;
    }

    EmptySecretField(FormField::Password);
    PostToMainWindow(MSG_STATE_CHANGED);

    auto job = std::make_unique<LoginJob>();
    job->accountName = Utf16ToUtf8(name);
    {
        // A short text lives inside the string object itself; moving it copies the characters, so the
        // temporary is wiped after the move as well.
        std::string utf8 = Utf16ToUtf8(password);
        job->password = std::move(utf8);
        SecureWipe(utf8);
    }
    job->isEmail = check.isEmail;
    SecureWipe(name);
    SecureWipe(password);

    if (!StartWorker([job = std::move(job)]() mutable { RunLoginJob(std::move(job)); })) {
        // The record (and with it the password) has been destroyed with the failed thread start.
        ReportLoginFailure(L"无法启动登录任务，请稍后重试");
    }
}

bool ApplyLoginResult(const ApiResponse& response) {
    AppState& app = App();
    const std::string& body = response.body;
    std::lock_guard<std::mutex> lock(app.stateMutex);
    // A fresh record, so nothing of an earlier session carries over; only a target chosen before
    // the login stays, for this session's preparation to check.
    Session session;
    session.target = std::move(app.session.target);
    session.token = JsonGetString(body, "token");
    session.sign_public_key = JsonGetString(body, "sign_public_key");
    session.email = JsonGetString(body, "email");
    session.id = JsonGetInt64(body, "id", 0);
    session.credits = JsonGetInt64(body, "credits", 0);
    session.developer_user = JsonGetBool(body, "developer_user", false);
    session.logged_in = !session.token.empty() && session.id != 0 && !session.sign_public_key.empty();
    session.accountRefreshDueMs = WallClockMs() + kAccountRefreshDelayMs;
    app.session = std::move(session);
    app.accountBusy = false;
    if (app.session.logged_in) {
        app.statusText = L"正在对准标准时间…";
        app.detailText.clear();
    } else {
        app.statusText = L"登录结果有误";
        app.detailText = L"后台没有返回完整的登录信息";
    }
    return app.session.logged_in;
}

void PrefillSavedLogin() {
    AppState& app = App();
    SavedLogin saved = ReadSavedLogin();
    WipeOnExit<std::wstring> wipePassword(saved.password);
    if (!saved.found) return;
    WriteFormField(FormField::Account, saved.userName);
    WriteFormField(FormField::Password, saved.password);
    std::lock_guard<std::mutex> lock(app.stateMutex);
    app.rememberPassword = true;
}

void ToggleRememberPassword() {
    AppState& app = App();
    bool unticked = false;
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        if (app.authFormMode != AuthFormMode::Login) return;
        unticked = app.rememberPassword;
        app.rememberPassword = !app.rememberPassword;
    }
    if (unticked) DeleteSavedLogin();
    RepaintMainWindow();
}

void ToggleAgreement() {
    AppState& app = App();
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        if (app.authFormMode == AuthFormMode::ResetPassword) return;
        app.privacyAccepted = !app.privacyAccepted;
    }
    RepaintMainWindow();
}
