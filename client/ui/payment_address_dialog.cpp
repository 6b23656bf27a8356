#include "ui/payment_address_dialog.h"

#include "core/app_state.h"
#include "core/clipboard.h"

namespace {

struct DialogData {
    std::wstring address;
};

HRESULT CALLBACK AddressDialogEvents(HWND dialog, UINT notification, WPARAM wParam, LPARAM, LONG_PTR data) {
    if (notification == TDN_CREATED) {
        // The keyboard starts on the copy button, the one a person came for.
        if (HWND copy = GetDlgItem(dialog, kCopyAddressButton)) SetFocus(copy);
        return S_OK;
    }
    if (notification != TDN_BUTTON_CLICKED || static_cast<int>(wParam) != kCopyAddressButton) return S_OK;
    const auto* shown = reinterpret_cast<const DialogData*>(data);
    const bool copied = CopyTextToClipboard(dialog, shown->address);
    // The content says what happened under the address it shows.
    const std::wstring content = PaymentAddressContent(shown->address) + L"\n\n" +
                                 (copied ? kAddressCopiedText : L"无法写入剪贴板，请手动选中地址复制。");
    SendMessageW(dialog, TDM_SET_ELEMENT_TEXT, TDE_CONTENT, reinterpret_cast<LPARAM>(content.c_str()));
    // The dialog stays open: the person may still want to read the address.
    return S_FALSE;
}

}  // namespace

std::wstring PaymentAddressContent(const std::wstring& address) {
    return L"订单已创建。请复制下面的地址，在浏览器中打开完成支付，到账后积分会自动更新：\n\n" + address;
}

TaskDialogPage PaymentAddressPage(const std::wstring& content) {
    TaskDialogPage page;
    page.title = kPaymentAddressTitle;
    page.icon = TD_INFORMATION_ICON;
    page.instruction = kPaymentAddressInstruction;
    page.content = content.c_str();
    page.buttons = {{kCopyAddressButton, kCopyAddressText}};
    page.defaultButton = kCopyAddressButton;
    return page;
}

void ShowPaymentAddressDialog(HWND owner, const std::wstring& address, bool opened) {
    const std::wstring content = PaymentAddressContent(address);
    DialogData data{address};
    TaskDialogPage page = PaymentAddressPage(content);
    if (opened) page.instruction = kPaymentAddressOpenedInstruction;
    page.events = AddressDialogEvents;
    page.eventData = reinterpret_cast<LONG_PTR>(&data);
    if (ShowTaskDialogPage(owner, FindTaskDialog(), page)) return;
    ShowMessage(std::wstring(opened ? kPaymentAddressOpenedInstruction : kPaymentAddressInstruction) + L"\n\n" +
                    content,
                kPaymentAddressTitle, MB_ICONINFORMATION);
}

void ShowUnopenedPaymentPage(HWND owner) {
    std::wstring address;
    bool opened = false;
    {
        AppState& app = App();
        std::lock_guard<std::mutex> lock(app.stateMutex);
        address.swap(app.session.paymentPageToShow);
        opened = app.session.paymentPageOpened;
    }
    if (!address.empty()) ShowPaymentAddressDialog(owner, address, opened);
}
