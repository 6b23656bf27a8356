#include "clock.h"

#include <sys/timex.h>
#include <time.h>

#include <algorithm>

namespace orvane {

int64_t ServiceClock::SystemNowUs() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

KernelClockReading ReadKernelClock() {
  KernelClockReading k;
  timex tx{};
  tx.modes = 0;  // read only
  int state = adjtimex(&tx);
  if (state == -1) {
    k.readable = false;
    return k;
  }
  k.state = state;
  k.status = tx.status;
  k.maxerror_us = tx.maxerror;
  k.esterror_us = tx.esterror;
  return k;
}

ClockClaim AssessClock(const KernelClockReading &kernel, double configured_ms) {
  ClockClaim c;
  if (configured_ms >= 0) {
    c.synchronised = true;
    c.uncertainty_ms = configured_ms;
    return c;
  }
  double maxerror_ms = static_cast<double>(std::max<int64_t>(kernel.maxerror_us, 0)) / 1000.0;
  if (!kernel.readable || kernel.state == TIME_ERROR || (kernel.status & STA_UNSYNC)) {
    c.synchronised = false;
    c.uncertainty_ms = std::clamp(maxerror_ms, kUnsynchronisedFloorMs, kUnsynchronisedCeilingMs);
    return c;
  }
  c.synchronised = true;
  c.uncertainty_ms = std::max(maxerror_ms, 0.001);
  return c;
}

}  // namespace orvane
