// A UDP SNTP responder on a loopback address, run inside the test (or benchmark) program, whose
// answers are planned by the test: a server clock shifted by a known offset, a known round trip,
// a silent server, or a crafted reply that breaks one rule.
//
// Header-only so that the benchmark programs (which do not link the test support library) can use
// it as well.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>

#include <array>
#include <atomic>
#include <memory>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "timesync/sntp.h"
#include "timesync/standard_time.h"

// A well-formed server reply to `request` (stratum 2, mode 4) with the given receive and transmit
// times (µs since 1970) and the request's transmit timestamp echoed as the originate timestamp.
inline NtpPacket StandardSntpReply(const NtpPacket& request, int64_t receiveUs, int64_t transmitUs) {
    NtpPacket reply{};
    reply[0] = 0x24;  // leap 0, version 4, mode 4
    reply[1] = 2;     // stratum
    std::copy(request.begin() + 40, request.begin() + 48, reply.begin() + 24);
    WriteNtpTimestamp(reply.data() + 32, receiveUs);
    WriteNtpTimestamp(reply.data() + 40, transmitUs);
    return reply;
}

// How a responder answers each request.
struct SntpPlan {
    bool answer = true;        // false: receive and stay silent
    int64_t offsetUs = 0;      // the server clock minus the local clock
    uint32_t holdMs = 0;       // time between receiving the request and sending the reply
    std::vector<uint32_t> holdSequence;  // when not empty: the hold of the n-th request, cycling
    // Where within the hold the server stamps its receive and transmit times (both the same):
    // 0.5 is the middle (both paths equally long, so the measured offset is the true one), 0 is on
    // receipt (the whole hold counts as the return path), 1 is just before sending.
    double stampAt = 0.5;
    // When set, builds the reply bytes instead (empty: no reply). Arguments: the request, the local
    // times of receipt and of sending (µs since 1970).
    std::function<std::vector<uint8_t>(const NtpPacket&, int64_t, int64_t)> craft;
};

class SntpResponder {
public:
    // Binds `address` (an IPv4 or IPv6 literal) on `port` (0: any free port).
    SntpResponder(const std::string& address, uint16_t port) {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_DGRAM;
        hints.ai_protocol = IPPROTO_UDP;
        hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
        addrinfo* found = nullptr;
        if (getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return;
        socket_ = socket(found->ai_family, found->ai_socktype, found->ai_protocol);
        if (socket_ != INVALID_SOCKET &&
            bind(socket_, found->ai_addr, static_cast<int>(found->ai_addrlen)) != 0) {
            closesocket(socket_);
            socket_ = INVALID_SOCKET;
        }
        freeaddrinfo(found);
        if (socket_ == INVALID_SOCKET) return;
        sockaddr_storage bound{};
        int length = sizeof bound;
        getsockname(socket_, reinterpret_cast<sockaddr*>(&bound), &length);
        port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                                  : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
        DWORD pollMs = 50;  // lets the thread notice the end
        setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&pollMs), sizeof pollMs);
        thread_ = std::thread([this] { Serve(); });
    }

    ~SntpResponder() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (socket_ != INVALID_SOCKET) closesocket(socket_);
        WSACleanup();
    }

    SntpResponder(const SntpResponder&) = delete;
    SntpResponder& operator=(const SntpResponder&) = delete;

    bool ok() const { return socket_ != INVALID_SOCKET; }
    uint16_t port() const { return port_; }
    int requests() const { return requests_; }
    void ResetCount() { requests_ = 0; }

    void SetPlan(SntpPlan plan) {
        std::lock_guard<std::mutex> guard(lock_);
        plan_ = std::move(plan);
    }

private:
    void Serve() {
        while (!stop_) {
            NtpPacket request{};
            sockaddr_storage from{};
            int fromLength = sizeof from;
            const int got = recvfrom(socket_, reinterpret_cast<char*>(request.data()), static_cast<int>(request.size()),
                                     0, reinterpret_cast<sockaddr*>(&from), &fromLength);
            const int64_t receivedUs = WallClockUs();
            if (got <= 0) continue;
            ++requests_;
            SntpPlan plan;
            {
                std::lock_guard<std::mutex> guard(lock_);
                plan = plan_;
            }
            if (!plan.answer) continue;
            const int index = requests_ - 1;
            const uint32_t hold =
                plan.holdSequence.empty() ? plan.holdMs : plan.holdSequence[index % plan.holdSequence.size()];
            if (hold > 0) Sleep(hold);
            const int64_t sendUs = WallClockUs();
            std::vector<uint8_t> bytes;
            if (plan.craft) {
                bytes = plan.craft(request, receivedUs, sendUs);
            } else {
                const int64_t stamp = receivedUs + static_cast<int64_t>(plan.stampAt * double(sendUs - receivedUs)) +
                                      plan.offsetUs;
                const NtpPacket reply = StandardSntpReply(request, stamp, stamp);
                bytes.assign(reply.begin(), reply.end());
            }
            if (bytes.empty()) continue;
            sendto(socket_, reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 0,
                   reinterpret_cast<sockaddr*>(&from), fromLength);
        }
    }

    SOCKET socket_ = INVALID_SOCKET;
    uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    std::mutex lock_;
    SntpPlan plan_;
};

// Four responders on 127.0.0.1, each on its own port (under wine two loopback addresses cannot
// share one UDP port).
class SntpResponderSet {
public:
    SntpResponderSet() {
        for (int i = 0; i < 4; ++i) responders_.push_back(std::make_unique<SntpResponder>("127.0.0.1", 0));
    }
    bool ok() const {
        for (const auto& r : responders_)
            if (!r->ok()) return false;
        return true;
    }
    SntpResponder& operator[](size_t i) { return *responders_[i]; }
    std::vector<NtpServerAddress> servers() const {
        std::vector<NtpServerAddress> list;
        for (const auto& r : responders_) list.push_back({"127.0.0.1", r->port()});
        return list;
    }
    void ResetCounts() {
        for (auto& r : responders_) r->ResetCount();
    }

private:
    std::vector<std::unique_ptr<SntpResponder>> responders_;
};
