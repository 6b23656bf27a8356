#include "ui/modal_panels.h"

#include "core/form_fields.h"
#include "core/purpose.h"
#include "ui/child_controls.h"
#include "ui/ui_resources.h"
#include "ui/wake_hotkey.h"

void OpenModalPanel(ModalPanelKind kind) {
    AppState& app = App();
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        app.session.modalPanel = kind;
        app.session.panelStatusAtOpen = app.statusText;
        app.session.panelDetailAtOpen = app.detailText;
        app.session.panelActionReported = false;
        if (kind == ModalPanelKind::Purpose) {
            app.session.pendingPurpose = app.session.savedPurpose;
        } else if (kind == ModalPanelKind::TopUp) {
            if (app.session.alipayAvailable) app.session.paymentMethod = PaymentMethod::Alipay;
            else if (app.session.wxpayAvailable) app.session.paymentMethod = PaymentMethod::WeChatPay;
        }
    }
    UpdateChildControls();
    RepaintMainWindow();
    if (kind == ModalPanelKind::TopUp) {
        if (HWND amount = FormFieldControl(FormField::Amount)) {
            SetFocus(amount);
            SendMessageW(amount, EM_SETSEL, 0, -1);
        }
    }
}

void CloseModalPanel() {
    // A running hotkey capture ends with the panel; the old hotkey is registered again.
    CancelHotkeyCapture();
    AppState& app = App();
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        app.session.modalPanel = ModalPanelKind::None;
    }
    UpdateChildControls();
    RepaintMainWindow();
}

bool ClosePanelWithEscape() {
    AppState& app = App();
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        const Session& session = app.session;
        if (!session.logged_in || session.modalPanel == ModalPanelKind::None || session.hotkeyCapturing) return false;
    }
    CloseModalPanel();
    return true;
}

void SelectPendingPurpose(int32_t index) {
    AppState& app = App();
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        app.session.pendingPurpose = ClampPurpose(index);
    }
    RepaintMainWindow();
}

void SavePurpose() {
    AppState& app = App();
    int32_t saved;
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        app.session.savedPurpose = ClampPurpose(app.session.pendingPurpose);
        saved = app.session.savedPurpose;
        app.session.purposeSaved = true;
        app.session.modalPanel = ModalPanelKind::None;
        app.statusText = L"当前用途已保存，可以选择点击位置";
        app.detailText.clear();
    }
    // Setting the selection by message raises no selection-change notification, so the saved
    // purpose is not taken back as a change.
    if (HWND combo = Ui().purposeCombo) SendMessageW(combo, CB_SETCURSEL, saved, 0);
    UpdateChildControls();
    PostToMainWindow(MSG_STATE_CHANGED);
}

void OpenTopUp() {
    AppState& app = App();
    bool signedIn, offered;
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        signedIn = !app.session.token.empty();
        offered = app.session.alipayAvailable || app.session.wxpayAvailable;
    }
    if (!signedIn) return;
    if (offered) {
        OpenModalPanel(ModalPanelKind::TopUp);
        return;
    }
    // The offer changed since the button was drawn.
    ShowMessage(L"当前暂未开放在线积分获取。", L"积分获取", MB_ICONINFORMATION);
}

void SelectPaymentMethod(PaymentMethod method) {
    AppState& app = App();
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        // Only a method the service offers now (the offer may have changed since the paint).
        const bool offered = (method == PaymentMethod::Alipay && app.session.alipayAvailable) ||
                             (method == PaymentMethod::WeChatPay && app.session.wxpayAvailable);
        if (!offered) return;
        app.session.paymentMethod = method;
    }
    RepaintMainWindow();
}

void ReportPanelActionOverThePanel() {
    AppState& app = App();
    std::lock_guard<std::mutex> lock(app.stateMutex);
    app.session.panelActionReported = true;
}
