#include "clock.h"

#include <sys/timex.h>
#include <time.h>

namespace orvane {

int64_t ServiceClock::SystemNowUs() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

SystemClockQuality QuerySystemClockQuality() {
  SystemClockQuality q;
  timex tx{};
  tx.modes = 0;  // read only
  int state = adjtimex(&tx);
  if (state == -1 || state == TIME_ERROR || (tx.status & STA_UNSYNC)) return q;
  q.synchronised = true;
  q.estimated_error_ms = static_cast<double>(tx.esterror) / 1000.0;
  return q;
}

}  // namespace orvane
