// The registration and password-reset forms: the e-mail code request, the check of the form and the
// two requests (a registration signs the user in like a login; a reset returns to the login form).
#pragma once

#include <cstddef>
#include <string>

#include "core/app_state.h"

// Six characters, each a decimal digit 0–9.
bool IsSixDigitCode(const std::wstring& code);

// Whether the registration or reset form may be sent: a valid e-mail address, a password of 8 to
// 200 UTF-16 code units and a six-digit code.
constexpr size_t kNewPasswordMin = 8;
constexpr size_t kNewPasswordMax = 200;
bool IsCompleteAccountForm(const std::wstring& email, size_t passwordLength, const std::wstring& code);

// "auth.register" or "auth.reset_password".
const char* AccountFormAction(AuthFormMode mode);

// The request bodies (UTF-8 JSON, no white space). The form's body carries the password: the caller
// wipes it.
std::string BuildSendCodeBody(const std::string& email, AuthFormMode mode);
std::string BuildAccountFormBody(const std::string& email, const std::string& password, const std::string& code,
                                 AuthFormMode mode);

// UI thread: the send-code button (nothing in the login form, nor while a request is in flight).
void SendCode();

// UI thread: the form's main button in the registration and reset forms.
void SubmitAccountForm();
