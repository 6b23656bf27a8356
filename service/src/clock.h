// The service clock: the system wall clock plus an adjustable offset (shifted only in test mode).
// The SNTP responder has its own offset so tests can make the two disagree.
#pragma once
#include <atomic>
#include <cstdint>

namespace orvane {

class ServiceClock {
 public:
  static int64_t SystemNowUs();

  int64_t NowUs() const { return SystemNowUs() + service_offset_us_.load(); }
  int64_t NowMs() const { return FloorDiv(NowUs(), 1000); }
  int64_t SntpNowUs() const { return SystemNowUs() + sntp_offset_us_.load(); }
  // Converts a system-clock reading taken earlier into service time.
  int64_t ServiceFromSystemUs(int64_t system_us) const { return system_us + service_offset_us_.load(); }
  int64_t SntpFromSystemUs(int64_t system_us) const { return system_us + sntp_offset_us_.load(); }

  void SetServiceOffsetUs(int64_t v) { service_offset_us_ = v; }
  void SetSntpOffsetUs(int64_t v) { sntp_offset_us_ = v; }
  int64_t ServiceOffsetUs() const { return service_offset_us_.load(); }
  int64_t SntpOffsetUs() const { return sntp_offset_us_.load(); }

  static int64_t FloorDiv(int64_t a, int64_t b) {
    int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
  }

 private:
  std::atomic<int64_t> service_offset_us_{0};
  std::atomic<int64_t> sntp_offset_us_{0};
};

// What the kernel says about the system clock (adjtimex, read only).
struct KernelClockReading {
  bool readable = true;      // adjtimex answered
  int state = 0;             // its return value: TIME_OK, TIME_INS, ..., TIME_ERROR
  int status = 0;            // STA_* bits
  int64_t maxerror_us = 0;   // the kernel's maximum error
  int64_t esterror_us = 0;   // the kernel's estimated error
};
KernelClockReading ReadKernelClock();

// The kernel's bound while nobody disciplines the clock: it grows by 500 µs a second up to 16 s.
constexpr double kUnsynchronisedCeilingMs = 16000.0;
// Without discipline the service never vouches for less than a full second.
constexpr double kUnsynchronisedFloorMs = 1000.0;

// What the service claims about its clock, the same on both ways of asking it: the SNTP responder
// (leap indicator, root dispersion) and the HTTPS "time" action (source_uncertainty_ms).
struct ClockClaim {
  bool synchronised = false;  // false: SNTP answers leap indicator 3 ("clock unsynchronised")
  double uncertainty_ms = kUnsynchronisedFloorMs;
};

// The claim from a kernel reading, or from the operator's own figure (configured_ms >= 0, for a clock
// the kernel does not know to be good). Synchronised: the kernel's maximum error (at least 1 µs).
// Unsynchronised (STA_UNSYNC, TIME_ERROR, or no reading): the maximum error, but within 1 s … 16 s.
ClockClaim AssessClock(const KernelClockReading &kernel, double configured_ms);

}  // namespace orvane
