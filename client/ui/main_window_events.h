// The main window's answers to paint, input, timer and worker messages; the window procedure in the
// application routes each message here.
#pragma once

#include <windows.h>

#include "ui/screen_layout.h"
#include "ui/screen_state.h"

// What the 50 ms timer repaints while a countdown runs: the remaining time.
constexpr RECT kCountdownRepaintArea = layout::kCountdownTickArea;

// The main window's timer: 50 ms.
constexpr UINT_PTR kMainTimerId = 1;
constexpr UINT kMainTimerPeriodMs = 50;

// Creates the font, the edit brush and the child controls (WM_CREATE); false when the window cannot
// work without what failed.
bool CreateMainWindowContents(HWND window);
// Frees what CreateMainWindowContents made (WM_DESTROY).
void ReleaseMainWindowContents();

void RefreshControlsAndRepaint();
// MSG_STATUS_CHANGED and MSG_STATE_CHANGED: the controls and the picture follow the state (and a
// hotkey capture that the end of the session stopped gives the wake hotkey back).
void OnWorkerReport();

// The paint of the whole client area from one copy of the state (double-buffered).
void OnMainPaint(HWND window);
// What a paint draws from: the state copy, the focused window, the wall clock, the amount text.
PaintInputs GatherPaintInputs();
// Keys on the window itself (no field has the focus): a running hotkey capture takes each key first;
// otherwise Tab moves to the first or last field and Esc closes an open panel. False for keys it
// leaves to the default handling.
bool OnMainKeyDown(HWND window, WPARAM key);
void OnMainCommand(WPARAM wParam, LPARAM lParam);
// The 50 ms timer: the account refresh when it is due, the countdown while one runs.
void OnMainTimer(HWND window);
LRESULT OnEditColours(WPARAM wParam);
// The window's outer size for its scale, so that its client area is the layout at that scale; at the
// suggested place when one is given (a move to a monitor of another DPI).
void FitMainWindowToScale(HWND window, const RECT* suggested);
// WM_GETMINMAXINFO: the window may take the whole scaled layout, also where that is larger than the
// screen (a 150 % display of few pixels), rather than cut the layout's last part off.
void AllowScaledSize(HWND window, MINMAXINFO* limits);
// WM_DPICHANGED: the new scale for the layout, the fonts and the controls, and the new window size.
void OnDpiChanged(HWND window, UINT dpi, const RECT* suggested);
// After creation: the scale of the monitor the window opened on (no WM_DPICHANGED comes for that), made
// smaller where the window would not fit the monitor's work area, and the window moved wholly inside it.
void FitMainWindowToItsMonitor(HWND window);
// The colours of a disabled field (before a purpose is saved): its box as usual, its text dimmed.
LRESULT OnDisabledEditColours(WPARAM wParam);
void OnTimeAligned();
void OnPreparationDone();
void OnTaskStarted(HWND window);
// MSG_TASK_ENDED: the window stays where it is (never over the program just clicked); its taskbar
// button flashes until the person opens it.
void OnTaskEnded(HWND window);
// MSG_CLICK_COMING: the window (restored meanwhile, perhaps by the wake hotkey) goes down again, so
// that nothing of this program lies over the point at the instant.
void OnClickComing(HWND window);

// The close box, Alt+F4 and "退出" all ask the window to close. While a task waits (or its request is
// on the way) closing would lose the click the person paid for, so the person is asked first; true
// when the window may close.
bool MayCloseMainWindow();
inline constexpr wchar_t kCloseWhileTaskWaitsText[] =
    L"有一个任务正在等待一起点击。\n现在退出澄序，本机这次点击将不会发生，已扣除的积分不会退还。\n\n仍要退出吗？";
inline constexpr wchar_t kCloseWhileTaskWaitsCaption[] = L"退出澄序";
