// Fuzz target: the client's SNTP reply checks and timestamps (timesync/sntp.h). Three cases from each
// input: the service's own responder answers the client's request (with the faults its test mode can
// inject) and the client must read back exactly the times the service wrote, or refuse for the rule
// the fault breaks; the client's timestamp writer and reader round trip every microsecond of the era;
// and arbitrary bytes as a reply are judged as the rules say, by a reading of the rules written here.
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "fuzz_input.h"
#include "sntp.h"
#include "timesync/sntp.h"

namespace {

constexpr char kTarget[] = "fuzz_client_sntp";

void Check(bool ok, const char* what) { fuzz::Check(ok, kTarget, what); }

// The era the client reads (NTP era 0 from 1970 on): up to 2036-02-07.
constexpr int64_t kEraEndUs = ((int64_t{1} << 32) - kNtpUnixEpochDelta) * 1000000;

int64_t ClampToEra(int64_t us) { return us < 0 ? 0 : us >= kEraEndUs ? kEraEndUs - 1 : us; }

// An NTP timestamp as µs since 1970, to the nearest microsecond; nothing before 1970.
std::optional<int64_t> ReferenceTimestamp(const uint8_t* p) {
    uint64_t seconds = 0, fraction = 0;
    for (int i = 0; i < 4; ++i) {
        seconds = seconds << 8 | p[i];
        fraction = fraction << 8 | p[4 + i];
    }
    if (seconds < static_cast<uint64_t>(kNtpUnixEpochDelta)) return std::nullopt;
    const __int128 scaled = static_cast<__int128>(fraction) * 1000000;
    return static_cast<int64_t>(seconds - kNtpUnixEpochDelta) * 1000000 +
           static_cast<int64_t>((scaled + (__int128{1} << 31)) >> 32);
}

// Offset and delay as the rules define them, in 128 bits.
SntpSample ReferenceSample(int64_t t1, int64_t t2, int64_t t3, int64_t t4) {
    const __int128 delay = (__int128{t4} - t1) - (__int128{t3} - t2);
    if (delay < kSntpMinDelayUs || delay > kSntpMaxDelayUs) return {};
    const __int128 sum = (__int128{t2} - t1) + (__int128{t3} - t4);
    SntpSample s;
    s.offsetUs = static_cast<int64_t>(sum / 2);  // toward zero
    s.delayUs = static_cast<int64_t>(delay < 0 ? 0 : delay);
    s.ok = true;
    return s;
}

bool Same(const SntpSample& a, const SntpSample& b) {
    return a.ok == b.ok && (!a.ok || (a.offsetUs == b.offsetUs && a.delayUs == b.delayUs));
}

// Any reply, judged by the rules of EvaluateSntpReply's comment.
SntpSample ReferenceEvaluation(const NtpPacket& request, const uint8_t* reply, size_t length, int64_t t1, int64_t t4) {
    if (length < kNtpPacketSize) return {};
    const unsigned leap = reply[0] >> 6, mode = reply[0] & 7, stratum = reply[1];
    if (leap == 3 || (mode != 4 && mode != 5) || stratum < 1 || stratum > 15) return {};
    if (std::memcmp(reply + 24, request.data() + 40, 8) != 0) return {};
    const std::optional<int64_t> t2 = ReferenceTimestamp(reply + 32), t3 = ReferenceTimestamp(reply + 40);
    if (!t2 || !t3 || *t3 < *t2) return {};
    return ReferenceSample(t1, *t2, *t3, t4);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    // An exchange: the client sends at t1 and hears back at t4; the server's clock is off by up to
    // about 12 days and its turnaround and the path take up to a few seconds, some of them negative.
    const int64_t t1 = in.InRange(0, kEraEndUs - 1);
    const int64_t t2 = ClampToEra(t1 + in.InRange(-(int64_t{1} << 40), int64_t{1} << 40));
    const int64_t t3 = ClampToEra(t2 + in.InRange(-5000, 3000000));
    const int64_t t4 = ClampToEra(t1 + in.InRange(-5000, 5000000));
    const NtpPacket request = BuildSntpRequest(t1);

    // 1. The service's responder answers it.
    orvane::SntpReplyInput answer;
    answer.receive_us = t2;
    answer.transmit_us = t3;
    answer.stratum = in.Byte() % 17;
    const uint8_t claim = in.Byte();
    answer.claim.synchronised = claim & 1;
    answer.claim.uncertainty_ms = (claim >> 1) * 0.37;
    const uint8_t faults = in.Byte();
    const uint8_t leapFault = in.Byte(), modeFault = in.Byte(), stratumFault = in.Byte();
    if (faults & 1) answer.fault.leap = leapFault & 3;
    if (faults & 2) answer.fault.mode = modeFault & 7;
    if (faults & 4) answer.fault.stratum = stratumFault;
    answer.fault.bad_originate = faults & 8;
    answer.fault.reversed = faults & 16;
    answer.fault.zero_timestamps = (faults & 0xE0) == 0xE0;
    const auto reply = orvane::BuildSntpReply(request.data(), request.size(), answer);
    Check(reply.has_value(), "the service answers the client's request");
    {
        const int leap = answer.fault.leap.value_or(answer.claim.synchronised ? 0 : 3);
        const int mode = answer.fault.mode.value_or(4);
        const int stratum = answer.fault.stratum.value_or(answer.claim.synchronised ? answer.stratum : 16);
        int64_t r2 = t2, r3 = t3;
        if (answer.fault.reversed) std::swap(r2, r3), r2 += 1000;
        const bool usable = leap != 3 && (mode == 4 || mode == 5) && stratum >= 1 && stratum <= 15 &&
                            !answer.fault.bad_originate && !answer.fault.zero_timestamps && r3 >= r2;
        const SntpSample expected = usable ? ReferenceSample(t1, r2, r3, t4) : SntpSample{};
        const SntpSample got = EvaluateSntpReply(request, reply->data(), reply->size(), t1, t4);
        Check(Same(got, expected), "the service's reply reads back as the times it was written from");
        if (usable && !answer.fault.reversed) {
            Check(ReadNtpTimestamp(reply->data() + 32) == t2, "the service's receive timestamp reads back exactly");
            Check(ReadNtpTimestamp(reply->data() + 40) == t3, "the service's transmit timestamp reads back exactly");
        }
    }

    // 2. The client's own timestamps round trip, and any eight bytes read to the nearest microsecond.
    {
        std::array<uint8_t, 8> bytes{};
        WriteNtpTimestamp(bytes.data(), t1);
        Check(ReadNtpTimestamp(bytes.data()) == t1, "a timestamp written by the client reads back exactly");
        orvane::WriteNtpTimestamp(bytes.data(), t4);
        Check(ReadNtpTimestamp(bytes.data()) == t4, "a timestamp written by the service reads back exactly");
        Check(std::memcmp(request.data() + 40, reply->data() + 24, 8) == 0 || answer.fault.bad_originate,
              "the request's transmit timestamp comes back as the originate timestamp");
        const uint64_t raw = in.Bits64();
        for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(raw >> (56 - 8 * i));
        Check(ReadNtpTimestamp(bytes.data()) == ReferenceTimestamp(bytes.data()),
              "any timestamp reads to the nearest microsecond, none before 1970");
    }

    // 3. Arbitrary bytes as the reply (its originate field made to match when the input asks).
    {
        const bool echo = in.Byte() & 1;
        std::string bytes = in.Rest();
        if (echo && bytes.size() >= 32) std::memcpy(bytes.data() + 24, request.data() + 40, 8);
        const auto* reply = reinterpret_cast<const uint8_t*>(bytes.data());
        const SntpSample got = EvaluateSntpReply(request, reply, bytes.size(), t1, t4);
        Check(Same(got, ReferenceEvaluation(request, reply, bytes.size(), t1, t4)), "any reply is judged by the rules");
        Check(!EvaluateSntpReply(request, nullptr, bytes.size(), t1, t4).ok, "no reply is not ok");
    }
    return 0;
}
