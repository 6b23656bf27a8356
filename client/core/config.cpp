#include "core/config.h"

#include <mutex>

#include "build_config.h"

namespace {

struct Config {
    std::mutex lock;
    std::wstring endpoint = ORVANE_SERVICE_ENDPOINT_W;
    std::array<std::string, 4> ntpHosts = ORVANE_NTP_SERVERS_INIT;
    uint16_t ntpPort = ORVANE_NTP_PORT_VALUE;
};

Config& TheConfig() {
    // Read by workers that may outlive the main window: never destroyed.
    static Config* const config = new Config;
    return *config;
}

}  // namespace

std::wstring ServiceEndpoint() {
    Config& c = TheConfig();
    std::lock_guard<std::mutex> guard(c.lock);
    return c.endpoint;
}

std::array<std::string, 4> NtpServerTable() {
    Config& c = TheConfig();
    std::lock_guard<std::mutex> guard(c.lock);
    return c.ntpHosts;
}

uint16_t NtpPort() {
    Config& c = TheConfig();
    std::lock_guard<std::mutex> guard(c.lock);
    return c.ntpPort;
}

void SetServiceEndpointForTesting(std::wstring endpoint) {
    Config& c = TheConfig();
    std::lock_guard<std::mutex> guard(c.lock);
    c.endpoint = std::move(endpoint);
}

void SetNtpServersForTesting(std::array<std::string, 4> hosts, uint16_t port) {
    Config& c = TheConfig();
    std::lock_guard<std::mutex> guard(c.lock);
    c.ntpHosts = std::move(hosts);
    c.ntpPort = port;
}
