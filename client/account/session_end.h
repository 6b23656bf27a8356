// Signing out and the request to delete the account: both end the session on this machine through
// EndSession; the service hears of a logout afterwards, and a deletion only ends the session once the
// service has accepted it.
#pragma once

#include <windows.h>

#include <string>

// The password dialog (resource 202) and its field.
constexpr int kDeletionDialogId = 202;
constexpr int kDeletionPasswordField = 2011;

// Any thread: back to the signed-out login form in one hold of the state lock (session, form mode,
// purpose, panel, target, credits state, a running hotkey capture), with the given status lines. A
// countdown stays while a click task runs: the task ends it itself.
void EndSession(std::wstring status, std::wstring detail);

// UI thread: the personal centre's "退出账号" (after the panel has closed).
void Logout();

// UI thread: the personal centre's "注销账号" (after the panel has closed): the warning, the password
// dialog, then the request on a worker.
void RequestAccountDeletion();

// {"password":"…"} (the caller wipes it).
std::string BuildDeletionBody(const std::string& password);

// The password dialog's procedure: on OK an empty field keeps the dialog open with a warning;
// otherwise the text goes to the std::wstring whose address came with WM_INITDIALOG.
INT_PTR CALLBACK DeletionPasswordDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
