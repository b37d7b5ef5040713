// The real quelmar-mcu-probe binary against the simulated MCU, as on the
// board.
#include "probe_run.h"

namespace {

using namespace probe_run;
using ProbeE2E = ProbeRun;

TEST_F(ProbeE2E, SilentMcuGetsSixInquiriesAtEachSpeedAndNoFile) {
  mcusim::mcu sim;
  sim.set_default(mcusim::answer::silence());
  RUN_OR_SKIP(r, sim);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output, "");
  auto log = sim.log();
  EXPECT_EQ(log.size(), 12u);
  EXPECT_EQ(count_at(log, B115200), 6u);
  EXPECT_EQ(count_at(log, B9600), 6u);
  for (size_t i = 0; i < 6 && log.size() == 12; ++i)
    EXPECT_EQ(log[i].frame.speed, B115200) << "115200 must come first";
  // Twelve waits of 200 one-millisecond polls and nine 100 ms pauses.
  EXPECT_GE(r.elapsed, milliseconds(3300));
  EXPECT_EQ(tmp.entries(), std::vector<std::string>{});
}

TEST_F(ProbeE2E, AnswerOnTheFirstAttemptEndsTheProbeAt115200) {
  mcusim::mcu sim(mcusim::config{B115200, 0x16, false});
  RUN_OR_SKIP(r, sim, {"--ignored", "-x", "9600"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output, "") << "arguments must change nothing";
  auto log = sim.log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(count_at(log, B115200), 1u);
  EXPECT_EQ(support::read_file(version_file()), "22");
  EXPECT_EQ(tmp.entries(), std::vector<std::string>{"quelmar-mcu-version"});
}

TEST_F(ProbeE2E, McuAnsweringOnlyAt9600IsFoundInTheSecondPhase) {
  mcusim::mcu sim(mcusim::config{B9600, 0xFE, false});
  support::write_file(version_file(), "stale and longer");
  RUN_OR_SKIP(r, sim);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output, "");
  auto log = sim.log();
  EXPECT_EQ(log.size(), 7u);
  EXPECT_EQ(count_at(log, B115200), 6u);
  EXPECT_EQ(count_at(log, B9600), 1u);
  EXPECT_EQ(support::read_file(version_file()), "-2");
}

TEST_F(ProbeE2E, MissingDeviceStillExitsZeroAndLeavesTheOldFile) {
  support::write_file(version_file(), "12");
  // A link to nowhere stands in for an absent UART.
  RUN_OR_SKIP(r, "/dev/pts/no-such-pty");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output, "");
  EXPECT_EQ(support::read_file(version_file()), "12");
  EXPECT_EQ(tmp.entries(), std::vector<std::string>{"quelmar-mcu-version"});
}

} // namespace
