// When no browser opens the payment page, the person still needs its address: a dialog shows it with
// a button that copies it.
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

// The dialog's text for an address.
std::wstring PaymentAddressContent(const std::wstring& address);

// What the dialog shows for `content` (which must outlive the page): "复制地址", pressed by Enter,
// left of "关闭".
TaskDialogPage PaymentAddressPage(const std::wstring& content);

// Shows the address owned by `owner` until the person closes it; "复制地址" puts it on the clipboard
// (the dialog stays open and says so). A message box with the address stands in without the task
// dialog. `opened`: the shell said it opened the page (the instruction then says so).
void ShowPaymentAddressDialog(HWND owner, const std::wstring& address, bool opened = false);

// The main window's answer to a state change: the address of a payment page just ordered is shown
// once, since neither a failed nor a successful hand-over to the shell proves what the person saw.
void ShowUnopenedPaymentPage(HWND owner);
