// The main window ("BriskodeskMain"): its creation and destruction, and a procedure that routes every
// other message to the subsystem it belongs to.
#pragma once

#include <windows.h>

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
