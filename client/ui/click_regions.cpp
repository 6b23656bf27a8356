#include "ui/click_regions.h"

#include <iterator>

#include "account/account_form.h"
#include "account/credits.h"
#include "account/login.h"
#include "target/blacklist_code.h"
#include "target/picker.h"
#include "target/task_gate.h"
#include "account/session_end.h"
#include "tasks/room_result.h"
#include "tasks/rooms.h"
#include "tasks/sync_test.h"
#include "ui/agreement_dialog.h"
#include "ui/child_controls.h"
#include "ui/keyboard_navigation.h"
#include "ui/modal_panels.h"
#include "ui/screen_layout.h"
#include "ui/signed_out_actions.h"
#include "ui/ui_resources.h"
#include "ui/wake_hotkey.h"

namespace {

enum class When {
    Any,
    SignedIn,
    Developer,     // signed in with a developer account
    TopUpOffered,  // signed in, Alipay or WeChat Pay offered
    SignedOut,
    LoginForm,     // signed out, login form
    NotResetForm,  // signed out, login or registration form
    RoomResultOffered,  // signed in, the status line gives a room's result with its page
    PurposePanel,
    TopUpPanel,
    AlipayOffered,  // top-up panel with Alipay offered
    WeChatOffered,  // top-up panel with WeChat Pay offered
    PersonalCentrePanel,
};

using ClickAction = void (*)(HWND window);

// The picker opens with the ball under the pointer that pressed the button.
POINT PointerPosition() {
    POINT pointer{};
    GetCursorPos(&pointer);
    return pointer;
}

// The personal centre's hotkey button: starts a capture, or cancels the one that runs.
void ToggleHotkeyCapture() {
    bool capturing;
    {
        AppState& app = App();
        std::lock_guard<std::mutex> lock(app.stateMutex);
        capturing = app.session.hotkeyCapturing;
    }
    if (capturing) CancelHotkeyCapture();
    else StartHotkeyCapture();
}

bool MayQuitWithTheExitButton() {
    bool signedIn;
    {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        signedIn = App().session.logged_in;
    }
    if (!signedIn || App().taskBusy.load()) return true;
    return AskYesNo(kQuitSignedInText, L"退出澄序", MB_ICONQUESTION);
}

// One row: when it is active, where, whether the purpose gate comes first, and what it starts. A
// null action belongs to a part of the program not built yet: the row then does nothing.
struct ClickRow {
    When when;
    RECT region;
    const char* name;
    bool purposeGate;
    ClickAction action;
};

// Signed out, or signed in with no panel open; in this order.
const ClickRow kMainRows[] = {
    {When::Any, layout::kExitButton, "退出", false,
     [](HWND window) {
         if (MayQuitWithTheExitButton()) SendMessageW(window, WM_CLOSE, 0, 0);
     }},
    // Active even while the button is not drawn (no purpose saved yet).
    {When::SignedIn, layout::kChangePurposeButton, "更改用途", false,
     [](HWND) { OpenModalPanel(ModalPanelKind::Purpose); }},
    {When::SignedIn, layout::kPositionButton, "选择点击位置", true,
     [](HWND) { OpenPicker(PointerPosition()); }},
    {When::RoomResultOffered, layout::kRoomResultButton, "查看房间结果", false, [](HWND) { OpenRoomResultPage(); }},
    {When::Developer, layout::kPickTargetButton, "选择目标程序", true,
     [](HWND) { OpenPicker(PointerPosition(), PickPurpose::BlacklistProgram); }},
    {When::Developer, layout::kBlacklistCodeButton, "生成并复制名单码", true, [](HWND) { GenerateBlacklistCode(); }},
    {When::SignedIn, layout::kRoomCodeButton, "自动生成房间号", true, [](HWND) { GenerateRoomCode(); }},
    // The task gate inside each start asks for the purpose first.
    {When::SignedIn, layout::kCreateRoomButton, "创建房间", false, [](HWND) { StartCreateRoom(); }},
    {When::SignedIn, layout::kJoinRoomButton, "加入房间", false, [](HWND) { StartJoinRoom(); }},
    {When::SignedIn, layout::kSyncTestButton, "开始同步测试", false, [](HWND) { StartSyncTest(); }},
    {When::TopUpOffered, layout::kTopUpButton, "积分获取", false, [](HWND) { OpenTopUp(); }},
    {When::SignedIn, layout::kPersonalCentreButton, "个人中心", false,
     [](HWND) { OpenModalPanel(ModalPanelKind::PersonalCentre); }},
    {When::SignedOut, layout::kLoginTab, "登录", false, [](HWND) { SwitchAuthForm(AuthFormMode::Login); }},
    {When::SignedOut, layout::kRegisterTab, "注册", false, [](HWND) { SwitchAuthForm(AuthFormMode::Register); }},
    // Active in every form, also where the link is not drawn.
    {When::SignedOut, layout::kForgotPasswordLink, "忘记密码？", false,
     [](HWND) { SwitchAuthForm(AuthFormMode::ResetPassword); }},
    {When::SignedOut, layout::kSendCodeButton, "发送验证码", false, [](HWND) { SendCode(); }},
    {When::LoginForm, layout::kRememberBox, "保存账号和密码", false, [](HWND) { ToggleRememberPassword(); }},
    {When::NotResetForm, layout::kAgreementBox, "同意协议", false, [](HWND) { ToggleAgreement(); }},
    {When::NotResetForm, layout::kAgreementText, "用户使用协议与隐私说明", false,
     [](HWND window) { ShowAgreementDialog(window); }},
    {When::SignedOut, layout::kSubmitButton, "提交", false, [](HWND) { SubmitSignedOutForm(); }},
};

// While a panel is open; in this order.
const ClickRow kPanelRows[] = {
    {When::Any, layout::kPanelCloseBox, "×", false, [](HWND) { CloseModalPanel(); }},
    {When::PurposePanel, layout::kPurposeOptions[0], "软件测试", false, [](HWND) { SelectPendingPurpose(0); }},
    {When::PurposePanel, layout::kPurposeOptions[1], "展厅演示", false, [](HWND) { SelectPendingPurpose(1); }},
    {When::PurposePanel, layout::kPurposeOptions[2], "教学实验", false, [](HWND) { SelectPendingPurpose(2); }},
    {When::PurposePanel, layout::kPurposeOptions[3], "内部培训", false, [](HWND) { SelectPendingPurpose(3); }},
    {When::PurposePanel, layout::kSavePurposeButton, "保存用途并开始使用", false, [](HWND) { SavePurpose(); }},
    {When::AlipayOffered, layout::kAlipayOption, "支付宝", false,
     [](HWND) { SelectPaymentMethod(PaymentMethod::Alipay); }},
    {When::WeChatOffered, layout::kWeChatOption, "微信支付", false,
     [](HWND) { SelectPaymentMethod(PaymentMethod::WeChatPay); }},
    {When::TopUpPanel, layout::kOrderButton, "创建订单并打开支付页面", false,
     [](HWND) {
         ReportPanelActionOverThePanel();
         if (StartPayment()) CloseModalPanel();
     }},
    {When::PersonalCentrePanel, layout::kHotkeyButton, "设置快捷键", false,
     [](HWND) {
         ReportPanelActionOverThePanel();
         ToggleHotkeyCapture();
     }},
    {When::PersonalCentrePanel, layout::kLogoutButton, "退出账号", false,
     [](HWND) {
         CloseModalPanel();
         Logout();
     }},
    {When::PersonalCentrePanel, layout::kDeleteAccountButton, "注销账号", false,
     [](HWND) {
         CloseModalPanel();
         RequestAccountDeletion();
     }},
};

bool Active(When when, const ClickConditions& c) {
    switch (when) {
        case When::Any: return true;
        case When::SignedIn: return c.loggedIn;
        case When::Developer: return c.loggedIn && c.developer;
        case When::TopUpOffered: return c.loggedIn && (c.alipayAvailable || c.wechatAvailable);
        case When::SignedOut: return !c.loggedIn;
        case When::LoginForm: return !c.loggedIn && c.authMode == AuthFormMode::Login;
        case When::NotResetForm: return !c.loggedIn && c.authMode != AuthFormMode::ResetPassword;
        case When::RoomResultOffered: return c.loggedIn && c.roomResultOffered;
        case When::PurposePanel: return c.panel == ModalPanelKind::Purpose;
        case When::TopUpPanel: return c.panel == ModalPanelKind::TopUp;
        case When::AlipayOffered: return c.panel == ModalPanelKind::TopUp && c.alipayAvailable;
        case When::WeChatOffered: return c.panel == ModalPanelKind::TopUp && c.wechatAvailable;
        case When::PersonalCentrePanel: return c.panel == ModalPanelKind::PersonalCentre;
    }
    return false;
}

bool Inside(const RECT& r, int x, int y) { return r.left <= x && x < r.right && r.top <= y && y < r.bottom; }

const ClickRow* RowOf(const ClickHit& hit) {
    if (hit.table == ClickTable::Main && hit.row >= 0 && hit.row < static_cast<int>(std::size(kMainRows)))
        return &kMainRows[hit.row];
    if (hit.table == ClickTable::Panel && hit.row >= 0 && hit.row < static_cast<int>(std::size(kPanelRows)))
        return &kPanelRows[hit.row];
    return nullptr;
}

// The press that a release may complete.
struct Press {
    HWND window = nullptr;
    ClickHit hit;
};
Press& CurrentPress() {
    static Press press;
    return press;
}

// The pointer's position in layout pixels: the regions are laid out for 96 DPI.
POINT PositionOf(LPARAM position) {
    return LayoutPoint({static_cast<short>(LOWORD(position)), static_cast<short>(HIWORD(position))}, Ui().scale);
}

}  // namespace

ClickConditions TakeClickConditions() {
    AppState& app = App();
    std::lock_guard<std::mutex> lock(app.stateMutex);
    return {app.session.logged_in,   app.session.developer_user, app.session.alipayAvailable,
            app.session.wxpayAvailable, app.session.modalPanel,     app.authFormMode,
            app.session.purposeSaved, RoomResultOffered(app)};
}

ClickHit HitTestClick(const ClickConditions& conditions, int x, int y) {
    // A panel is only ever open over the dashboard of a signed-in user.
    const bool panelOpen = conditions.loggedIn && conditions.panel != ModalPanelKind::None;
    const ClickTable table = panelOpen ? ClickTable::Panel : ClickTable::Main;
    const ClickRow* rows = panelOpen ? kPanelRows : kMainRows;
    const int count = static_cast<int>(panelOpen ? std::size(kPanelRows) : std::size(kMainRows));
    for (int row = 0; row < count; ++row)
        if (Active(rows[row].when, conditions) && Inside(rows[row].region, x, y)) return {table, row};
    return {};
}

std::vector<ClickStop> ClickStops(const ClickConditions& conditions) {
    const bool panelOpen = conditions.loggedIn && conditions.panel != ModalPanelKind::None;
    const ClickTable table = panelOpen ? ClickTable::Panel : ClickTable::Main;
    const ClickRow* rows = panelOpen ? kPanelRows : kMainRows;
    const int count = static_cast<int>(panelOpen ? std::size(kPanelRows) : std::size(kMainRows));
    std::vector<ClickStop> stops;
    for (int row = 0; row < count; ++row) {
        const ClickRow& r = rows[row];
        if (!Active(r.when, conditions)) continue;
        // Regions that react where the screen draws nothing are no place for the keyboard.
        if (EqualRect(&r.region, &layout::kChangePurposeButton) && !conditions.purposeSaved) continue;
        if (EqualRect(&r.region, &layout::kForgotPasswordLink) && conditions.authMode != AuthFormMode::Login) continue;
        if (EqualRect(&r.region, &layout::kSendCodeButton) && conditions.authMode == AuthFormMode::Login) continue;
        const bool checkbox =
            EqualRect(&r.region, &layout::kRememberBox) || EqualRect(&r.region, &layout::kAgreementBox);
        stops.push_back({{table, row}, r.region, checkbox, EqualRect(&r.region, &layout::kExitButton) != FALSE});
    }
    return stops;
}

const char* ClickRowName(const ClickHit& hit) {
    const ClickRow* row = RowOf(hit);
    return row ? row->name : "";
}

void RunClickRow(HWND window, const ClickHit& hit) {
    const ClickRow* row = RowOf(hit);
    if (!row) return;
    // The gate asks for the purpose first, also in front of an action that is not built yet.
    if (row->purposeGate && !PurposeGate()) return;
    if (row->action) row->action(window);
}

void OnMainButtonDown(HWND window, LPARAM position) {
    // The pointer is in use: the keyboard's ring goes.
    ForgetFocusedControl(window);
    const POINT at = PositionOf(position);
    CurrentPress() = {window, HitTestClick(TakeClickConditions(), at.x, at.y)};
    // A press on a field's frame beside its control is a press on the field.
    if (CurrentPress().hit.table == ClickTable::None && FocusFieldInFrame(window, at)) {
        CurrentPress() = {};
        return;
    }
    // The release comes here even when the pointer leaves the window, so a drag off a button ends
    // the press instead of leaving it open for a later release.
    SetCapture(window);
}

void OnMainButtonUp(HWND window, LPARAM position) {
    const POINT at = PositionOf(position);
    const Press press = CurrentPress();
    CurrentPress() = {};
    if (GetCapture() == window) ReleaseCapture();
    const ClickHit hit = HitTestClick(TakeClickConditions(), at.x, at.y);
    // Only a press and a release in the same region of the same window make a click: a drag from
    // elsewhere, or the second half of a double-click whose first half changed the screen below
    // the pointer, starts nothing.
    if (hit.table == ClickTable::None || press.window != window || press.hit != hit) return;
    RunClickRow(window, hit);
}

void OnMainCaptureLost(HWND window, HWND newCapture) {
    if (newCapture != window && CurrentPress().window == window) CurrentPress() = {};
}
