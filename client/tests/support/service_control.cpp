#include "support/service_control.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <winhttp.h>

#include "core/config.h"
#include "net/json_text.h"
#include "support/test_support.h"

namespace {

struct Handle {
    HINTERNET h = nullptr;
    ~Handle() {
        if (h) WinHttpCloseHandle(h);
    }
};

bool Succeeded(const TestHttpResult& r) {
    return r.received && r.status >= 200 && r.status < 300 && JsonGetBool(r.body, "ok", false);
}

}  // namespace

TestHttpResult TestServiceRequest(const std::string& method, const std::string& path, const std::string& body) {
    TestHttpResult result;
    const std::wstring endpoint = TestServiceEndpoint();
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    if (endpoint.empty() || !WinHttpCrackUrl(endpoint.c_str(), 0, 0, &parts)) return result;
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);

    Handle session{WinHttpOpen(L"Orvane-Tests", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                               WINHTTP_NO_PROXY_BYPASS, 0)};
    if (!session.h) return result;
    WinHttpSetTimeouts(session.h, 10000, 10000, 30000, 30000);
    Handle connection{WinHttpConnect(session.h, host.c_str(), parts.nPort, 0)};
    if (!connection.h) return result;
    const std::wstring verb = Utf8ToUtf16(method);
    const std::wstring object = Utf8ToUtf16(path);
    Handle request{WinHttpOpenRequest(connection.h, verb.c_str(), object.c_str(), nullptr, WINHTTP_NO_REFERER,
                                      WINHTTP_DEFAULT_ACCEPT_TYPES,
                                      parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0)};
    if (!request.h) return result;
    const wchar_t* headers = L"Content-Type: application/json\r\n";
    if (!WinHttpSendRequest(request.h, headers, static_cast<DWORD>(-1L),
                            body.empty() ? WINHTTP_NO_REQUEST_DATA : const_cast<char*>(body.data()),
                            static_cast<DWORD>(body.size()), static_cast<DWORD>(body.size()), 0) ||
        !WinHttpReceiveResponse(request.h, nullptr))
        return result;
    DWORD status = 0, size = sizeof status;
    WinHttpQueryHeaders(request.h, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                        &status, &size, WINHTTP_NO_HEADER_INDEX);
    result.status = status;
    DWORD available = 0;
    while (WinHttpQueryDataAvailable(request.h, &available) && available > 0) {
        const size_t start = result.body.size();
        result.body.resize(start + available);
        DWORD read = 0;
        if (!WinHttpReadData(request.h, result.body.data() + start, available, &read)) {
            result.body.resize(start);
            break;
        }
        result.body.resize(start + read);
    }
    result.received = true;
    return result;
}

bool TestServiceFault(const std::string& faultJson) {
    return Succeeded(TestServiceRequest("POST", "/__test/fault", faultJson));
}

bool TestServiceClearFaults() { return Succeeded(TestServiceRequest("POST", "/__test/clear", "{}")); }

bool TestServiceShiftClock(int64_t serviceOffsetUs, int64_t sntpOffsetUs) {
    return Succeeded(TestServiceRequest("POST", "/__test/clock",
                                        "{\"service_offset_us\":" + std::to_string(serviceOffsetUs) +
                                            ",\"sntp_offset_us\":" + std::to_string(sntpOffsetUs) + "}"));
}

bool TestServiceConfig(const std::string& configJson) {
    return Succeeded(TestServiceRequest("POST", "/__test/config", configJson));
}

bool TestServiceAdmin(const std::string& argsJson, std::string* output) {
    TestHttpResult r = TestServiceRequest("POST", "/__test/admin", "{\"args\":" + argsJson + "}");
    if (output) *output = JsonGetString(r.body, "output");
    return Succeeded(r);
}

bool TestServiceCreateAccount(const std::string& email, const std::string& password, int64_t credits,
                              std::string* output) {
    return TestServiceAdmin("[\"account-create\",\"" + JsonEscape(email) + "\",\"" + JsonEscape(password) + "\",\"" +
                                std::to_string(credits) + "\"]",
                            output);
}

bool TestServiceCreateDeveloper(const std::string& user, const std::string& password, std::string* output) {
    return TestServiceAdmin("[\"developer-create\",\"" + JsonEscape(user) + "\",\"" + JsonEscape(password) + "\"]",
                            output);
}

std::string TestServiceLastRequest(const std::string& action) {
    return TestServiceRequest("GET", "/__test/last-request?action=" + action).body;
}

std::string UniqueTestSuffix() {
    static int counter = 0;
    return std::to_string(GetCurrentProcessId()) + "x" + std::to_string(GetTickCount64() % 100000) + "x" +
           std::to_string(++counter);
}

bool CreateTestEmailAccount(const std::string& email, const std::string& password, int64_t credits) {
    std::string output;
    const bool ok = TestServiceAdmin(
        "[\"account-create\",\"" + email + "\",\"" + password + "\",\"" + std::to_string(credits) + "\"]", &output);
    if (!ok) ADD_FAILURE() << "account-create: " << output;
    return ok;
}

bool CreateTestDeveloperAccount(const std::string& user, const std::string& password) {
    std::string output;
    const bool ok = TestServiceAdmin("[\"developer-create\",\"" + user + "\",\"" + password + "\"]", &output);
    if (!ok) ADD_FAILURE() << "developer-create: " << output;
    return ok;
}

std::string LastRequestBody(const std::string& action) {
    return JsonGetString(TestServiceLastRequest(action), "body");
}

std::string OutboxCode(const std::string& email) {
    return JsonGetString(TestServiceRequest("GET", "/__test/outbox?email=" + email).body, "code");
}

void AimClientAtTestService() {
    TestServiceClearFaults();
    const std::string sntp = TestSntpHost();
    SetNtpServersForTesting({sntp, sntp, sntp, sntp}, TestSntpPort());
}
