// The one door to the service: an HTTPS POST of a JSON body to the Service API endpoint.
#pragma once

#include <cstdint>
#include <string>

struct ApiResponse {
    bool received = false;     // a response (any status) was received
    uint32_t httpStatus = 0;   // 0 when nothing was received or the status was unavailable
    std::string body;          // UTF-8, complete
    std::wstring errorText;    // set only when received is false
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
