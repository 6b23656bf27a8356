// The test suite's ordinary desktop program, target-helper.exe: a topmost window at a known place with
// a child button over its right half. Its SHA-256 was taken on the build machine by sha256sum, not by
// the client's own hashing.
#pragma once

#include <windows.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/test_support.h"

class TargetHelper {
public:
    // Starts `program` (by default the built helper) with its window at `area` and waits until the
    // window is visible. The program is ended when the object goes away. With `recordFile` the
    // helper appends a line for every press and release of the left button on its window.
    explicit TargetHelper(const RECT& area, const std::filesystem::path& program = BuiltProgram(),
                          const std::filesystem::path& recordFile = {});

    bool Ready() const { return window_ != nullptr; }
    HWND window() const { return window_; }
    DWORD processId() const { return program_->id(); }
    // A point over the window itself (left half) and one over its child button (right half).
    POINT BodyPoint() const;
    POINT ChildPoint() const;

    // The presses recorded so far: their times (µs since 1970 on the system clock).
    std::vector<int64_t> Presses() const;
    // Where they landed, in the window's client coordinates; "rdown" for the right button's.
    std::vector<POINT> PressPoints(const std::string& kind = "down") const;

    static std::filesystem::path BuiltProgram();
    // The sha256sum of the built program, 64 lower-case hex digits.
    static std::string BuiltProgramSha256();

private:
    RECT area_;
    std::filesystem::path recordFile_;
    std::unique_ptr<RunningProgram> program_;
    HWND window_ = nullptr;
};
