#include "visca_port.h"

#include <cerrno>
#include <ctime>
#include <sys/prctl.h>

namespace visca_port {

void sleep_us(unsigned usec) {
  // nanosleep rather than usleep: it resumes after a signal, so a pause is
  // never cut short.
  timespec ts{static_cast<time_t>(usec / 1000000U),
              static_cast<long>(usec % 1000000U) * 1000L};
  while (::nanosleep(&ts, &ts) < 0 && errno == EINTR) {
  }
}

void tune_for_polling() {
  // 1 ns, the smallest slack: each 1 ms poll then overshoots by the
  // scheduler's latency alone.
  ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}

} // namespace visca_port
