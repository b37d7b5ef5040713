// The pause every poll and probe step is made of: it must never return
// early, whichever time calls the kernel has.
#include "visca_port.h"

#include <cerrno>
#include <chrono>
#include <gtest/gtest.h>
#include <vector>

namespace {

using visca_port::sleep_span;

// A scripted kernel: the errno each call returns in turn (0 when the
// script is spent), and a clock that moves 100 us per reading.
struct kernel {
  std::vector<int> time64_results, time32_results;
  std::vector<sleep_span> time64_spans, time32_spans;
  int64_t clock_ns = 0;
  bool clock_works = true;
} k;

int next(std::vector<int> &results) {
  if (results.empty())
    return 0;
  int r = results.front();
  results.erase(results.begin());
  return r;
}

int fake_time64(sleep_span &s) {
  k.time64_spans.push_back(s);
  int r = next(k.time64_results);
  if (r == EINTR)
    s.nsec /= 2; // interrupted half-way
  return r;
}

int fake_time32(sleep_span &s) {
  k.time32_spans.push_back(s);
  return next(k.time32_results);
}

int lose_clock_after = -1; // readings until the clock fails; -1: never
int readings = 0;

int64_t fake_now() {
  ++readings;
  if (!k.clock_works || (lose_clock_after >= 0 && readings > lose_clock_after))
    return -1;
  return k.clock_ns += 100000;
}

struct SleepTest : ::testing::Test {
  void SetUp() override {
    k = kernel{};
    lose_clock_after = -1;
    readings = 0;
  }
  visca_port::sleeper s{{fake_time64, fake_time32, fake_now}};
};

TEST_F(SleepTest, CurrentKernelGetsOnlyTheSixtyFourBitCall) {
  s.sleep(1000);
  s.sleep(100000);
  ASSERT_EQ(k.time64_spans.size(), 2u);
  EXPECT_EQ(k.time64_spans[0].sec, 0);
  EXPECT_EQ(k.time64_spans[0].nsec, 1000000);
  EXPECT_EQ(k.time64_spans[1].nsec, 100000000);
  EXPECT_TRUE(k.time32_spans.empty());
}

TEST_F(SleepTest, KernelWithoutTheSixtyFourBitCallFallsBackOnce) {
  k.time64_results = {ENOSYS};
  s.sleep(1000);
  s.sleep(2500000);
  EXPECT_EQ(k.time64_spans.size(), 1u) << "the missing call was tried again";
  ASSERT_EQ(k.time32_spans.size(), 2u);
  EXPECT_EQ(k.time32_spans[0].nsec, 1000000);
  EXPECT_EQ(k.time32_spans[1].sec, 2);
  EXPECT_EQ(k.time32_spans[1].nsec, 500000000);
}

TEST_F(SleepTest, InterruptedSleepResumesWithTheTimeLeft) {
  k.time64_results = {EINTR, EINTR};
  s.sleep(100000);
  ASSERT_EQ(k.time64_spans.size(), 3u);
  EXPECT_EQ(k.time64_spans[1].nsec, 50000000);
  EXPECT_EQ(k.time64_spans[2].nsec, 25000000);
}

TEST_F(SleepTest, KernelThatCannotSleepStillKeepsThePauseByTheClock) {
  // Neither time call exists (the 32-bit one is also gone on a kernel
  // built without COMPAT_32BIT_TIME that predates the 64-bit one).
  k.time64_results = {ENOSYS};
  k.time32_results = {ENOSYS, ENOSYS};
  const int64_t start = k.clock_ns;
  s.sleep(5000);
  EXPECT_GE(k.clock_ns - start, 5000000 + 100000)
      << "returned before the pause had passed on the clock";
  s.sleep(0);
  EXPECT_EQ(k.time64_spans.size(), 1u);
}

TEST_F(SleepTest, NoClockAndNoSleepReturnsRatherThanHangs) {
  k.time64_results = {ENOSYS};
  k.time32_results = {EINVAL};
  k.clock_works = false;
  s.sleep(1000);
  EXPECT_EQ(k.time32_spans.size(), 1u);
}

TEST_F(SleepTest, ClockLostDuringAWatchedPauseEndsIt) {
  k.time64_results = {ENOSYS};
  k.time32_results = {ENOSYS};
  lose_clock_after = 3;
  s.sleep(100000); // would take 1000 readings of the clock
  EXPECT_EQ(readings, 4) << "the pause went on after the clock failed";
}

TEST(RealSleep, LastsAtLeastWhatWasAsked) {
  // On armhf under emulation this is the 64-bit call the board makes.
  for (unsigned usec : {1000U, 20000U, 100000U}) {
    auto t0 = std::chrono::steady_clock::now();
    visca_port::sleep_us(usec);
    auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(took, std::chrono::microseconds(usec)) << usec << " us";
  }
}

} // namespace
