// The SNTP packet, the reply checks and the arithmetic: the pure parts of timesync/sntp.h. No sockets
// here, so the rules build and run anywhere.
#include "timesync/sntp.h"

#include <algorithm>
#include <cstring>

namespace {

void PutBigEndian32(uint8_t* out, uint32_t value) {
    out[0] = static_cast<uint8_t>(value >> 24);
    out[1] = static_cast<uint8_t>(value >> 16);
    out[2] = static_cast<uint8_t>(value >> 8);
    out[3] = static_cast<uint8_t>(value);
}

uint32_t GetBigEndian32(const uint8_t* in) {
    return (static_cast<uint32_t>(in[0]) << 24) | (static_cast<uint32_t>(in[1]) << 16) |
           (static_cast<uint32_t>(in[2]) << 8) | static_cast<uint32_t>(in[3]);
}

}  // namespace

uint32_t ClampSntpTimeout(uint32_t timeoutMs) { return std::clamp<uint32_t>(timeoutMs, 80, 1000); }

void WriteNtpTimestamp(uint8_t* out, int64_t unixUs) {
    // Floor division, so that a moment before 1970 still gives a fraction in 0…999999.
    int64_t seconds = unixUs / 1000000;
    int64_t micros = unixUs % 1000000;
    if (micros < 0) {
        micros += 1000000;
        seconds -= 1;
    }
    const uint32_t ntpSeconds = static_cast<uint32_t>(static_cast<uint64_t>(seconds + kNtpUnixEpochDelta));
    const uint32_t fraction = static_cast<uint32_t>((static_cast<uint64_t>(micros) << 32) / 1000000);
    PutBigEndian32(out, ntpSeconds);
    PutBigEndian32(out + 4, fraction);
}

std::optional<int64_t> ReadNtpTimestamp(const uint8_t* bytes) {
    const uint32_t seconds = GetBigEndian32(bytes);
    const uint32_t fraction = GetBigEndian32(bytes + 4);
    if (seconds < static_cast<uint64_t>(kNtpUnixEpochDelta)) return std::nullopt;
    // To the nearest microsecond: a writer that rounds (the service) or truncates (WriteNtpTimestamp)
    // then reads back the very microsecond it wrote. Truncating here lost one now and then.
    return (static_cast<int64_t>(seconds) - kNtpUnixEpochDelta) * 1000000 +
           static_cast<int64_t>((static_cast<uint64_t>(fraction) * 1000000 + (uint64_t{1} << 31)) >> 32);
}

NtpPacket BuildSntpRequest(int64_t t1Us) {
    NtpPacket packet{};
    packet[0] = 0x23;  // leap indicator 0, version 4, mode 3 (client)
    WriteNtpTimestamp(packet.data() + 40, t1Us);
    return packet;
}

SntpSample SntpFromTimestamps(int64_t t1Us, int64_t t2Us, int64_t t3Us, int64_t t4Us) {
    SntpSample sample;
    const int64_t delay = (t4Us - t1Us) - (t3Us - t2Us);
    if (delay < kSntpMinDelayUs || delay > kSntpMaxDelayUs) return sample;
    sample.offsetUs = ((t2Us - t1Us) + (t3Us - t4Us)) / 2;  // C++ division truncates toward zero
    sample.delayUs = std::max<int64_t>(delay, 0);
    sample.ok = true;
    return sample;
}

SntpSample EvaluateSntpReply(const NtpPacket& request, const uint8_t* reply, size_t length, int64_t t1Us,
                             int64_t t4Us) {
    if (reply == nullptr || length < kNtpPacketSize) return {};
    const unsigned leap = reply[0] >> 6;
    const unsigned mode = reply[0] & 0x07;
    const unsigned stratum = reply[1];
    if (leap == 3) return {};
    if (mode != 4 && mode != 5) return {};
    if (stratum < 1 || stratum > 15) return {};
    if (std::memcmp(reply + 24, request.data() + 40, 8) != 0) return {};
    const std::optional<int64_t> t2 = ReadNtpTimestamp(reply + 32);
    const std::optional<int64_t> t3 = ReadNtpTimestamp(reply + 40);
    if (!t2 || !t3 || *t3 < *t2) return {};
    return SntpFromTimestamps(t1Us, *t2, *t3, t4Us);
}
