#include "core/web_page.h"

#include <windows.h>
#include <shellapi.h>

#include "core/holders.h"

bool OpenWebPage(const std::wstring& address) {
    // ShellExecute: it may delegate to shell extensions activated through COM, so COM is initialised first.
    ComApartment com;
    const HINSTANCE result = ShellExecuteW(nullptr, L"open", address.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    return reinterpret_cast<INT_PTR>(result) > 32;
}
