#include "net/service_api.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>

#include "core/config.h"
#include "core/holders.h"
#include "net/json_text.h"

const wchar_t kServiceRequestHeaders[] =
    L"Content-Type: application/json\r\n"
    L"Accept: application/json\r\n"
    L"X-Orvane-Platform: windows\r\n"
    L"X-Orvane-Version: 0.9.10\r\n"
    L"X-Orvane-Protocol: 2\r\n";

namespace {

constexpr wchar_t kUserAgent[] = L"Orvane-Windows/0.9.10";

constexpr wchar_t kBrokenAnswerText[] = L"与服务的连接中断，回答不完整，请稍后重试";
constexpr wchar_t kRedirectRefusedText[] = L"服务地址返回了跳转，已停止请求";

// WinHTTP's errors of the TLS handshake and of the server's certificate: the service answered, but this
// machine does not trust it (a local development service whose certificate authority is not yet
// trusted, a proxy that re-signs traffic) or they share no cipher. "Not running" would send the person
// looking in the wrong place.
bool IsSecureConnectionError(DWORD error) {
    switch (error) {
        case ERROR_WINHTTP_SECURE_FAILURE:
        case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
        case ERROR_WINHTTP_SECURE_INVALID_CA:
        case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
        case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
        case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
        case ERROR_WINHTTP_SECURE_CERT_REVOKED:
        case ERROR_WINHTTP_SECURE_INVALID_CERT:
        case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE: return true;
        default: return false;
    }
}

ApiResponse& BrokenAnswer(ApiResponse& response) {
    response.body.clear();
    response.httpStatus = 0;
    response.errorText = kBrokenAnswerText;
    response.fault = TransportFault::BrokenAnswer;
    return response;
}

}  // namespace

bool IsRedirectStatus(uint32_t httpStatus) { return httpStatus >= 300 && httpStatus <= 399; }

uint32_t ClampServiceTimeout(uint32_t timeoutMs) { return std::clamp<uint32_t>(timeoutMs, 300, 15000); }

ApiResponse PostServiceActionTo(const std::wstring& endpoint, const std::string& action,
                                const std::string& bodyJson, const std::string& bearerToken,
                                uint32_t timeoutMs) {
    ApiResponse response;
    const std::wstring url = endpoint + L"?action=" + Utf8ToUtf16(action);

    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwSchemeLength = static_cast<DWORD>(-1);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts) || parts.dwHostNameLength == 0) {
        response.errorText = L"服务地址配置有误";
        response.fault = TransportFault::BadAddress;
        return response;
    }
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring objectName(parts.lpszUrlPath ? parts.lpszUrlPath : L"", parts.dwUrlPathLength);
    if (parts.lpszExtraInfo) objectName.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;

    ScopedInternet session(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                       WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) {
        response.errorText = L"无法启动网络功能";
        response.fault = TransportFault::Unreachable;
        return response;
    }
    const int timeout = static_cast<int>(ClampServiceTimeout(timeoutMs));
    WinHttpSetTimeouts(session.get(), timeout, timeout, timeout, timeout);

    ScopedInternet connection(WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0));
    if (!connection) {
        response.errorText = L"无法发送网络请求";
        response.fault = TransportFault::Unreachable;
        return response;
    }
    ScopedInternet request(WinHttpOpenRequest(connection.get(), L"POST", objectName.c_str(), nullptr,
                                              WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                              secure ? WINHTTP_FLAG_SECURE : 0));
    if (!request) {
        response.errorText = L"无法发送网络请求";
        response.fault = TransportFault::Unreachable;
        return response;
    }

    // A redirect would carry the bearer token to wherever the answer points: never follow one. (Both
    // switches, as WinHTTP implementations differ in which one they honour.)
    DWORD redirectPolicy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    WinHttpSetOption(request.get(), WINHTTP_OPTION_REDIRECT_POLICY, &redirectPolicy, sizeof redirectPolicy);
    DWORD disabledFeatures = WINHTTP_DISABLE_REDIRECTS;
    WinHttpSetOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &disabledFeatures, sizeof disabledFeatures);

    // The wait for the response headers has a time-out of its own (90 s by default, and under some
    // WinHTTP implementations the receive time-out above does not cover it): bound it the same way.
    DWORD responseTimeout = static_cast<DWORD>(timeout);
    WinHttpSetOption(request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeout,
                     sizeof responseTimeout);

    std::wstring headers = kServiceRequestHeaders;
    if (!bearerToken.empty()) headers += L"Authorization: Bearer " + Utf8ToUtf16(bearerToken) + L"\r\n";

    const DWORD bodyLength = static_cast<DWORD>(bodyJson.size());
    LPVOID bodyData = bodyJson.empty() ? WINHTTP_NO_REQUEST_DATA : const_cast<char*>(bodyJson.data());
    if (!WinHttpSendRequest(request.get(), headers.c_str(), static_cast<DWORD>(-1L), bodyData, bodyLength,
                            bodyLength, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr)) {
        response.errorText = IsSecureConnectionError(GetLastError()) ? kSecureConnectionFailedText
                                                                     : L"无法连接服务，请确认本机服务已经启动";
        response.fault = TransportFault::Unreachable;
        return response;
    }

    DWORD status = 0;
    DWORD statusSize = sizeof status;
    if (WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX))
        response.httpStatus = status;
    if (IsRedirectStatus(response.httpStatus)) {
        response.httpStatus = 0;
        response.errorText = kRedirectRefusedText;
        response.fault = TransportFault::Redirect;
        return response;
    }

    // The body counts only when it arrived whole: a read that fails, or fewer bytes than the announced
    // length, is a broken connection, not an answer.
    DWORD available = 0;
    for (;;) {
        if (!WinHttpQueryDataAvailable(request.get(), &available)) return BrokenAnswer(response);
        if (available == 0) break;
        const size_t start = response.body.size();
        response.body.resize(start + available);
        DWORD read = 0;
        if (!WinHttpReadData(request.get(), response.body.data() + start, available, &read))
            return BrokenAnswer(response);
        response.body.resize(start + read);
    }
    DWORD announced = 0;
    DWORD announcedSize = sizeof announced;
    if (WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &announced, &announcedSize, WINHTTP_NO_HEADER_INDEX) &&
        response.body.size() < announced)
        return BrokenAnswer(response);
    response.received = true;
    return response;
}

ApiResponse PostServiceAction(const std::string& action, const std::string& bodyJson,
                              const std::string& bearerToken, uint32_t timeoutMs) {
    return PostServiceActionTo(ServiceEndpoint(), action, bodyJson, bearerToken, timeoutMs);
}

bool EvaluateApiResponse(const ApiResponse& response, std::wstring& message) {
    if (!response.received) {
        message = response.errorText;
        return false;
    }
    if (response.httpStatus >= 200 && response.httpStatus <= 299 && JsonGetBool(response.body, "ok", false))
        return true;
    std::string text = JsonGetString(response.body, "message");
    if (!text.empty()) {
        message = Utf8ToUtf16(text);
    } else {
        message = L"服务请求失败（错误码 " + std::to_wstring(response.httpStatus) + L"）";
    }
    return false;
}

AnswerVerdict JudgeServiceAnswer(const ApiResponse& response) {
    if (!response.received) {
        // A wrong address or a redirect stays wrong however often it is asked; the rest is the way.
        return response.fault == TransportFault::BadAddress || response.fault == TransportFault::Redirect
                   ? AnswerVerdict::Refused
                   : AnswerVerdict::NotYet;
    }
    const uint32_t status = response.httpStatus;
    if (status >= 500 || status == 429 || status == 408) return AnswerVerdict::NotYet;
    if (status >= 400) return AnswerVerdict::Refused;
    if (status >= 200 && status <= 299) {
        // A proxy's page or a cut chunked answer has no "ok" of the service's: not an answer yet.
        if (!JsonFindValue(response.body, "ok").found) return AnswerVerdict::NotYet;
        return JsonGetBool(response.body, "ok", false) ? AnswerVerdict::Accepted : AnswerVerdict::Refused;
    }
    // No status, or one the service never sends (1xx): something between us and it.
    return AnswerVerdict::NotYet;
}

uint32_t RetryPauseMs(int failedAttempts) {
    constexpr uint32_t kFirstPauseMs = 300, kLongestPauseMs = 3000;
    if (failedAttempts <= 1) return kFirstPauseMs;
    if (failedAttempts >= 5) return kLongestPauseMs;  // 300 · 2^4 is past the cap already
    return std::min<uint32_t>(kFirstPauseMs << (failedAttempts - 1), kLongestPauseMs);
}

std::wstring RetryingDetail(int failedAttempts, const std::wstring& lastMessage) {
    std::wstring text = L"网络连接不稳定，正在重试（已重试 " + std::to_wstring(failedAttempts) + L" 次）";
    if (!lastMessage.empty()) text += L"：" + lastMessage;
    return text;
}
