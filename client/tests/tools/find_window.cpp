// find-window CLASS [SECONDS]: waits up to SECONDS (default 10) for a visible top-level window of the
// window class CLASS and prints one line, in UTF-8: "LEFT TOP WIDTH HEIGHT TITLE". Exit code 0 when such
// a window is up, 1 when none appeared in time, 2 for a wrong command line. `make run` uses it to tell
// that the window on the display really is the client's main window.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

namespace {

HWND FindVisibleWindow(const wchar_t* windowClass) {
    HWND window = nullptr;
    while ((window = FindWindowExW(nullptr, window, windowClass, nullptr)) != nullptr) {
        if (IsWindowVisible(window) && !IsIconic(window)) return window;
    }
    return nullptr;
}

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string bytes(size > 0 ? size : 0, '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), bytes.data(), size, nullptr,
                            nullptr);
    return bytes;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2 || argc > 3 || (argc == 3 && std::wcstol(argv[2], nullptr, 10) <= 0)) {
        std::fwprintf(stderr, L"usage: find-window CLASS [SECONDS]\n");
        return 2;
    }
    const DWORD waitMs = argc == 3 ? static_cast<DWORD>(std::wcstol(argv[2], nullptr, 10)) * 1000 : 10000;
    const ULONGLONG start = GetTickCount64();
    HWND window = nullptr;
    while ((window = FindVisibleWindow(argv[1])) == nullptr) {
        if (GetTickCount64() - start >= waitMs) {
            std::fwprintf(stderr, L"find-window: no visible window of class %ls\n", argv[1]);
            return 1;
        }
        Sleep(200);
    }
    RECT rect{};
    GetWindowRect(window, &rect);
    wchar_t title[512] = {};
    GetWindowTextW(window, title, static_cast<int>(std::size(title)));
    const std::string line = std::to_string(rect.left) + " " + std::to_string(rect.top) + " " +
                             std::to_string(rect.right - rect.left) + " " + std::to_string(rect.bottom - rect.top) +
                             " " + Utf8(title) + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    return 0;
}
