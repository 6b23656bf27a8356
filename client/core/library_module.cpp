#include "core/library_module.h"

#include <vector>

std::wstring SignatureLibraryPath() {
    // The program is long-path aware, so its own path may be longer than MAX_PATH: grow the buffer
    // rather than cut the path.
    std::vector<wchar_t> buffer(MAX_PATH);
    DWORD length = 0;
    for (;;) {
        length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return {};
        if (length < buffer.size()) break;
        if (buffer.size() >= 32768) return {};  // still cut short: no trustworthy folder
        buffer.resize(buffer.size() * 2);
    }
    std::wstring path(buffer.data(), length);
    const size_t cut = path.find_last_of(L"\\/");
    if (cut == std::wstring::npos) return {};
    path.resize(cut + 1);
    path += L"libsodium.dll";
    return IsAbsoluteWindowsPath(path) ? path : std::wstring();
}

bool IsAbsoluteWindowsPath(const std::wstring& path) {
    if (path.size() >= 3 && ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) &&
        path[1] == L':' && (path[2] == L'\\' || path[2] == L'/'))
        return true;
    return path.size() >= 3 && path[0] == L'\\' && path[1] == L'\\' && path[2] != L'\\';
}

ScopedModule LoadLibraryAt(const std::wstring& absolutePath) {
    if (!IsAbsoluteWindowsPath(absolutePath)) return ScopedModule();
    // The library's own imports come from the system folder only.
    return ScopedModule(LoadLibraryExW(absolutePath.c_str(), nullptr,
                                       LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32));
}
