#include "timesync/sntp.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <mutex>

#include "core/bounded_call.h"
#include "core/clock.h"
#include "core/holders.h"

namespace {

// Winsock is started once per process and never shut down.
bool NetworkStarted() {
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] {
        WSADATA data;
        started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    });
    return started;
}

// One exchange with one resolved address.
SntpSample QueryAddress(const addrinfo& address, uint32_t timeoutMs) {
    ScopedSocket sock(socket(address.ai_family, address.ai_socktype, address.ai_protocol));
    if (!sock) return {};
    const DWORD timeout = timeoutMs;
    setsockopt(sock.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    setsockopt(sock.get(), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    if (connect(sock.get(), address.ai_addr, static_cast<int>(address.ai_addrlen)) != 0) return {};

    const int64_t t1 = WallClockUs();
    const NtpPacket request = BuildSntpRequest(t1);
    if (send(sock.get(), reinterpret_cast<const char*>(request.data()), static_cast<int>(request.size()), 0) !=
        static_cast<int>(request.size()))
        return {};

    NtpPacket reply{};
    const int received = recv(sock.get(), reinterpret_cast<char*>(reply.data()), static_cast<int>(reply.size()), 0);
    const int64_t t4 = WallClockUs();
    sock.reset();
    if (received < 0) return {};
    return EvaluateSntpReply(request, reply.data(), static_cast<size_t>(received), t1, t4);
}

}  // namespace

SntpSample SntpQueryWithStartup(bool networkStarted, const std::string& host, uint32_t timeoutMs, uint16_t port) {
    if (!networkStarted) return {};
    const uint32_t timeout = ClampSntpTimeout(timeoutMs);
    // A name lookup has no time-out of its own and can hang for many seconds when the resolver is
    // unreachable; it gets the query's time-out, and a lookup that takes longer is abandoned.
    const std::string service = std::to_string(port);
    auto lookUp = [host, service](int flags) {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_DGRAM;
        hints.ai_protocol = IPPROTO_UDP;
        hints.ai_flags = flags;
        addrinfo* found = nullptr;
        if (getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0) return ScopedAddressList();
        return ScopedAddressList(found);
    };
    // An address written as digits needs no lookup at all.
    std::optional<ScopedAddressList> addresses = lookUp(AI_NUMERICHOST);
    if (!*addresses)
        addresses = CallBefore<ScopedAddressList>([lookUp] { return lookUp(0); },
                                                  MonotonicUs() + int64_t{timeout} * 1000);
    if (!addresses || !*addresses) return {};
    return SntpQueryResolved(addresses->get(), timeout);
}

SntpSample SntpQueryResolved(const addrinfo* addresses, uint32_t timeoutMs) {
    for (const addrinfo* entry = addresses; entry; entry = entry->ai_next) {
        SntpSample sample = QueryAddress(*entry, timeoutMs);
        if (sample.ok) return sample;
    }
    return {};
}

SntpSample SntpQuery(const std::string& host, uint32_t timeoutMs, uint16_t port) {
    return SntpQueryWithStartup(NetworkStarted(), host, timeoutMs, port);
}
