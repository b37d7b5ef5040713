// Millisecond stopwatch over CLOCK_MONOTONIC_RAW, which NTP never slews.
//
// All times are milliseconds of that clock. A timer object has no lock:
// share one between threads only with your own locking.
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
  //
  // Threads: the process-wide mark is atomic, so calls from several threads
  // never race on memory. But reading the clock, reading the mark and
  // replacing it with a fresh reading are separate steps with no lock
  // around them, so overlapping calls are not serialised: two of them may
  // both measure from the same earlier call; the mark left behind is
  // whichever replacement was stored last, not necessarily the latest
  // reading; and a call whose mark another thread replaced after this call
  // read the clock gets a small negative result. Callers that need one
  // exact interval per call must serialise the calls themselves.
  int TimeHasPassedFromLastCall();
  // Starts a new interval now.
  void TimeRst();

private:
  uint64_t MonotonicLast;
  uint64_t MonotonicNow;
  uint64_t Monotonicdelta;

  uint64_t getMonotonicValue();
};
