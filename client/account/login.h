// The login form's actions: the agreement gate, the login request with its worker, the answer that
// fills the session, and the saved-login pre-fill and the two checkboxes of the form.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

#include "core/app_state.h"
#include "net/service_api.h"

// Whether an account name is an e-mail address: not empty, its first "@" is not the first character
// and is followed by at least one character. Anything else is a developer user name.
bool LooksLikeEmailAddress(const std::wstring& text);

// The e-mail rule of the account forms: LooksLikeEmailAddress and at most 190 UTF-16 code units.
bool IsValidEmailAddress(const std::wstring& text);

// The length rules of the login form (UTF-16 code units, nothing trimmed).
constexpr size_t kEmailMaxLength = 190;
constexpr size_t kEmailPasswordMin = 1;
constexpr size_t kEmailPasswordMax = 200;
constexpr size_t kDeveloperNameMin = 4;
constexpr size_t kDeveloperNameMax = 32;
constexpr size_t kDeveloperPasswordMin = 12;
constexpr size_t kDeveloperPasswordMax = 128;

struct LoginInputCheck {
    bool isEmail = false;  // e-mail account (auth.login) or developer account (auth.developer_login)
    bool valid = false;    // within the length rules of its kind
};

LoginInputCheck CheckLoginInput(const std::wstring& accountName, size_t passwordLength);

// "auth.login" or "auth.developer_login".
const char* LoginActionFor(bool isEmail);

// The request body (UTF-8 JSON, no white space). It carries the password: the caller wipes it.
std::string BuildLoginBody(const std::string& accountName, const std::string& password, bool isEmail,
                           const std::string& deviceId);

// UI thread. ResetPassword always passes; otherwise asks for the agreement box when it is not ticked.
bool PrivacyGate(AuthFormMode mode);

// The detail line of a failed login: the reason, then that the password must be typed again (the
// password field is emptied when a request starts and stays empty after a failure).
std::wstring LoginFailureDetail(const std::wstring& reason);
inline constexpr wchar_t kRetypePasswordText[] = L"请重新输入密码后再登录";
// The status title when the login button is pressed with an empty field.
inline constexpr wchar_t kEnterAccountText[] = L"请输入邮箱或用户名";
inline constexpr wchar_t kEnterPasswordText[] = L"请输入密码";

// UI thread: the login button. Starts the login worker or tells the user why not.
void StartLogin();

// Worker thread: fills the session from a successful answer (under the state lock for the whole run)
// and returns whether the session counts as signed in.
bool ApplyLoginResult(const ApiResponse& response);

// UI thread: puts the saved login (when there is one) into the form and ticks the remember box.
void PrefillSavedLogin();

// UI thread, login form: the "保存账号和密码" checkbox. Unticking deletes the saved login at once.
void ToggleRememberPassword();

// UI thread, login and register forms: the agreement checkbox (in memory only).
void ToggleAgreement();
