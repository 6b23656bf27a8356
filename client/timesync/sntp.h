// One SNTP exchange (NTP version 4, client mode) with one named server over UDP.
//
// SntpQuery yields the offset of the server clock against the local wall clock and the round-trip
// delay, both in microseconds. It never changes the system clock. The packet building, the reply
// checks and the arithmetic are pure functions below, so the rules can be exercised without sockets.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

struct SntpSample {
    int64_t offsetUs = 0;  // server clock minus local clock
    int64_t delayUs = 0;   // round trip, never negative
    bool ok = false;       // the other two are meaningful only when true
};

// One request per resolved address of `host` (in resolver order) until one yields a valid reply.
// `timeoutMs` is clamped to 80…1000 ms and used as the socket send and receive time-out. Programs pass
// NtpPort(); tests aim it at loopback responders. Callable from any thread.
SntpSample SntpQuery(const std::string& host, uint32_t timeoutMs, uint16_t port);

// ---- pure parts ---------------------------------------------------------------------------------

constexpr size_t kNtpPacketSize = 48;
using NtpPacket = std::array<uint8_t, kNtpPacketSize>;

// Seconds between 1900-01-01 (NTP epoch) and 1970-01-01.
constexpr int64_t kNtpUnixEpochDelta = 2208988800LL;

// Smallest and largest accepted measured delay of one exchange.
constexpr int64_t kSntpMinDelayUs = -2000;
constexpr int64_t kSntpMaxDelayUs = 2000000;

// The socket time-out actually used for a requested one (80…1000 ms).
uint32_t ClampSntpTimeout(uint32_t timeoutMs);

// The 48-byte client request carrying `t1Us` (µs since 1970) as its transmit timestamp.
NtpPacket BuildSntpRequest(int64_t t1Us);

// Writes `unixUs` as an 8-byte big-endian NTP timestamp (seconds truncated to 32 bits).
void WriteNtpTimestamp(uint8_t* out, int64_t unixUs);

// Reads an 8-byte NTP timestamp as µs since 1970 (to the nearest µs); nothing when its seconds lie
// before 1970.
std::optional<int64_t> ReadNtpTimestamp(const uint8_t* bytes);

// Offset and delay from the four timestamps (µs since 1970); not ok when the delay lies outside
// kSntpMinDelayUs…kSntpMaxDelayUs. The offset truncates toward zero; a negative delay reports as 0.
SntpSample SntpFromTimestamps(int64_t t1Us, int64_t t2Us, int64_t t3Us, int64_t t4Us);

// Checks a reply against the request that was sent and computes the sample. `length` is the number
// of bytes received (a short or failed receive is not ok). Rejects leap indicator 3, modes other than
// 4 and 5, stratum outside 1…15, an originate timestamp that does not echo the request's transmit
// timestamp, unusable or reversed receive/transmit timestamps and an implausible delay.
SntpSample EvaluateSntpReply(const NtpPacket& request, const uint8_t* reply, size_t length, int64_t t1Us,
                             int64_t t4Us);

struct addrinfo;
// The exchange loop of SntpQuery over an already resolved address list (one request per address, in
// list order, until one yields a valid sample). `timeoutMs` is used as given.
SntpSample SntpQueryResolved(const addrinfo* addresses, uint32_t timeoutMs);

// SntpQuery with the outcome of the one-time network start-up given explicitly: when it failed, the
// query fails at once without touching the network. SntpQuery passes the real outcome.
SntpSample SntpQueryWithStartup(bool networkStarted, const std::string& host, uint32_t timeoutMs, uint16_t port);
