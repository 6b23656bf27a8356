// SNTP responder (NTP v4 server replies over UDP) answering from the service's SNTP clock.
#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "clock.h"

namespace orvane {

constexpr int64_t kNtpUnixEpochDelta = 2208988800LL;

// 64-bit NTP timestamp (seconds since 1900, 2^-32 fractions), big-endian, from Unix microseconds.
void WriteNtpTimestamp(uint8_t *out, int64_t unix_us);
int64_t ReadNtpTimestamp(const uint8_t *in);

// Test-mode alterations of the next replies.
struct SntpFault {
  bool drop = false;              // no reply at all
  int64_t delay_ms = 0;           // wait before replying
  std::optional<int> leap;        // leap indicator 0..3
  std::optional<int> stratum;     // 0..255
  std::optional<int> mode;        // 0..7
  bool bad_originate = false;     // originate timestamp does not echo the request
  bool reversed = false;          // transmit timestamp earlier than receive timestamp
  bool zero_timestamps = false;   // receive and transmit timestamps all zero
};

struct SntpReplyInput {
  int64_t receive_us = 0;   // T2, Unix microseconds on the SNTP clock
  int64_t transmit_us = 0;  // T3
  int stratum = 2;
  ClockClaim claim;         // unsynchronised: leap indicator 3, stratum 16; the root dispersion
  SntpFault fault;
};

// The root dispersion field (16.16 fixed-point seconds) for an uncertainty in ms, rounded up so that
// the field never claims less than the uncertainty; saturates at the field's limit.
uint32_t RootDispersionField(double uncertainty_ms);

// Builds the 48-byte server reply to a client request. Nothing for packets that are shorter than
// 48 bytes or are not client-mode (3) requests.
std::optional<std::array<uint8_t, 48>> BuildSntpReply(const uint8_t *request, size_t length,
                                                      const SntpReplyInput &input);

class SntpResponder {
 public:
  using FaultSource = std::function<std::optional<SntpFault>()>;
  using ClaimSource = std::function<ClockClaim()>;
  SntpResponder(const ServiceClock &clock, int stratum, FaultSource faults, ClaimSource claims)
      : clock_(clock), stratum_(stratum), faults_(std::move(faults)), claims_(std::move(claims)) {}
  ~SntpResponder() { Stop(); }

  // Binds the UDP address (port 0 picks one) and starts answering. Throws on failure.
  void Start(const std::string &host, int port);
  void Stop();
  int Port() const { return port_; }
  uint64_t Answered() const { return answered_.load(); }

 private:
  void Run();
  const ServiceClock &clock_;
  int stratum_;
  FaultSource faults_;
  ClaimSource claims_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> answered_{0};
  std::thread thread_;
};

}  // namespace orvane
