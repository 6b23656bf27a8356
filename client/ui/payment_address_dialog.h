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
inline constexpr wchar_t kAddressCopiedText[] = L"地址已复制，请粘贴到浏览器的地址栏中打开。";

// The dialog's text for an address.
std::wstring PaymentAddressContent(const std::wstring& address);

// What the dialog shows for `content` (which must outlive the page): "复制地址", pressed by Enter,
// left of "关闭".
TaskDialogPage PaymentAddressPage(const std::wstring& content);

// Shows the address owned by `owner` until the person closes it; "复制地址" puts it on the clipboard
// (the dialog stays open and says so). A message box with the address stands in without the task
// dialog.
void ShowPaymentAddressDialog(HWND owner, const std::wstring& address);

// The main window's answer to a state change: an address a payment worker could not hand to a
// browser is shown once.
void ShowUnopenedPaymentPage(HWND owner);
