// Stands in for the browser in the payment tests: the test registers it as the program that opens
// https addresses in the test prefix, so the shell starts it with the address the client asked for.
// It appends "open <address>" (or "open" alone when started without one) as a UTF-8 line to the file
// that ORVANE_URL_RECORD names, fetches an https address with a GET as a browser would (the reference
// service's payment page then completes the order), and appends "status <HTTP status>" (0 when the
// page could not be fetched). Certificates are checked as everywhere else.
#include <windows.h>
#include <winhttp.h>

#include <string>

namespace {

struct Internet {
    HINTERNET handle = nullptr;
    ~Internet() {
        if (handle) WinHttpCloseHandle(handle);
    }
};

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                         nullptr);
    std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}

void AppendLine(const std::string& line) {
    wchar_t path[1024] = {};
    const DWORD length = GetEnvironmentVariableW(L"ORVANE_URL_RECORD", path, 1024);
    if (!length || length >= 1024) return;
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    const std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

DWORD Fetch(const std::wstring& address) {
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(address.c_str(), 0, 0, &parts) || parts.nScheme != INTERNET_SCHEME_HTTPS) return 0;
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
    path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);

    Internet session{WinHttpOpen(L"Orvane-Test-Browser", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                 WINHTTP_NO_PROXY_BYPASS, 0)};
    if (!session.handle) return 0;
    WinHttpSetTimeouts(session.handle, 10000, 10000, 10000, 10000);
    Internet connection{WinHttpConnect(session.handle, host.c_str(), parts.nPort, 0)};
    if (!connection.handle) return 0;
    Internet request{WinHttpOpenRequest(connection.handle, L"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                        WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE)};
    if (!request.handle || !WinHttpSendRequest(request.handle, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                               WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.handle, nullptr))
        return 0;
    DWORD status = 0, size = sizeof status;
    WinHttpQueryHeaders(request.handle, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
    return status;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        AppendLine("open");
        return 2;
    }
    const std::wstring address = argv[1];
    AppendLine("open " + Utf8(address));
    AppendLine("status " + std::to_string(Fetch(address)));
    return 0;
}
