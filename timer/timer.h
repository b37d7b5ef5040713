// Millisecond stopwatch over CLOCK_MONOTONIC_RAW, which NTP never slews.
//
// All times are milliseconds of that clock. A timer object has no lock:
// share one between threads only with your own locking. The process-wide
// mark behind TimeHasPassedFromLastCall() is atomic, so timers on different
// threads may call it freely.
#pragma once

#include <cstdint>

class timer {
public:
  // Starts an interval.
  timer();
  ~timer();

  // True when the interval has lasted at least T_ms; a new interval then
  // starts. T_ms is compared as an unsigned 64-bit value, so a negative
  // threshold is never reached.
  bool IsTimeEqGreat(int T_ms);
  // Length of the interval so far (low 32 bits). Does not restart it.
  int TimeHasPassed();
  // Time since the previous call of this operation on any timer of the
  // process; the first call returns the clock's own value (low 32 bits).
  int TimeHasPassedFromLastCall();
  // Starts a new interval now.
  void TimeRst();

private:
  uint64_t MonotonicLast;
  uint64_t MonotonicNow;
  uint64_t Monotonicdelta;

  uint64_t getMonotonicValue();
};
