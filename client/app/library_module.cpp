#include "app/library_module.h"

#include <vector>

std::wstring SignatureLibraryPath() {
    // The program is long-path aware, so its own path may be longer than MAX_PATH: grow the buffer
    // rather than cut the path.
    std::vector<wchar_t> buffer(MAX_PATH);
    DWORD length = 0;
    for (;;) {
        length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length < buffer.size() || buffer.size() >= 32768) break;
        buffer.resize(buffer.size() * 2);
    }
    std::wstring path(buffer.data(), length);
    size_t cut = path.find_last_of(L"\\/");
    path = cut == std::wstring::npos ? std::wstring() : path.substr(0, cut + 1);
    return path + L"libsodium.dll";
}
