// Overwrites secrets (password copies, request bodies that carry them) with zeros in a way the
// compiler may not remove, then empties the container.
#pragma once

#include <windows.h>

#include <string>

inline void SecureWipe(std::string& text) {
    if (!text.empty()) SecureZeroMemory(text.data(), text.size());
    text.clear();
}

inline void SecureWipe(std::wstring& text) {
    if (!text.empty()) SecureZeroMemory(text.data(), text.size() * sizeof(wchar_t));
    text.clear();
}

// Wipes the secret when the scope ends, on every path.
template <typename Text>
class WipeOnExit {
public:
    explicit WipeOnExit(Text& text) : text_(text) {}
    ~WipeOnExit() { SecureWipe(text_); }
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;

private:
    Text& text_;
};
