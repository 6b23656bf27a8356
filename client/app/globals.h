// Process globals beside AppState, written only on the user-interface thread.
#pragma once

#include <windows.h>

struct ProcessGlobals {
    HINSTANCE instance = nullptr;
    ULONG_PTR gdiplusToken = 0;
    HICON appIcon = nullptr;       // icon resource 101, or null
    bool selfTest = false;         // the run was started with --self-test
    HBRUSH editBrush = nullptr;    // behind the edit controls
    bool programmaticEdit = false; // set while the program itself writes into a time field
};

ProcessGlobals& Globals();

// Sets the programmatic-edit guard for one scope, so the resulting change notifications are not
// taken as user input.
class ProgrammaticEdit {
public:
    ProgrammaticEdit() : previous_(Globals().programmaticEdit) { Globals().programmaticEdit = true; }
    ~ProgrammaticEdit() { Globals().programmaticEdit = previous_; }
    ProgrammaticEdit(const ProgrammaticEdit&) = delete;
    ProgrammaticEdit& operator=(const ProgrammaticEdit&) = delete;

private:
    bool previous_;
};
