// Talks to the test-mode endpoints of the reference service (faults, clock shifts, last request,
// admin commands) over real HTTPS with certificate validation.
#pragma once

#include <cstdint>
#include <string>

struct TestHttpResult {
    bool received = false;
    uint32_t status = 0;
    std::string body;
};

// method "GET" or "POST"; path like "/__test/fault". The host and port are those of the test endpoint.
TestHttpResult TestServiceRequest(const std::string& method, const std::string& path, const std::string& body = "");

// Convenience wrappers; each returns true when the service answered 2xx with "ok":true.
bool TestServiceFault(const std::string& faultJson);        // POST /__test/fault
bool TestServiceClearFaults();                              // POST /__test/clear
bool TestServiceShiftClock(int64_t serviceOffsetUs, int64_t sntpOffsetUs);  // POST /__test/clock
bool TestServiceConfig(const std::string& configJson);      // POST /__test/config
// POST /__test/admin {"args":[…]}; `argsJson` is the JSON array text. The output text goes to `output`.
bool TestServiceAdmin(const std::string& argsJson, std::string* output = nullptr);
// Creates an e-mail account or a developer account through the admin commands; false when the service
// refused (its answer in `output`).
bool TestServiceCreateAccount(const std::string& email, const std::string& password, int64_t credits = 0,
                              std::string* output = nullptr);
bool TestServiceCreateDeveloper(const std::string& user, const std::string& password, std::string* output = nullptr);
// GET /__test/last-request?action=A: the raw JSON answer.
std::string TestServiceLastRequest(const std::string& action);
