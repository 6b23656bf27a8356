#include "ui/payment_address_dialog.h"

#include "core/app_state.h"
#include "core/clipboard.h"

namespace {

struct DialogData {
    std::wstring address;
    const AddressDialogWords* words;
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
    const std::wstring content = AddressContent(*shown->words, shown->address) + L"\n\n" +
                                 (copied ? kAddressCopiedText : L"无法写入剪贴板，请手动选中地址复制。");
    SendMessageW(dialog, TDM_SET_ELEMENT_TEXT, TDE_CONTENT, reinterpret_cast<LPARAM>(content.c_str()));
    // The dialog stays open: the person may still want to read the address.
    return S_FALSE;
}

}  // namespace

std::wstring AddressContent(const AddressDialogWords& words, const std::wstring& address) {
    return std::wstring(words.lead) + L"\n\n" + address;
}

TaskDialogPage AddressPage(const wchar_t* instruction, const std::wstring& content) {
    TaskDialogPage page;
    page.title = kPaymentAddressTitle;
    page.icon = TD_INFORMATION_ICON;
    page.instruction = instruction;
    page.content = content.c_str();
    page.buttons = {{kCopyAddressButton, kCopyAddressText}};
    page.defaultButton = kCopyAddressButton;
    return page;
}

void ShowAddressDialog(HWND owner, const std::wstring& address, bool opened, const AddressDialogWords& words) {
    const std::wstring content = AddressContent(words, address);
    DialogData data{address, &words};
    const wchar_t* instruction = opened ? words.openedInstruction : words.instruction;
    TaskDialogPage page = AddressPage(instruction, content);
    page.events = AddressDialogEvents;
    page.eventData = reinterpret_cast<LONG_PTR>(&data);
    if (ShowTaskDialogPage(owner, FindTaskDialog(), page)) return;
    ShowMessage(std::wstring(instruction) + L"\n\n" + content, kPaymentAddressTitle, MB_ICONINFORMATION);
}

void ShowPageAddressesToCopy(HWND owner) {
    std::wstring payment, room;
    bool paymentOpened = false, roomOpened = false;
    {
        AppState& app = App();
        std::lock_guard<std::mutex> lock(app.stateMutex);
        payment.swap(app.session.paymentPageToShow);
        paymentOpened = app.session.paymentPageOpened;
        room.swap(app.roomPageToShow);
        roomOpened = app.roomPageOpened;
    }
    if (!payment.empty()) ShowAddressDialog(owner, payment, paymentOpened, kPaymentPageWords);
    if (!room.empty()) ShowAddressDialog(owner, room, roomOpened, kRoomResultPageWords);
}
