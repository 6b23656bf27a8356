// The countdown overlay: a topmost, click-through badge that shows the time left before the click.
#pragma once

#include <windows.h>

// Creates the hidden overlay window (class "OrvaneCountdownOverlay"); null on failure.
HWND CreateCountdownWindow(HINSTANCE instance);

LRESULT CALLBACK CountdownWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
