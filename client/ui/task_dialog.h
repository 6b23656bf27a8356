// The program's task dialogs (the agreement, a payment page's address): one configuration for all, so
// their buttons read and behave alike.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <vector>

// The common-controls task dialog, when the comctl32 that the manifest selects has one.
using TaskDialogIndirectFunction = HRESULT(WINAPI*)(const TASKDIALOGCONFIG*, int*, int*, BOOL*);
TaskDialogIndirectFunction FindTaskDialog();

// Esc closes a task dialog that has a Close button, and the keyboard starts on that button (the
// configuration below does this when the dialog is created).
void LetEscapeCloseTaskDialog(HWND dialog);

// The last button of every task dialog of the program. It carries its own text: the common Close
// button reads in the system's language, which is not always Chinese.
inline constexpr wchar_t kCloseButtonText[] = L"关闭";

// What one task dialog shows and does.
struct TaskDialogPage {
    const wchar_t* title = nullptr;
    const wchar_t* instruction = nullptr;
    const wchar_t* content = nullptr;
    PCWSTR icon = nullptr;                   // none when null
    std::vector<TASKDIALOG_BUTTON> buttons;  // the dialog's own, left of "关闭"
    int defaultButton = IDCLOSE;             // the one Enter presses
    UINT widthDialogUnits = 0;               // 0: as wide as the dialog chooses
    DWORD flags = 0;                         // besides closing with Esc
    // Called after the shared handling of each notification (Esc and the focus on creation).
    PFTASKDIALOGCALLBACK events = nullptr;
    LONG_PTR eventData = 0;
};

// The row of buttons: the page's own, then "关闭".
std::vector<TASKDIALOG_BUTTON> TaskDialogButtonRow(const TaskDialogPage& page);

// The configuration that shows `page` owned by `owner`, with `row` (TaskDialogButtonRow of the page)
// as its buttons; `page` and `row` must outlive it. Makes no window.
TASKDIALOGCONFIG TaskDialogConfig(HWND owner, const TaskDialogPage& page, const std::vector<TASKDIALOG_BUTTON>& row);

// Shows `page` with `taskDialog` until the person closes it. False when it could not be shown (no
// task dialog, or it failed): the caller says the same in a message box.
bool ShowTaskDialogPage(HWND owner, TaskDialogIndirectFunction taskDialog, const TaskDialogPage& page);
