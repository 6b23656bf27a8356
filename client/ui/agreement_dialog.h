// The agreement dialog ("用户使用协议与隐私说明") behind the link beside the agreement box.
#pragma once

#include <windows.h>
#include <commctrl.h>

// The common-controls task dialog, when the comctl32 that the manifest selects has one.
using TaskDialogIndirectFunction = HRESULT(WINAPI*)(const TASKDIALOGCONFIG*, int*, int*, BOOL*);
TaskDialogIndirectFunction FindTaskDialog();

// Esc closes a task dialog that has a Close button (call on TDN_CREATED).
void LetEscapeCloseTaskDialog(HWND dialog);

// The dialog's texts.
extern const wchar_t kAgreementTitle[];
extern const wchar_t kAgreementInstruction[];
extern const wchar_t kAgreementContent[];

// Shows the dialog owned by `owner` until the user closes it (Close button or Esc). Reading it does
// not tick the agreement box. Where the task dialog is missing, a message box shows the same texts.
// `taskDialog` is the dialog function to use (FindTaskDialog() in the program).
void ShowAgreementDialog(HWND owner, TaskDialogIndirectFunction taskDialog);
void ShowAgreementDialog(HWND owner);
