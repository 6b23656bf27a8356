// The modal panels over the dashboard (usage purpose, top-up, personal centre), drawn from one
// PaintInputs; what their controls do is in modal_panels.cpp.
#include "core/form_fields.h"
#include "net/json_text.h"
#include "ui/screen_layout.h"
#include "ui/screen_paint.h"
#include "ui/wake_hotkey.h"

namespace {

constexpr Argb kPanelTitle = 0xFFF7FAFF;
constexpr Argb kPanelSubtitle = 0xFF9EB2CB;

struct PurposeOption {
    const wchar_t* badge;
    const wchar_t* description;
};
constexpr PurposeOption kPurposeOptions[4] = {
    {L"01", L"测试自有或已获授权的软件"},
    {L"02", L"展厅、发布会或设备统一演示"},
    {L"03", L"课堂、实验室和教学演示"},
    {L"04", L"组织内部培训和操作演练"},
};

void PaintPurposePanel(DrawContext& context, const ScreenSnapshot& state) {
    DrawLabel(context, L"选择本次使用用途", {300, 142, 460, 40}, 26, kPanelTitle, true, TextAlign::Near);
    DrawLabel(context, L"用途会写入任务记录；每个任务仍需查看倒计时、点击位置并在本机确认。", {300, 184, 540, 34}, 12,
              kPanelSubtitle, false, TextAlign::Near);
    for (int index = 0; index < 4; ++index) {
        const RECT& r = layout::kPurposeOptions[index];
        const float l = static_cast<float>(r.left), t = static_cast<float>(r.top);
        const bool selected = index == state.pendingPurpose;
        FillRoundRect(context, ToRectF(r), 14, selected ? 0xFF18375B : 0xFF16253A);
        if (selected) StrokeRoundRect(context, r, 0xFF4B8FFF, 2, 14);
        else StrokeRoundRect(context, r, 0xFF293D57, 1, 14);
        FillRoundRect(context, {l + 18, t + 20, 46, 46}, 12, selected ? 0xFF2A66EC : 0xFF1F3149);
        DrawLabel(context, kPurposeOptions[index].badge, {l + 18, t + 20, 46, 46}, 13, 0xFFF5F9FF, true,
                  TextAlign::Centre);
        DrawLabel(context, PurposeLabel(index), {l + 80, t + 15, 160, 34}, 17, 0xFFF5F9FF, true, TextAlign::Near);
        DrawLabel(context, kPurposeOptions[index].description, {l + 80, t + 50, 165, 34}, 11, kPanelSubtitle, false,
                  TextAlign::Near);
    }
    DrawButton(context, layout::kSavePurposeButton, L"保存用途并开始使用", true);
    DrawLabel(context, L"不得用于作弊、抢购、攻击或操作任何未获授权的软件。", {340, 592, 500, 28}, 11, 0xFFFF9F6C, false,
              TextAlign::Centre);
}

void PaintPaymentOption(DrawContext& context, const RECT& r, bool selected, Argb selectedFill, Argb selectedOutline,
                        const wchar_t* name, bool alipay) {
    const float l = static_cast<float>(r.left), t = static_cast<float>(r.top);
    FillRoundRect(context, ToRectF(r), 13, selected ? selectedFill : 0xFF17273C);
    if (selected) StrokeRoundRect(context, r, selectedOutline, 2, 13);
    else StrokeRoundRect(context, r, 0xFF2A3E57, 1, 13);
    if (alipay) DrawAlipayMark(context, {l + 20, t + 14, 40, 40});
    else DrawWeChatMark(context, {l + 20, t + 14, 40, 40});
    DrawLabel(context, name, {l + 74, t, 116, 68}, 16, 0xFFEBF7FF, true, TextAlign::Near);
}

void PaintTopUpPanel(DrawContext& context, const PaintInputs& inputs) {
    const ScreenSnapshot& state = inputs.state;
    DrawLabel(context, L"积分获取", {300, 142, 430, 40}, 26, kPanelTitle, true, TextAlign::Near);
    DrawLabel(context, L"填写充值金额并选择支付方式，支付完成后积分自动到账。", {300, 184, 500, 34}, 12, kPanelSubtitle,
              false, TextAlign::Near);
    FillRoundRect(context, {300, 226, 560, 64}, 14, 0xFF133142);
    DrawLabel(context, L"当前剩余", {324, 230, 120, 26}, 11, 0xFF89A3BE, false, TextAlign::Near);
    DrawLabel(context, NumberText(state.credits) + L" 积分", {324, 252, 260, 30}, 20, 0xFF64E0AE, true,
              TextAlign::Near);
    FillRoundRect(context, {638, 239, 194, 40}, 11, 0xFF18486A);
    DrawLabel(context, L"1 元 = " + NumberText(state.pointsPerYuan) + L" 积分", {638, 239, 194, 40}, 15, 0xFF84CAFF,
              true, TextAlign::Centre);

    DrawLabel(context, L"充值金额", {350, 304, 120, 28}, 12, 0xFFB9C9DC, true, TextAlign::Near);
    DrawFieldFrame(context, inputs, FormField::Amount);
    DrawLabel(context, L"元", {526, 332, 30, 52}, 13, 0xFF96ADC7, true, TextAlign::Centre);
    const TopUpEstimate estimate = EstimateTopUp(inputs.amountText, state.pointsPerYuan);
    FillRoundRect(context, {590, 332, 230, 52}, 12, estimate.valid ? 0xFF144248 : 0xFF372A24);
    if (estimate.valid)
        DrawLabel(context, L"预计到账 +" + NumberText(estimate.points) + L" 积分", {590, 332, 230, 52}, 13, 0xFF67E8B8,
                  true, TextAlign::Centre);
    else
        DrawLabel(context, estimate.hint, {590, 332, 230, 52}, 13, 0xFFFFB574, true, TextAlign::Centre);

    DrawLabel(context, L"选择支付方式", {350, 392, 170, 28}, 12, 0xFFB9C9DC, true, TextAlign::Near);
    if (state.alipayAvailable)
        PaintPaymentOption(context, layout::kAlipayOption, state.paymentMethod == PaymentMethod::Alipay, 0xFF184064,
                           0xFF4498FF, L"支付宝", true);
    if (state.wechatAvailable)
        PaintPaymentOption(context, layout::kWeChatOption, state.paymentMethod == PaymentMethod::WeChatPay, 0xFF164842,
                           0xFF3FD591, L"微信支付", false);
    DrawButton(context, layout::kOrderButton, L"创建订单并打开支付页面", true);
    DrawLabel(context, L"支付由已配置的支付平台完成，澄序不会保存银行卡信息。", {330, 588, 520, 26}, 11, 0xFF89A3BE,
              false, TextAlign::Centre);
}

void PaintPersonalCentrePanel(DrawContext& context, const ScreenSnapshot& state) {
    DrawLabel(context, L"个人中心", {300, 142, 430, 40}, 26, kPanelTitle, true, TextAlign::Near);
    DrawLabel(context, L"查看账号状态并管理本机登录。", {300, 184, 430, 32}, 12, kPanelSubtitle, false, TextAlign::Near);
    FillGradientRoundRect(context, {300, 236, 560, 174}, 18, 0xFF1A447D, 0xFF115D64);
    FillRoundRect(context, {326, 266, 64, 64}, 18, 0xD7FFFFFF);
    DrawLabel(context, L"O", {326, 266, 64, 64}, 27, 0xFF2259B7, true, TextAlign::Centre);
    const std::wstring name = state.email.empty() ? L"开发者账号" : Utf8ToUtf16(state.email);
    DrawLabel(context, name, {414, 258, 400, 36}, 19, 0xFFFFFFFF, true, TextAlign::Near);
    DrawLabel(context, L"澄序 Orvane 用户", {414, 294, 260, 26}, 11, 0xE1E1F1FF, false, TextAlign::Near);
    DrawLabel(context, L"剩余 " + NumberText(state.credits) + L" 积分", {414, 330, 260, 42}, 22, 0xFF72F0BC, true,
              TextAlign::Near);

    FillRoundRect(context, {300, 430, 560, 46}, 12, 0xFF18273B);
    DrawLabel(context, state.rememberPassword ? L"密码已由 Windows 凭据管理器加密保存" : L"本机未保存账号密码",
              {324, 430, 510, 46}, 12, 0xFFACBFD6, true, TextAlign::Near);
    FillRoundRect(context, {300, 480, 560, 42}, 12, 0xFF142A41);
    DrawLabel(context, L"窗口唤起快捷键", {324, 480, 170, 42}, 12, 0xFFACBFD6, true, TextAlign::Near);
    if (state.hotkeyCapturing)
        DrawLabel(context, L"等待按键…", {480, 480, 155, 42}, 12, 0xFFFFC14D, true, TextAlign::Centre);
    else
        DrawLabel(context, FormatHotkeyText(state.hotkeyModifiers, state.hotkeyKey), {480, 480, 155, 42}, 12,
                  0xFF67E8B8, true, TextAlign::Centre);
    DrawButton(context, layout::kHotkeyButton, state.hotkeyCapturing ? L"取消设置" : L"设置快捷键", true);

    DrawButton(context, layout::kLogoutButton, L"退出账号", false);
    FillRoundRect(context, ToRectF(layout::kDeleteAccountButton), 10, 0xFF4B2330);
    StrokeRoundRect(context, layout::kDeleteAccountButton, 0xFF8E3A50, 1, 10);
    DrawLabel(context, L"注销账号", ToRectF(layout::kDeleteAccountButton), 14, 0xFFFFACBB, true, TextAlign::Centre);
    DrawLabel(context, L"注销后会立即退出；身份数据按隐私说明进入删除流程。", {330, 596, 520, 24}, 10, 0xFF96ADC7, false,
              TextAlign::Centre);
}

}  // namespace

void PaintModalPanel(DrawContext& context, const PaintInputs& inputs) {
    const ScreenSnapshot& state = inputs.state;
    if (state.panel == ModalPanelKind::None) return;
    FillRoundRect(context, {0, 0, 1180, 760}, 0, 0xE2040911);
    FillRoundRect(context, {250, 116, 680, 524}, 24, 0xFF101C2D);
    StrokeRoundRect(context, RECT{250, 116, 930, 640}, 0xFF2B4362, 1, 24);
    FillRoundRect(context, ToRectF(layout::kPanelCloseBox), 12, 0xFF1C2C42);
    DrawLabel(context, L"×", {858, 140, 44, 44}, 24, 0xFFBAC9DC, false, TextAlign::Centre);
    switch (state.panel) {
        case ModalPanelKind::Purpose: PaintPurposePanel(context, state); break;
        case ModalPanelKind::TopUp: PaintTopUpPanel(context, inputs); break;
        case ModalPanelKind::PersonalCentre: PaintPersonalCentrePanel(context, state); break;
        default: break;
    }
    // What the person's action in the panel just caused (a refused amount, a hotkey taken elsewhere)
    // stands above the panel, where the person looks, not in the status column under the dimming.
    if (state.statusSincePanelOpened && !state.statusText.empty()) {
        const bool failure = IsFailureStatus(state.statusText);
        FillRoundRect(context, ToRectF(layout::kPanelNotice), 14, failure ? 0xFF3A1E28 : 0xFF14324A);
        StrokeRoundRect(context, layout::kPanelNotice, failure ? 0xFF8E3A50 : 0xFF2B5A7A, 1, 14);
        const RECT& n = layout::kPanelNotice;
        const float l = static_cast<float>(n.left) + 20, w = static_cast<float>(n.right - n.left) - 40;
        if (state.detailText.empty()) {
            DrawPhrasedLabel(context, state.statusText, {l, static_cast<float>(n.top), w, 52}, 13,
                      failure ? kErrorColour : 0xFF5BE0A4, true, TextAlign::Near);
        } else {
            DrawPhrasedLabel(context, state.statusText, {l, static_cast<float>(n.top) + 3, w, 24}, 13,
                      failure ? kErrorColour : 0xFF5BE0A4, true, TextAlign::Near);
            DrawPhrasedLabel(context, state.detailText, {l, static_cast<float>(n.top) + 26, w, 22}, 11, 0xFFD5DEEA, false,
                      TextAlign::Near);
        }
    }
}
