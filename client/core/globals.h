// Process globals beside AppState, written once at start-up on the user-interface thread.
#pragma once

#include <windows.h>

struct ProcessGlobals {
    HINSTANCE instance = nullptr;
    HICON appIcon = nullptr;  // icon resource 101, or null
    bool selfTest = false;    // the run was started with --self-test
};

ProcessGlobals& Globals();
