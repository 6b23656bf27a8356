// The signed-out screen: the brand banner on the left and the account form (login, registration or
// password reset) on the right; it covers the whole client area.
#include "core/form_fields.h"
#include "ui/screen_layout.h"
#include "ui/screen_paint.h"

namespace {

constexpr Argb kCardColour = 0xFF111D2E;
constexpr Argb kFormLabel = 0xFFA6B8CF;
constexpr Argb kLink = 0xFF68AEFF;

const LabelSpec kBannerLabels[] = {
    {L"澄序", {210, 240, 230, 42}, 28, true, TextAlign::Near, 0xFFFFFFFF},
    {L"Orvane", {210, 276, 230, 24}, 12, true, TextAlign::Near, 0xE1EBF9FF},
    {L"让每一次协同测试\n都清楚、可控、可追溯", {210, 306, 230, 70}, 15, false, TextAlign::Near, 0xEBEFF9FF},
    {L"✓  每次任务本机确认", {226, 386, 200, 42}, 12, true, TextAlign::Near, 0xFFF8FCFF},
    {L"✓  一次授权只触发一次", {226, 440, 200, 42}, 12, true, TextAlign::Near, 0xFFF8FCFF},
    {L"✓  不采集屏幕内容", {226, 494, 200, 42}, 12, true, TextAlign::Near, 0xFFF8FCFF},
    {L"邮箱验证  ·  安全连接  ·  权限隔离", {210, 660, 240, 28}, 10, false, TextAlign::Near, 0xCDEBF9FF},
};
const RectF kBannerPills[] = {{210, 386, 230, 42}, {210, 440, 230, 42}, {210, 494, 230, 42}};

// The texts that differ between the three forms, in AuthFormMode order.
struct FormTexts {
    const wchar_t* title;
    const wchar_t* subtitle;
    const wchar_t* firstLabel;
    const wchar_t* secondLabel;
    const wchar_t* submit;
    const wchar_t* submitBusy;
};
constexpr FormTexts kFormTexts[3] = {
    {L"账号登录", L"普通用户输入邮箱，开发者输入用户名。密码可安全保存到 Windows。", L"邮箱或用户名", L"密码", L"登录",
     L"正在安全登录…"},
    {L"邮箱注册", L"验证码会发送到邮箱，有效期 10 分钟。", L"邮箱", L"设置密码（至少 8 位）", L"完成注册", L"正在注册…"},
    {L"找回密码", L"验证邮箱后设置新密码，其他设备上的旧登录会失效。", L"邮箱", L"新密码（至少 8 位）", L"重置密码",
     L"正在重置…"},
};

void PaintBackgroundAndBanner(DrawContext& context) {
    FillGradientRect(context, {0, 104, 1180, 656}, 0xFF070F1C, 0xFF0E1E32);
    FillEllipse(context, {-90, 360, 380, 380}, 0x1C3D81F6);
    FillEllipse(context, {940, 70, 330, 330}, 0x1438D2C3);
    PaintHeaderBase(context);
    DrawLabel(context, L"Orvane · 协同测试", {70, 56, 270, 24}, 11, 0xFF97AAC2, false, TextAlign::Near);

    FillRoundRect(context, {162, 122, 856, 616}, 24, 0x37000000);
    FillRoundRect(context, {170, 130, 840, 600}, 22, kCardColour);
    FillGradientRoundRect(context, {170, 130, 320, 600}, 22, 0xFF255BDE, 0xFF1DA9B0);
    FillRoundRect(context, {470, 130, 540, 600}, 22, kCardColour);
    DrawAppIcon(context, {210, 174, 52, 52});
    for (const RectF& pill : kBannerPills) FillRoundRect(context, pill, 12, 0x2AFFFFFF);
    DrawLabels(context, kBannerLabels);
}

void PaintForm(DrawContext& context, const PaintInputs& inputs) {
    const ScreenSnapshot& state = inputs.state;
    const AuthFormMode mode = state.authMode;
    const int index = mode == AuthFormMode::Register ? 1 : mode == AuthFormMode::ResetPassword ? 2 : 0;
    const FormTexts& texts = kFormTexts[index];

    if (mode == AuthFormMode::ResetPassword) {
        DrawButton(context, layout::kLoginTab, L"←  返回登录", false);
    } else {
        DrawButton(context, layout::kLoginTab, L"登录", mode == AuthFormMode::Login);
        DrawButton(context, layout::kRegisterTab, L"注册", mode == AuthFormMode::Register);
    }
    DrawLabel(context, texts.title, {540, 216, 400, 42}, 27, 0xFFF7FAFF, true, TextAlign::Near);
    DrawLabel(context, texts.subtitle, {540, 260, 400, 42}, 12, 0xFF9FB3CC, false, TextAlign::Near);
    DrawLabel(context, texts.firstLabel, {550, 300, 380, 24}, 12, kFormLabel, false, TextAlign::Near);
    DrawFieldFrame(context, inputs, FormField::Account);
    DrawLabel(context, texts.secondLabel, {550, 380, 380, 24}, 12, kFormLabel, false, TextAlign::Near);
    DrawFieldFrame(context, inputs, FormField::Password);

    if (mode == AuthFormMode::Login) {
        DrawLabel(context, L"忘记密码？", {760, 458, 170, 28}, 12, kLink, true, TextAlign::Far);
        DrawCheckbox(context, layout::kRememberBox, state.rememberPassword, L"保存账号和密码");
    } else {
        // 8 px above the place the layout gives it (550, 468): there the field's frame, drawn next,
        // covered the lower half of the text.
        DrawLabel(context, L"邮箱验证码", {550, 460, 180, 20}, 12, kFormLabel, false, TextAlign::Near);
        DrawFieldFrame(context, inputs, FormField::EmailCode);
        const bool codeAvailable = state.serviceReady && !state.codeBusy && !state.accountBusy;
        DrawButton(context, layout::kSendCodeButton, state.codeBusy ? L"正在发送…" : L"发送验证码", codeAvailable);
    }
    if (mode != AuthFormMode::ResetPassword) {
        DrawCheckbox(context, layout::kAgreementBox, state.privacyAccepted, L"");
        DrawLabel(context, L"我已阅读并同意《用户使用协议与隐私说明》", {578, 526, 362, 36}, 11, kLink, true,
                  TextAlign::Near);
    }
    DrawButton(context, layout::kSubmitButton, state.accountBusy ? texts.submitBusy : texts.submit,
               state.serviceReady && !state.accountBusy);

    DrawPhrasedLabel(context, state.statusText, {540, 630, 400, 26}, 12,
                     SignedOutStatusColour(state.statusText, state.serviceReady), true, TextAlign::Near);
    if (!state.detailText.empty())
        DrawPhrasedLabel(context, state.detailText, {540, 658, 400, 42}, 11, 0xFFFF7E8F, false, TextAlign::Near);
}

}  // namespace

void PaintSignedOutScreen(DrawContext& context, const PaintInputs& inputs) {
    PaintBackgroundAndBanner(context);
    PaintForm(context, inputs);
}
