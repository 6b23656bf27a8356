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

// A suffix that makes account names of this test run unique.
std::string UniqueTestSuffix();
// Accounts made with the service's admin commands; a refusal is a test failure.
bool CreateTestEmailAccount(const std::string& email, const std::string& password, int64_t credits);
bool CreateTestDeveloperAccount(const std::string& user, const std::string& password);
// The body the service received for the latest request of `action`.
std::string LastRequestBody(const std::string& action);

// The code of the latest mail in the service's outbox for `email` ("" when there is none).
std::string OutboxCode(const std::string& email);

// Aims the client at the test run's service for one test: no faults left from earlier tests, and the
// four standard-time servers at the service's own SNTP responder.
void AimClientAtTestService();
