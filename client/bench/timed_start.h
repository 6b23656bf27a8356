// Starting a program for a timing. The counter is read just before the process is created, so a
// figure covers everything the platform does to start it.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>

#include "core/holders.h"

class TimedStart {
public:
    TimedStart(const std::filesystem::path& program, const std::wstring& arguments) {
        std::wstring commandLine = L"\"" + program.wstring() + L"\"";
        if (!arguments.empty()) commandLine += L" " + arguments;
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION created{};
        QueryPerformanceFrequency(&frequency_);
        QueryPerformanceCounter(&begin_);
        if (CreateProcessW(program.wstring().c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                           &startup, &created)) {
            process_.reset(created.hProcess);
            ScopedHandle thread(created.hThread);
        }
    }

    bool started() const { return process_.get() != nullptr; }
    HANDLE process() const { return process_.get(); }
    // Milliseconds since just before the process was created.
    double ElapsedMs() const {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        return 1000.0 * static_cast<double>(now.QuadPart - begin_.QuadPart) / static_cast<double>(frequency_.QuadPart);
    }

private:
    LARGE_INTEGER frequency_{}, begin_{};
    ScopedHandle process_;
};
