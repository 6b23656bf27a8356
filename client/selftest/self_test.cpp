#include "selftest/self_test.h"

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "account/login.h"
#include "core/app_state.h"
#include "core/form_fields.h"
#include "core/library_module.h"
#include "tasks/click_instruction.h"
#include "timesync/time_of_day.h"
#include "ui/child_controls.h"
#include "ui/time_field.h"
#include "ui/wake_hotkey.h"

namespace {

bool Visible(HWND control) { return control && (GetWindowLongW(control, GWL_STYLE) & WS_VISIBLE); }

std::wstring TextOf(HWND control) {
    wchar_t buffer[64] = {};
    GetWindowTextW(control, buffer, 64);
    return buffer;
}

void SetScreen(bool loggedIn, bool developer, AuthFormMode mode) {
    AppState& app = App();
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        app.session.logged_in = loggedIn;
        app.session.developer_user = developer;
        app.authFormMode = mode;
        app.modalPanel = ModalPanelKind::None;
    }
    UpdateChildControls();
}

int CheckSignatureLibrary() {
    ScopedModule library = LoadLibraryAt(SignatureLibraryPath());
    if (!library) return kSelfTestSignatureLibrary;
    for (const char* name :
         {"sodium_init", "crypto_sign_verify_detached", "crypto_sign_ed25519_pk_to_curve25519", "crypto_box_seal"})
        if (!library.Find<void*>(name)) return kSelfTestSignatureLibrary;
    return kSelfTestPassed;
}

int CheckEmailRule() {
    const bool ok = LooksLikeEmailAddress(L"tester@example.com") && !LooksLikeEmailAddress(L"sync_developer") &&
                    !LooksLikeEmailAddress(L"invalid@");
    return ok ? kSelfTestPassed : kSelfTestEmailRule;
}

int CheckChildControls() {
    SetScreen(false, false, AuthFormMode::Login);
    if (!Visible(FormFieldControl(FormField::Account)) || !Visible(FormFieldControl(FormField::Password)) || Visible(FormFieldControl(FormField::EmailCode)) ||
        Visible(FormFieldControl(FormField::RoomCode)) || Visible(FormFieldControl(FormField::ClickTime)) || Visible(FormFieldControl(FormField::SoftwareName)))
        return kSelfTestControlsSignedOut;
    SetScreen(false, false, AuthFormMode::Register);
    if (!Visible(FormFieldControl(FormField::EmailCode))) return kSelfTestControlsRegister;
    SetScreen(false, false, AuthFormMode::ResetPassword);
    if (!Visible(FormFieldControl(FormField::EmailCode))) return kSelfTestControlsReset;
    SetScreen(true, false, AuthFormMode::Login);
    if (Visible(FormFieldControl(FormField::Account)) || !Visible(FormFieldControl(FormField::RoomCode)) || !Visible(FormFieldControl(FormField::ClickTime)) ||
        !Visible(FormFieldControl(FormField::TestTime)) || Visible(FormFieldControl(FormField::SoftwareName)))
        return kSelfTestControlsSignedIn;
    SetScreen(true, true, AuthFormMode::Login);
    if (!Visible(FormFieldControl(FormField::SoftwareName)) || !Visible(FormFieldControl(FormField::BlacklistReason))) return kSelfTestControlsDeveloper;
    return kSelfTestPassed;
}

int CheckDuration() {
    return FormatRemainingTime(3726045) == L"01:02:06.045" ? kSelfTestPassed : kSelfTestDuration;
}

int CheckTimeOfDay() {
    const std::pair<const wchar_t*, const wchar_t*> accepted[] = {
        {L"9:5:3", L"09:05:03"}, {L"9:5", L"09:05:00"},  {L"141516", L"14:15:16"},
        {L"1415", L"14:15:00"},  {L"14", L"14:00:00"},   {L" 9 : 5 : 3 ", L"09:05:03"},
    };
    for (const auto& [input, expected] : accepted) {
        std::optional<std::wstring> parsed = ParseTimeOfDay(input);
        if (!parsed || *parsed != expected) return kSelfTestTimeOfDay;
    }
    for (const wchar_t* rejected : {L"24:00:00", L"12:60:00", L"1415167"})
        if (ParseTimeOfDay(rejected)) return kSelfTestTimeOfDay;
    return kSelfTestPassed;
}

int CheckMaskRule() {
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"1", L"1"},           {L"14", L"14:"},          {L"141", L"14:1"},
        {L"1415", L"14:15:"},   {L"141516", L"14:15:16"}, {L"14:15:16", L"14:15:16"},
    };
    for (const auto& [input, expected] : cases)
        if (MaskTimeText(input) != expected) return kSelfTestMaskRule;
    return kSelfTestPassed;
}

int CheckLiveMask() {
    HWND field = FormFieldControl(FormField::ClickTime);
    if (!field) return kSelfTestLiveMask;
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"14", L"14:"}, {L"1415", L"14:15:"}, {L"141516", L"14:15:16"}};
    for (const auto& [typed, expected] : cases) {
        SetWindowTextW(field, typed);  // the change notification runs the mask, as typing does
        if (TextOf(field) != expected) return kSelfTestLiveMask;
    }
    return kSelfTestPassed;
}

int CheckHotkeyText() {
    if (FormatHotkeyText(3, 81) != L"Ctrl + Alt + Q" || FormatHotkeyText(0, 119) != L"F8") return kSelfTestHotkeyText;
    return kSelfTestPassed;
}

int CheckSignature() {
    // RFC 8032 section 7.1, test 1: the empty message signed with the test 1 key.
    static const char kPublicKey[] = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";
    static const char kSignature[] =
        "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b";
    auto decode = [](const char* hex) {
        std::vector<uint8_t> bytes;
        for (size_t i = 0; hex[i] && hex[i + 1]; i += 2) {
            auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
            bytes.push_back(static_cast<uint8_t>(nibble(hex[i]) * 16 + nibble(hex[i + 1])));
        }
        return bytes;
    };
    return VerifyDetachedSignature({}, decode(kSignature), decode(kPublicKey)) ? kSelfTestPassed : kSelfTestSignature;
}

int CheckMonitor() {
    POINT pointer{};
    GetCursorPos(&pointer);
    MONITORINFO info{};
    info.cbSize = sizeof info;
    HMONITOR monitor = MonitorFromPoint(pointer, MONITOR_DEFAULTTONEAREST);
    return monitor && GetMonitorInfoW(monitor, &info) ? kSelfTestPassed : kSelfTestMonitor;
}

}  // namespace

int RunSelfTest() {
    // In the order of the self-test table; the first failure ends the run.
    const std::vector<std::function<int()>> checks = {
        CheckSignatureLibrary, CheckEmailRule, CheckChildControls, CheckDuration,   CheckTimeOfDay,
        CheckMaskRule,         CheckLiveMask,      CheckHotkeyText, CheckSignature, CheckMonitor,
    };
    for (const auto& check : checks)
        if (int code = check(); code != kSelfTestPassed) return code;
    return kSelfTestPassed;
}
