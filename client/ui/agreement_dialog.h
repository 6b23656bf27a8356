// The agreement dialog ("用户使用协议与隐私说明") behind the link beside the agreement box.
#pragma once

#include <windows.h>

#include "ui/task_dialog.h"

// The dialog's texts.
extern const wchar_t kAgreementTitle[];
extern const wchar_t kAgreementInstruction[];
extern const wchar_t kAgreementContent[];

// What the dialog shows: the texts, only "关闭", wide enough for the longest written line.
TaskDialogPage AgreementPage();

// Shows the dialog owned by `owner` until the user closes it (Close button or Esc). Reading it does
// not tick the agreement box. Where the task dialog is missing, a message box shows the same texts.
// `taskDialog` is the dialog function to use (FindTaskDialog() in the program).
void ShowAgreementDialog(HWND owner, TaskDialogIndirectFunction taskDialog);
void ShowAgreementDialog(HWND owner);
