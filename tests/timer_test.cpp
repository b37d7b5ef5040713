// The stopwatch against direct readings of the raw monotonic clock. Every
// check brackets a result between clock readings taken around the call.
#include "timer.h"

#include <cstdint>
#include <ctime>
#include <gtest/gtest.h>
#include <thread>

namespace {

uint64_t raw_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC_RAW, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000U +
         static_cast<uint64_t>(ts.tv_nsec) / 1000000U;
}

// Lets at least ms of the raw clock pass.
void let_pass(uint64_t ms) {
  const uint64_t until = raw_ms() + ms;
  while (raw_ms() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

int low32(uint64_t v) { return static_cast<int>(static_cast<uint32_t>(v)); }

// CTest runs each test in a process of its own, so this is the process's
// first call.
TEST(Timer, FirstCallSincePreviousReturnsTheClockItself) {
  timer t;
  uint64_t before = raw_ms();
  int v = t.TimeHasPassedFromLastCall();
  uint64_t after = raw_ms();
  EXPECT_GE(v, low32(before));
  EXPECT_LE(v, low32(after));
}

TEST(Timer, TimersShareTheTimeOfTheLastCall) {
  timer a, b;
  a.TimeHasPassedFromLastCall();
  uint64_t a_after = raw_ms();
  let_pass(20);
  uint64_t b_before = raw_ms();
  EXPECT_GE(b.TimeHasPassedFromLastCall(), 20) << "b measures from a's call";
  uint64_t b_after = raw_ms();
  ASSERT_GE(b_after, a_after);
  let_pass(10);
  uint64_t a2_before = raw_ms();
  int from_b = a.TimeHasPassedFromLastCall();
  uint64_t a2_after = raw_ms();
  EXPECT_GE(from_b, 10);
  EXPECT_LE(static_cast<uint64_t>(from_b), a2_after - b_before)
      << "a must measure from b's call, not from its own";
  EXPECT_GE(a2_before, b_after);
}

TEST(Timer, ZeroThresholdIsAlwaysReachedAndRestarts) {
  timer t;
  let_pass(15);
  uint64_t before = raw_ms();
  EXPECT_TRUE(t.IsTimeEqGreat(0));
  int passed = t.TimeHasPassed();
  uint64_t after = raw_ms();
  EXPECT_LE(static_cast<uint64_t>(passed), after - before)
      << "the interval should have restarted";
  EXPECT_TRUE(t.IsTimeEqGreat(0));
}

TEST(Timer, ThresholdIsReachedOnlyOnceItHasPassed) {
  timer t;
  let_pass(30);
  EXPECT_TRUE(t.IsTimeEqGreat(30));
  EXPECT_FALSE(t.IsTimeEqGreat(60000)) << "the interval restarted";
}

TEST(Timer, NegativeThresholdIsNeverReachedAndNeverRestarts) {
  timer t;
  let_pass(10);
  EXPECT_FALSE(t.IsTimeEqGreat(-1));
  EXPECT_FALSE(t.IsTimeEqGreat(-2147483647 - 1));
  EXPECT_GE(t.TimeHasPassed(), 10) << "a failed test must not restart";
}

TEST(Timer, ResetStartsANewInterval) {
  timer t;
  let_pass(20);
  ASSERT_GE(t.TimeHasPassed(), 20);
  uint64_t before = raw_ms();
  t.TimeRst();
  int passed = t.TimeHasPassed();
  uint64_t after = raw_ms();
  EXPECT_GE(passed, 0);
  EXPECT_LE(static_cast<uint64_t>(passed), after - before);
}

} // namespace
