#include "timer.h"

#include <atomic>
#include <ctime>

namespace {
// Shared by every timer on every thread, hence atomic.
std::atomic<uint64_t> MonotonicPre{0};

int low32(uint64_t ms) { return static_cast<int>(static_cast<uint32_t>(ms)); }
} // namespace

timer::timer() {
  MonotonicLast = getMonotonicValue();
  MonotonicNow = getMonotonicValue();
  Monotonicdelta = MonotonicNow - MonotonicLast;
}

timer::~timer() = default;

bool timer::IsTimeEqGreat(int T_ms) {
  MonotonicNow = getMonotonicValue();
  Monotonicdelta = MonotonicNow - MonotonicLast;
  if (Monotonicdelta >= static_cast<uint64_t>(static_cast<int64_t>(T_ms))) {
    MonotonicLast = MonotonicNow;
    return true;
  }
  return false;
}

int timer::TimeHasPassed() {
  MonotonicNow = getMonotonicValue();
  return low32(MonotonicNow - MonotonicLast);
}

int timer::TimeHasPassedFromLastCall() {
  MonotonicNow = getMonotonicValue();
  int timeSpend = low32(MonotonicNow - MonotonicPre.load());
  MonotonicPre.store(getMonotonicValue());
  return timeSpend;
}

void timer::TimeRst() { MonotonicLast = getMonotonicValue(); }

uint64_t timer::getMonotonicValue() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC_RAW, &ts);
  int64_t ns = static_cast<int64_t>(ts.tv_sec) * 1000000000 +
               static_cast<int64_t>(ts.tv_nsec);
  return static_cast<uint64_t>(ns) / 1000000U;
}
