// The real sleep and the timer set-up that makes 1 ms polls precise.
#include "visca_port.h"

#include <cerrno>
#include <ctime>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace visca_port {
namespace {

// One sleep on the monotonic clock through the C library; on an
// interruption left holds the time still to sleep. Returns 0 or an errno
// value. On a 64-bit platform this is the 64-bit time call; on 32-bit ARM,
// glibc (2.36) makes the 32-bit call whenever the time fits in 32 bits, as
// a pause's always does: the call for kernels older than 5.1.
int sleep_time32(sleep_span &left) {
  timespec ts{static_cast<time_t>(left.sec), static_cast<long>(left.nsec)};
  int err = ::clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, &ts);
  left = {ts.tv_sec, ts.tv_nsec};
  return err;
}

// The same with the 64-bit time call. A kernel built without
// COMPAT_32BIT_TIME fails the 32-bit one with ENOSYS, so on a 32-bit
// platform this makes the 64-bit call (Linux 5.1 and later) itself; the
// span has the kernel's __kernel_timespec layout.
int sleep_time64(sleep_span &left) {
#if defined(__NR_clock_nanosleep_time64)
  static_assert(sizeof(sleep_span) == 16, "not the kernel's layout");
  return ::syscall(__NR_clock_nanosleep_time64, CLOCK_MONOTONIC, 0, &left,
                   &left) == 0
             ? 0
             : errno;
#else
  return sleep_time32(left); // a 64-bit platform: already the 64-bit call
#endif
}

int64_t clock_now_ns() { return monotonic_ns(); }

sleeper real_sleeper{{sleep_time64, sleep_time32, clock_now_ns}};

} // namespace

void sleeper::sleep(unsigned usec) {
  sleep_span left{static_cast<int64_t>(usec / 1000000U),
                  static_cast<int64_t>(usec % 1000000U) * 1000};
  const int64_t start = calls.now_ns();
  for (;;) {
    const bool legacy = time64_missing.load(std::memory_order_relaxed);
    int err = legacy ? calls.time32(left) : calls.time64(left);
    if (err == 0)
      return;
    if (err == EINTR)
      continue; // resumes with the time still left: never cut short
    if (err == ENOSYS && !legacy) {
      // Learnt once per process, so a current kernel pays no extra call.
      time64_missing.store(true, std::memory_order_relaxed);
      continue;
    }
    break;
  }
  // Neither call sleeps on this kernel. A pause that returns at once would
  // silently break the probe's timing, so keep it by watching the clock.
  if (start < 0)
    return; // no clock either: nothing left to measure a pause with
  const int64_t end = start + (static_cast<int64_t>(usec) * 1000);
  for (int64_t now = calls.now_ns(); now >= 0 && now < end;
       now = calls.now_ns()) {
  }
}

void sleep_us(unsigned usec) { real_sleeper.sleep(usec); }

void tune_for_polling() {
  // 1 ns, the smallest slack: each 1 ms poll then overshoots by the
  // scheduler's latency alone. Without it the polls are only less precise.
  ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}

} // namespace visca_port
