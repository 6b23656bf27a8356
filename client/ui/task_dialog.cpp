#include "ui/task_dialog.h"

#include "core/holders.h"

namespace {

constexpr UINT_PTR kEscapeClosesId = 1;

LRESULT CALLBACK EscapeClosesProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR) {
    if (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL && HIWORD(wParam) == BN_CLICKED &&
        !GetDlgItem(dialog, IDCANCEL)) {
        SendMessageW(dialog, TDM_CLICK_BUTTON, IDCLOSE, 0);
        return 0;
    }
    if (message == WM_NCDESTROY) RemoveWindowSubclass(dialog, EscapeClosesProc, kEscapeClosesId);
    return DefSubclassProc(dialog, message, wParam, lParam);
}

HRESULT CALLBACK PageEvents(HWND dialog, UINT notification, WPARAM wParam, LPARAM lParam, LONG_PTR data) {
    const auto* page = reinterpret_cast<const TaskDialogPage*>(data);
    if (notification == TDN_CREATED) LetEscapeCloseTaskDialog(dialog);
    return page->events ? page->events(dialog, notification, wParam, lParam, page->eventData) : S_OK;
}

}  // namespace

TaskDialogIndirectFunction FindTaskDialog() {
    // The library is already loaded (the program initialises the common controls at start), and the
    // process's manifest makes this name resolve to the version-6 controls. The program does not
    // import the function, so it still starts on a system without it.
    HMODULE controls = GetModuleHandleW(L"comctl32.dll");
    ScopedModule loaded;
    if (!controls) {
        loaded.reset(LoadLibraryW(L"comctl32.dll"));
        controls = loaded.get();
    }
    if (!controls) return nullptr;
    auto found = reinterpret_cast<TaskDialogIndirectFunction>(
        reinterpret_cast<void*>(GetProcAddress(controls, "TaskDialogIndirect")));
    // A library this call loaded itself stays loaded: the function must outlive this call.
    if (found) loaded.release();
    return found;
}

void LetEscapeCloseTaskDialog(HWND dialog) {
    // Some task dialogs (wine's among them) drop the Esc of a dialog without a Cancel button even when
    // cancellation is allowed: Esc is made a press of the Close button.
    SetWindowSubclass(dialog, EscapeClosesProc, kEscapeClosesId, 0);
    // The keyboard starts on the Close button, also when the dialog was opened from the keyboard while
    // the main window itself held the focus.
    if (HWND close = GetDlgItem(dialog, IDCLOSE)) SetFocus(close);
}

std::vector<TASKDIALOG_BUTTON> TaskDialogButtonRow(const TaskDialogPage& page) {
    std::vector<TASKDIALOG_BUTTON> row = page.buttons;
    row.push_back({IDCLOSE, kCloseButtonText});
    return row;
}

TASKDIALOGCONFIG TaskDialogConfig(HWND owner, const TaskDialogPage& page, const std::vector<TASKDIALOG_BUTTON>& row) {
    TASKDIALOGCONFIG config{};
    config.cbSize = sizeof config;
    config.hwndParent = owner;
    config.dwFlags = page.flags | TDF_ALLOW_DIALOG_CANCELLATION;
    config.cButtons = static_cast<UINT>(row.size());
    config.pButtons = row.data();
    config.nDefaultButton = page.defaultButton;
    config.cxWidth = page.widthDialogUnits;
    config.pszWindowTitle = page.title;
    config.pszMainIcon = page.icon;
    config.pszMainInstruction = page.instruction;
    config.pszContent = page.content;
    config.pfCallback = PageEvents;
    config.lpCallbackData = reinterpret_cast<LONG_PTR>(&page);
    return config;
}

bool ShowTaskDialogPage(HWND owner, TaskDialogIndirectFunction taskDialog, const TaskDialogPage& page) {
    if (!taskDialog) return false;
    const std::vector<TASKDIALOG_BUTTON> row = TaskDialogButtonRow(page);
    const TASKDIALOGCONFIG config = TaskDialogConfig(owner, page, row);
    int pressed = 0;
    return SUCCEEDED(taskDialog(&config, &pressed, nullptr, nullptr));
}
