// What the signed-out screen's own controls do: switching between the three forms and submitting
// the one shown.
#include "ui/signed_out_actions.h"

#include "account/account_form.h"
#include "account/login.h"
#include "core/form_fields.h"
#include "ui/child_controls.h"

void SwitchAuthForm(AuthFormMode mode) {
    AppState& app = App();
    bool prefill = false;
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        if (app.session.logged_in || app.accountBusy || app.codeRequestBusy) return;
        app.authFormMode = mode;
        app.statusText = mode == AuthFormMode::Login      ? kSignInAskText
                         : mode == AuthFormMode::Register ? L"填写邮箱、密码和收到的验证码"
                                                          : L"使用邮箱验证码设置新密码";
        app.detailText.clear();
        prefill = mode == AuthFormMode::Login && app.rememberPassword;
    }
    EmptySecretField(FormField::Password);
    WriteFormField(FormField::EmailCode, L"");
    if (prefill) PrefillSavedLogin();
    UpdateChildControls();
    RepaintMainWindow();
}

void FollowSignInFields() {
    // Lengths only: the password's text is not copied for this.
    const auto filled = [](FormField field) {
        HWND control = FormFieldControl(field);
        return control && GetWindowTextLengthW(control) > 0;
    };
    const bool both = filled(FormField::Account) && filled(FormField::Password);
    AppState& app = App();
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        if (app.session.logged_in || app.authFormMode != AuthFormMode::Login) return;
        const std::wstring& now = app.statusText;
        if (both && now == kSignInAskText) app.statusText = kSignInReadyText;
        else if (!both && now == kSignInReadyText) app.statusText = kSignInAskText;
        else return;
    }
    RepaintMainWindow();
}

void SubmitSignedOutForm() {
    AppState& app = App();
    AuthFormMode mode;
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        mode = app.authFormMode;
    }
    if (mode == AuthFormMode::Login) StartLogin();
    else SubmitAccountForm();
}
