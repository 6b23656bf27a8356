// When no browser can be known to show a page the program handed to the shell (a payment page, a
// room's result page), the person still needs its address: a dialog shows it with a button that
// copies it.
#pragma once

#include <windows.h>

#include <string>

#include "ui/task_dialog.h"

inline constexpr int kCopyAddressButton = 1001;
inline constexpr wchar_t kCopyAddressText[] = L"复制地址";
inline constexpr wchar_t kPaymentAddressTitle[] = L"澄序";
inline constexpr wchar_t kPaymentAddressInstruction[] = L"没有浏览器打开支付页面";
// When the shell took the page: it cannot tell whether a browser really showed it.
inline constexpr wchar_t kPaymentAddressOpenedInstruction[] = L"已请浏览器打开支付页面；如果没有看到，请复制地址";
inline constexpr wchar_t kAddressCopiedText[] = L"地址已复制，请粘贴到浏览器的地址栏中打开。";

// What the dialog says of one kind of page.
struct AddressDialogWords {
    const wchar_t* instruction;        // the shell took no browser for it
    const wchar_t* openedInstruction;  // the shell said it opened it
    const wchar_t* lead;               // above the address
};
inline constexpr AddressDialogWords kPaymentPageWords{
    kPaymentAddressInstruction, kPaymentAddressOpenedInstruction,
    L"订单已创建。请复制下面的地址，在浏览器中打开完成支付，到账后积分会自动更新："};
inline constexpr AddressDialogWords kRoomResultPageWords{
    L"没有浏览器打开房间结果页面", L"已请浏览器打开房间结果页面；如果没有看到，请复制地址",
    L"房间结果页面列出每台机器的结果和时间图，请复制下面的地址，在浏览器中打开："};

// The dialog's text for an address.
std::wstring AddressContent(const AddressDialogWords& words, const std::wstring& address);
inline std::wstring PaymentAddressContent(const std::wstring& address) {
    return AddressContent(kPaymentPageWords, address);
}

// What the dialog shows for `content` (which must outlive the page): "复制地址", pressed by Enter,
// left of "关闭".
TaskDialogPage AddressPage(const wchar_t* instruction, const std::wstring& content);

// Shows the address owned by `owner` until the person closes it; "复制地址" puts it on the clipboard
// (the dialog stays open and says so). A message box with the address stands in without the task
// dialog. `opened`: the shell said it opened the page (the instruction then says so).
void ShowAddressDialog(HWND owner, const std::wstring& address, bool opened, const AddressDialogWords& words);

// The main window's answer to a state change: the address of a payment page just ordered, or of a
// room's result page just asked for, is shown once, since neither a failed nor a successful hand-over
// to the shell proves what the person saw.
void ShowPageAddressesToCopy(HWND owner);
