// The one door to the service: an HTTPS POST of a JSON body to the Service API endpoint.
#pragma once

#include <cstdint>
#include <string>

// Why nothing usable was received.
enum class TransportFault {
    None,          // an answer arrived (any status)
    BadAddress,    // the configured service address cannot be used
    Unreachable,   // no network, name lookup, refused or dropped connection, TLS failure, time-out
    BrokenAnswer,  // the connection broke while the answer was being read
    Redirect,      // the answer pointed elsewhere; never followed
};

// What a request that could not set up its secure connection says (the service's certificate is not
// trusted here, or cannot be checked).
inline constexpr wchar_t kSecureConnectionFailedText[] =
    L"无法与服务建立安全连接：本机不信任服务的证书，或证书无法验证";

struct ApiResponse {
    bool received = false;     // a response (any status) was received
    uint32_t httpStatus = 0;   // 0 when nothing was received or the status was unavailable
    std::string body;          // UTF-8, complete
    std::wstring errorText;    // set only when received is false
    TransportFault fault = TransportFault::None;  // set only when received is false
};

// The fixed request headers sent with every call (134 characters).
extern const wchar_t kServiceRequestHeaders[];

// Posts `bodyJson` to "<endpoint>?action=<action>". The time-out is clamped to 300…15000 ms and used
// for name resolution, connect, send and receive alike. Blocks; call it on worker threads only.
ApiResponse PostServiceActionTo(const std::wstring& endpoint, const std::string& action,
                                const std::string& bodyJson, const std::string& bearerToken,
                                uint32_t timeoutMs);

// The same against the configured service endpoint.
ApiResponse PostServiceAction(const std::string& action, const std::string& bodyJson,
                              const std::string& bearerToken, uint32_t timeoutMs);

// True for an HTTP 2xx answer whose "ok" is true. Otherwise writes the user-facing message: the
// transport error, the service's own "message", or "服务请求失败（错误码 N）".
bool EvaluateApiResponse(const ApiResponse& response, std::wstring& message);

// A redirect answer (3xx) is never followed: the transport treats it as an error (received false).
bool IsRedirectStatus(uint32_t httpStatus);

// The time-out actually used for a requested one.
uint32_t ClampServiceTimeout(uint32_t timeoutMs);

// What an answer means for a request that may be sent again.
enum class AnswerVerdict {
    Accepted,  // 2xx with "ok" true
    NotYet,    // the way there failed, not the request: time-out, refused or dropped connection, a cut
               // answer, 5xx, 429, or a 2xx that is not the service's own answer (no "ok" member)
    Refused,   // the service said no (4xx, or "ok" false), or the address itself is wrong
};
AnswerVerdict JudgeServiceAnswer(const ApiResponse& response);

// The pause before attempt `failedAttempts` + 1 of a request that keeps failing on the way: 300 ms,
// doubling with each failure, never more than the 3 s rhythm of the claim polling.
uint32_t RetryPauseMs(int failedAttempts);

// The detail line while a request is sent again after `failedAttempts` failures on the way: says that
// the connection is being retried, how often it has been, and the last failure's own words.
std::wstring RetryingDetail(int failedAttempts, const std::wstring& lastMessage);
