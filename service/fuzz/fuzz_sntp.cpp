// Fuzz target: the SNTP responder's handling of one received packet. A reply is given exactly to
// 48-byte-or-longer client-mode requests, echoes the client's transmit timestamp as its originate
// timestamp, and its own timestamps read back as the times they were written from.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sntp.h"

namespace {

void Check(bool ok, const char *what) {
  if (!ok) {
    std::fprintf(stderr, "fuzz_sntp: %s\n", what);
    std::abort();
  }
}

int64_t Int64At(const uint8_t *p) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | p[i];
  return static_cast<int64_t>(v);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // Times taken from the input's tail when there is one, within the era the service lives in.
  orvane::SntpReplyInput in;
  int64_t base = size >= 56 ? Int64At(data + size - 8) : 0;
  // (Until 2033: the NTP era turns in 2036, and this side reads era 0 only.)
  in.receive_us = 1700000000000000LL + static_cast<int64_t>(static_cast<uint64_t>(base) % 300000000000000ULL);
  in.transmit_us = in.receive_us + (base >> 54 & 0xFF);
  in.claim.synchronised = size > 0 && (data[size - 1] & 1);
  in.claim.uncertainty_ms = size > 1 ? data[size - 2] * 3.7 : 0;
  auto reply = orvane::BuildSntpReply(data, size, in);
  bool expected = size >= 48 && (data[0] & 7) == 3;
  Check(reply.has_value() == expected, "a reply exactly to client-mode requests of 48 bytes or more");
  if (!reply) return 0;
  const uint8_t *r = reply->data();
  Check((r[0] & 7) == 4, "server mode");
  Check(std::memcmp(r + 24, data + 40, 8) == 0, "originate timestamp echoes the request's transmit timestamp");
  // NTP timestamps round trip to the microsecond.
  Check(orvane::ReadNtpTimestamp(r + 32) == in.receive_us, "receive timestamp reads back");
  Check(orvane::ReadNtpTimestamp(r + 40) == in.transmit_us, "transmit timestamp reads back");
  Check(in.claim.synchronised ? r[1] != 16 : r[1] == 16, "an unsynchronised clock says stratum 16");
  return 0;
}
