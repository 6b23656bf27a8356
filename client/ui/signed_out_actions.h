// The signed-out screen's own actions (its painting is in signed_out_screen.cpp): switching between
// the login, registration and reset forms, and submitting the form shown.
#pragma once

#include "core/app_state.h"

// UI thread; the form's tabs, "忘记密码？" and "←  返回登录". Refused while signed in or while an
// account or code request is in flight. Sets the form's status line, empties the password and code
// fields, pre-fills a remembered login when returning to the login form, then shows the form's
// fields and repaints.
void SwitchAuthForm(AuthFormMode mode);

// UI thread; the form's main button and Enter in its fields: the login in the login form, the
// registration or the password reset in the other two.
void SubmitSignedOutForm();

// The sign-in form's status line follows its two fields: it asks for them until both hold something.
void FollowSignInFields();
