// Build-time configuration: the service endpoint and the standard-time servers.
//
// The values come from the CMake options ORVANE_SERVICE_ENDPOINT, ORVANE_NTP_SERVERS and
// ORVANE_NTP_PORT. Test programs may aim a process at loopback services with the setters; the
// program itself never calls them.
#pragma once

#include <array>
#include <cstdint>
#include <string>

constexpr wchar_t kClientVersion[] = L"0.9.10";
constexpr char kClientVersionA[] = "0.9.10";

// The absolute URL of the Service API ("https://host:port/api.php").
std::wstring ServiceEndpoint();
// The four standard-time servers, in survey order.
std::array<std::string, 4> NtpServerTable();
// The UDP port of the standard-time servers.
uint16_t NtpPort();

void SetServiceEndpointForTesting(std::wstring endpoint);
void SetNtpServersForTesting(std::array<std::string, 4> hosts, uint16_t port);
