// The signature library, loaded by full path from the program's own folder for each use.
#pragma once

#include <windows.h>

#include <string>

// "<folder of the running executable>\libsodium.dll". No other location is ever searched.
std::wstring SignatureLibraryPath();

// Owns a loaded module and frees it on every path.
class LibraryModule {
public:
    explicit LibraryModule(const std::wstring& path) : module_(LoadLibraryW(path.c_str())) {}
    ~LibraryModule() {
        if (module_) FreeLibrary(module_);
    }
    LibraryModule(const LibraryModule&) = delete;
    LibraryModule& operator=(const LibraryModule&) = delete;

    explicit operator bool() const { return module_ != nullptr; }

    // The exported function `name` as a pointer of type T, or null.
    template <typename T>
    T Find(const char* name) const {
        return module_ ? reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module_, name))) : nullptr;
    }

private:
    HMODULE module_;
};
