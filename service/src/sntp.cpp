#include "sntp.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "log.h"

namespace orvane {

void WriteNtpTimestamp(uint8_t *out, int64_t unix_us) {
  int64_t secs = ServiceClock::FloorDiv(unix_us, 1000000);
  int64_t rem_us = unix_us - secs * 1000000;
  uint32_t s = static_cast<uint32_t>(secs + kNtpUnixEpochDelta);
  // Both directions round to the nearest unit, so that a time written and read back is the same
  // microsecond (truncating both lost one now and then).
  uint32_t f = static_cast<uint32_t>(((static_cast<uint64_t>(rem_us) << 32) + 500000) / 1000000);
  for (int i = 0; i < 4; ++i) {
    out[i] = static_cast<uint8_t>(s >> (24 - 8 * i));
    out[4 + i] = static_cast<uint8_t>(f >> (24 - 8 * i));
  }
}

int64_t ReadNtpTimestamp(const uint8_t *in) {
  uint32_t s = 0, f = 0;
  for (int i = 0; i < 4; ++i) {
    s = (s << 8) | in[i];
    f = (f << 8) | in[4 + i];
  }
  return (static_cast<int64_t>(s) - kNtpUnixEpochDelta) * 1000000 +
         static_cast<int64_t>((static_cast<uint64_t>(f) * 1000000 + (uint64_t{1} << 31)) >> 32);
}

uint32_t RootDispersionField(double uncertainty_ms) {
  if (!(uncertainty_ms > 0)) return 0;
  double units = std::ceil(uncertainty_ms / 1000.0 * 65536.0);
  if (units >= 4294967295.0) return 0xFFFFFFFFu;
  return static_cast<uint32_t>(units);
}

std::optional<std::array<uint8_t, 48>> BuildSntpReply(const uint8_t *request, size_t length,
                                                      const SntpReplyInput &input) {
  if (length < 48) return std::nullopt;
  int mode = request[0] & 7;
  if (mode != 3) return std::nullopt;
  int version = (request[0] >> 3) & 7;
  if (version < 1 || version > 4) version = 4;
  const SntpFault &fx = input.fault;
  std::array<uint8_t, 48> r{};
  // A clock nobody disciplines is announced as such (leap indicator 3, stratum 16), as NTP servers
  // do, so that NTP clients pass it over; its root dispersion still says how far it may be off.
  const bool synchronised = input.claim.synchronised;
  int leap = fx.leap.value_or(synchronised ? 0 : 3) & 3;
  int out_mode = fx.mode.value_or(4) & 7;
  r[0] = static_cast<uint8_t>((leap << 6) | (version << 3) | out_mode);
  r[1] = static_cast<uint8_t>(fx.stratum.value_or(synchronised ? input.stratum : 16));
  r[2] = request[2];                       // poll: echo the client's
  r[3] = static_cast<uint8_t>(-20);        // precision about one microsecond
  // root delay 0 (the service is its own reference); root dispersion: the claimed uncertainty
  uint32_t dispersion = RootDispersionField(input.claim.uncertainty_ms);
  for (int i = 0; i < 4; ++i) r[8 + i] = static_cast<uint8_t>(dispersion >> (24 - 8 * i));
  std::memcpy(&r[12], synchronised ? "LOCL" : "INIT", 4);  // reference id
  WriteNtpTimestamp(&r[16], input.receive_us - input.receive_us % 1000000);  // reference time
  std::memcpy(&r[24], &request[40], 8);    // originate = client's transmit timestamp
  if (fx.bad_originate) r[31] ^= 0x5A;
  if (!fx.zero_timestamps) {
    int64_t t2 = input.receive_us, t3 = input.transmit_us;
    if (fx.reversed) std::swap(t2, t3), t2 += 1000;
    WriteNtpTimestamp(&r[32], t2);
    WriteNtpTimestamp(&r[40], t3);
  }
  return r;
}

void SntpResponder::Start(const std::string &host, int port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo *res = nullptr;
  std::string bind_host = host == "localhost" ? "127.0.0.1" : host;
  int rc = getaddrinfo(bind_host.c_str(), std::to_string(port).c_str(), &hints, &res);
  if (rc != 0) throw std::runtime_error("SNTP address " + host + ": " + gai_strerror(rc));
  int fd = ::socket(res->ai_family, SOCK_DGRAM, 0);
  if (fd < 0 || ::bind(fd, res->ai_addr, res->ai_addrlen) != 0) {
    std::string err = std::strerror(errno);
    if (fd >= 0) ::close(fd);
    freeaddrinfo(res);
    throw std::runtime_error("cannot bind SNTP responder to " + host + ":" + std::to_string(port) +
                             ": " + err);
  }
  freeaddrinfo(res);
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  getsockname(fd, reinterpret_cast<sockaddr *>(&ss), &len);
  port_ = ntohs(ss.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port
                                         : reinterpret_cast<sockaddr_in *>(&ss)->sin_port);
  fd_ = fd;
  stop_ = false;
  thread_ = std::thread([this] { Run(); });
}

void SntpResponder::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void SntpResponder::Run() {
  uint8_t buf[512];
  while (!stop_) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    sockaddr_storage from{};
    socklen_t from_len = sizeof from;
    ssize_t n = ::recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &from_len);
    int64_t received_system_us = ServiceClock::SystemNowUs();
    if (n <= 0) continue;
    SntpReplyInput in;
    in.stratum = stratum_;
    if (claims_) in.claim = claims_();
    if (faults_) {
      if (auto f = faults_()) in.fault = *f;
    }
    if (in.fault.drop) continue;
    if (in.fault.delay_ms > 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(in.fault.delay_ms));
    in.receive_us = clock_.SntpFromSystemUs(received_system_us);
    in.transmit_us = clock_.SntpNowUs();
    auto reply = BuildSntpReply(buf, static_cast<size_t>(n), in);
    if (!reply) continue;
    if (::sendto(fd_, reply->data(), reply->size(), 0, reinterpret_cast<sockaddr *>(&from), from_len) ==
        static_cast<ssize_t>(reply->size()))
      ++answered_;
  }
}

}  // namespace orvane
