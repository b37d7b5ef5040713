// The real quelmar-mcu-probe binary, run as on the board: in a private
// mount namespace where /dev/ttyPS1 is the simulated MCU's pty and /tmp a
// private folder.
#include "mcu_sim.h"
#include "sandbox.h"
#include "support.h"

#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "probe_command.h" // QUELMAR_PROBE_COMMAND, emulator included

namespace {

using mcusim::bytes;
using std::chrono::milliseconds;

const bytes kInquiry = {0x81, 0x09, 0x7E, 0x7E, 0x16, 0xFF};

struct run_result {
  int status = -1;
  milliseconds elapsed{0};
  std::string output; // stdout and stderr together
};

struct ProbeE2E : ::testing::Test {
  support::temp_dir tmp;
  support::temp_dir logs;

  std::string version_file() const { return tmp / "quelmar-mcu-version"; }

  // Runs the probe against sim; skips the test when no namespace can be
  // made here.
  run_result run(mcusim::mcu &sim, std::vector<std::string> args = {}) {
    return run_on(sim.slave_path(), std::move(args));
  }

  run_result run_on(const std::string &tty, std::vector<std::string> args) {
    run_result r;
    const std::string out_path = logs / "output";
    int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    EXPECT_GE(out, 0);
    mcusim::sandbox_options opt;
    opt.tty = tty;
    opt.tmp = tmp.path();
    opt.argv = QUELMAR_PROBE_COMMAND;
    opt.argv.insert(opt.argv.end(), args.begin(), args.end());
    opt.out_fd = out;
    opt.err_fd = out;
    std::string why;
    auto start = mcusim::clock::now();
    pid_t pid = mcusim::sandbox_spawn(opt, why);
    ::close(out);
    if (pid < 0) {
      skipped_because = why;
      return r;
    }
    r.status = mcusim::sandbox_wait(pid);
    r.elapsed =
        std::chrono::duration_cast<milliseconds>(mcusim::clock::now() - start);
    r.output = support::read_file(out_path).value_or("<missing>");
    return r;
  }

  run_result run_any(mcusim::mcu &sim, std::vector<std::string> args = {}) {
    return run(sim, std::move(args));
  }
  run_result run_any(const char *tty) { return run_on(tty, {}); }

  std::string skipped_because;
};

// Where namespaces are not permitted the test is skipped, unless
// QUELMAR_REQUIRE_SANDBOX is set (as the test script does for root): there
// a skip would hide a broken sandbox.
#define RUN_OR_SKIP(var, ...)                                                  \
  auto var = run_any(__VA_ARGS__);                                             \
  if (!skipped_because.empty()) {                                              \
    if (std::getenv("QUELMAR_REQUIRE_SANDBOX"))                                \
      FAIL() << "cannot run the probe in a private namespace: "                \
             << skipped_because;                                               \
    GTEST_SKIP() << "cannot build a private mount namespace here ("            \
                 << skipped_because << "); run the tests as root";             \
  }

size_t count_at(const std::vector<mcusim::received> &log, speed_t speed) {
  size_t n = 0;
  for (const auto &m : log) {
    EXPECT_EQ(m.data, kInquiry);
    n += m.speed == speed ? 1 : 0;
  }
  return n;
}

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
    EXPECT_EQ(log[i].speed, B115200) << "115200 must come first";
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
