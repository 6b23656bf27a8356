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

// What the kernel knows about the quality of the system clock.
struct SystemClockQuality {
  bool synchronised = false;     // an NTP daemon disciplines the clock
  double estimated_error_ms = 0;  // kernel's estimated error when synchronised
};
SystemClockQuality QuerySystemClockQuality();

}  // namespace orvane
