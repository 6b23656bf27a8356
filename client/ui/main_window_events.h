// The main window's answers to paint, input, timer and worker messages; the window procedure in the
// application routes each message here.
#pragma once

#include <windows.h>

// The rectangle of the dashboard's countdown area, repainted by the 50 ms timer while a countdown runs.
constexpr RECT kCountdownArea{20, 380, 275, 551};

// The main window's timer: 50 ms.
constexpr UINT_PTR kMainTimerId = 1;
constexpr UINT kMainTimerPeriodMs = 50;

// Creates the font, the edit brush and the child controls (WM_CREATE); false when the window cannot
// work without what failed.
bool CreateMainWindowContents(HWND window);
// Frees what CreateMainWindowContents made (WM_DESTROY).
void ReleaseMainWindowContents();

void RefreshControlsAndRepaint(HWND window);

void OnMainPaint(HWND window);
void OnMainCommand(HWND window, WPARAM wParam, LPARAM lParam);
void OnMainTimer(HWND window);
LRESULT OnEditColours(WPARAM wParam);
void OnTimeAligned(HWND window);
void OnPreparationDone(HWND window);
void OnTaskStarted(HWND window);
