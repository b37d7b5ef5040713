// The real probe against a misbehaving MCU and a hostile /tmp. Whatever
// happens it must exit 0 without output, in bounded time, and leave the
// version file right or untouched, with nothing else beside it.
#include "probe_run.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <termios.h>

namespace {

using namespace probe_run;
using mcusim::answer;
using std::chrono::milliseconds;

struct ProbeFaults : ProbeRun {
  void expect_clean_exit(const run_result &r) {
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, "");
  }
  std::vector<std::string> only_the_file() const {
    return {"quelmar-mcu-version"};
  }
  static void raw_by_an_earlier_run(const mcusim::mcu &sim) {
    int fd = ::open(sim.slave_path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
    ::close(fd);
  }
};

TEST_F(ProbeFaults, HangUpInTheMiddleOfAReply) {
  mcusim::mcu sim;
  sim.script(answer::version(0x16).hang_up_after(6));
  RUN_OR_SKIP(r, sim);
  expect_clean_exit(r);
  EXPECT_TRUE(sim.hung_up());
  // Writes to a hung-up line fail at once, and the device is gone by the
  // time the probe reopens it at 9600. A probe slowed past its reply wait
  // may have sent another inquiry before the hang-up; never one at 9600.
  auto log = sim.log();
  ASSERT_GE(log.size(), 1u);
  EXPECT_LE(log.size(), 3u);
  EXPECT_EQ(count_at(log, B115200), log.size());
  EXPECT_EQ(tmp.entries(), std::vector<std::string>{});
}

TEST_F(ProbeFaults, DeviceDisappearsBetweenTheSpeeds) {
  mcusim::mcu sim;
  support::write_file(version_file(), "12");
  for (int i = 0; i < 5; ++i)
    sim.script(answer::silence());
  sim.script(answer::silence().hang_up_after(0));
  RUN_OR_SKIP(r, sim);
  expect_clean_exit(r);
  auto log = sim.log();
  EXPECT_EQ(log.size(), 6u);
  EXPECT_EQ(count_at(log, B115200), 6u);
  EXPECT_EQ(support::read_file(version_file()), "12");
  EXPECT_EQ(tmp.entries(), only_the_file());
}

TEST_F(ProbeFaults, LargeGarbageBacklogIsDrainedAndTheReplyStillFound) {
  mcusim::mcu sim;
  // A line left raw by an earlier run, with a backlog of noise: the pty
  // starts cooked, and a cooked tty would keep only one line's worth.
  raw_by_an_earlier_run(sim);
  // 64 KiB with no 0x90 in it, so no byte of it can start a reply. The tty
  // keeps what its buffers hold (about 12 KiB on a pty), more than the 4
  // KiB that one pending-byte count shows; the rest overruns.
  ASSERT_GT(sim.inject(mcusim::bytes(64 * 1024, 0x55)), 4096u);
  RUN_OR_SKIP(r, sim);
  expect_clean_exit(r);
  auto log = sim.log();
  ASSERT_GE(log.size(), 1u);
  EXPECT_EQ(count_at(log, B115200), log.size())
      << "the backlog must be gone before the first phase ends";
  EXPECT_EQ(support::read_file(version_file()), "22");
  EXPECT_EQ(tmp.entries(), only_the_file());
}

TEST_F(ProbeFaults, NoiseAtTheWrongSpeedIsRejectedAtOnce) {
  mcusim::mcu sim(mcusim::config{B9600, 0x16, true});
  RUN_OR_SKIP(r, sim);
  expect_clean_exit(r);
  auto log = sim.log();
  EXPECT_EQ(count_at(log, B115200), 6u);
  EXPECT_EQ(count_at(log, B9600), 1u);
  EXPECT_EQ(support::read_file(version_file()), "22");
}

TEST_F(ProbeFaults, RepliesPacedAtTheRealLineRateAtBothSpeeds) {
  for (speed_t speed : {B115200, B9600}) {
    SCOPED_TRACE(mcusim::baud_of(speed));
    mcusim::mcu sim(mcusim::config{speed, 0x21, false});
    sim.set_pacing(mcusim::pacing::line_rate);
    ::unlink(version_file().c_str());
    RUN_OR_SKIP(r, sim);
    expect_clean_exit(r);
    auto log = sim.log();
    EXPECT_EQ(count_at(log, speed), 1u);
    EXPECT_EQ(log.size(), speed == B115200 ? 1u : 7u);
    EXPECT_EQ(support::read_file(version_file()), "33");
  }
}

TEST_F(ProbeFaults, ReplyArrivingJustAfterAWaitGaveUpIsTakenByTheRetry) {
  mcusim::mcu sim;
  // The reply comes 5 ms after the retransmission, so after the first wait
  // gave up and while the second runs.
  sim.script(answer::version(0x16).until_next_message().after(milliseconds(5)));
  sim.script(answer::silence());
  RUN_OR_SKIP(r, sim);
  expect_clean_exit(r);
  EXPECT_EQ(sim.log().size(), 2u);
  EXPECT_EQ(support::read_file(version_file()), "22");
}

TEST_F(ProbeFaults, DirectoryAtThePathIsLeftAndNothingWritten) {
  mcusim::mcu sim;
  ASSERT_EQ(::mkdir(version_file().c_str(), 0755), 0);
  RUN_OR_SKIP(r, sim);
  expect_clean_exit(r);
  struct stat st {};
  ASSERT_EQ(::lstat(version_file().c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(tmp.entries(), only_the_file());
}

TEST_F(ProbeFaults, PlantedSymlinkIsReplacedNotWrittenThrough) {
  mcusim::mcu sim;
  support::write_file(tmp / "victim", "precious");
  // The link as the probe sees it, inside its private /tmp.
  ASSERT_EQ(::symlink("/tmp/victim", version_file().c_str()), 0);
  RUN_OR_SKIP(r, sim);
  expect_clean_exit(r);
  EXPECT_EQ(support::read_file(tmp / "victim"), "precious");
  struct stat st {};
  ASSERT_EQ(::lstat(version_file().c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(support::read_file(version_file()), "22");
}

TEST_F(ProbeFaults, PlantedFifoDoesNotBlockTheProbe) {
  mcusim::mcu sim;
  ASSERT_EQ(::mkfifo(version_file().c_str(), 0666), 0);
  RUN_OR_SKIP(r, sim);
  expect_clean_exit(r);
  EXPECT_EQ(support::read_file(version_file()), "22");
  EXPECT_EQ(tmp.entries(), only_the_file());
}

TEST_F(ProbeFaults, ReadOnlyTmpKeepsTheOldFile) {
  mcusim::mcu sim;
  support::write_file(version_file(), "7");
  tmp_read_only = true;
  RUN_OR_SKIP(r, sim);
  expect_clean_exit(r);
  EXPECT_EQ(sim.log().size(), 1u) << "the MCU answered";
  EXPECT_EQ(support::read_file(version_file()), "7");
  EXPECT_EQ(tmp.entries(), only_the_file());
}

// A tmpfs mounted for one test, in the test process's own namespace.
struct tiny_tmpfs {
  support::temp_dir dir;
  bool mounted = false;
  tiny_tmpfs() {
    mounted = ::mount("tmpfs", dir.path().c_str(), "tmpfs", 0,
                      "size=4k,mode=1777") == 0;
  }
  ~tiny_tmpfs() {
    if (mounted)
      ::umount2(dir.path().c_str(), MNT_DETACH);
  }
};

TEST_F(ProbeFaults, FullFilesystemKeepsTheOldFileWhole) {
  if (!private_mounts && !std::getenv("QUELMAR_REQUIRE_SANDBOX"))
    GTEST_SKIP() << "no private mount namespace for the tiny tmpfs";
  ASSERT_TRUE(private_mounts);
  tiny_tmpfs full;
  ASSERT_TRUE(full.mounted);
  // One page: the old file fills it, so the new one cannot be written.
  const std::string file = full.dir / "quelmar-mcu-version";
  support::write_file(file, "7");
  mcusim::mcu sim;
  tmp_path = full.dir.path();
  RUN_OR_SKIP(r, sim);
  expect_clean_exit(r);
  EXPECT_EQ(sim.log().size(), 1u) << "the MCU answered";
  EXPECT_EQ(support::read_file(file), "7");
  EXPECT_EQ(full.dir.entries(), only_the_file());
}

} // namespace
