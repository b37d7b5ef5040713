// The controller against the simulated MCU over a real pseudo-terminal, so
// termios, the pending-byte count and the drain run in the tty driver.
#include "mcu_sim.h"
#include "support.h"
#include "visca.h"

#include <gtest/gtest.h>
#include <poll.h>

namespace {

using mcusim::answer;
using mcusim::bytes;
using std::chrono::milliseconds;

constexpr milliseconds kLimit{5000};

struct PtyTest : ::testing::Test {
  support::version_file file;
  mcusim::mcu sim;
  visca ctl;
  support::write_times writes;

  explicit PtyTest(mcusim::config cfg = {}) : sim(cfg) {}

  void SetUp() override { open_at(B115200); }

  void open_at(speed_t speed) {
    ctl.camSerial = sim.slave_path().c_str();
    ASSERT_TRUE(ctl.init_visca(speed));
  }

  size_t transmissions() const { return sim.log().size(); }
};

TEST_F(PtyTest, MessagesHaveTheViscaLayoutForEveryPayloadLength) {
  const uint64_t payload = 0x0102030405060708ULL;
  for (int n = 0; n <= 11; ++n) {
    ASSERT_TRUE(ctl.send_inq_cmd(n, 0x12, 0x34, payload)) << n;
    bytes want = {0x81, 0x09, 0x12, 0x34};
    for (int i = n - 1; i >= 0; --i)
      want.push_back(i < 8 ? static_cast<uint8_t>(payload >> (8 * i))
                           : uint8_t{0});
    want.push_back(0xFF);
    auto log = sim.log();
    ASSERT_EQ(log.size(), static_cast<size_t>(n + 1));
    EXPECT_EQ(log.back().data, want) << "payload length " << n;
  }
}

TEST_F(PtyTest, LineIsDrainedBeforeTheInquiryGoesOut) {
  ASSERT_EQ(sim.inject({0x00, 0x90, 0x50, 0xFF, 0x13}), 5u);
  pollfd pfd{ctl.cam_fd, POLLIN, 0};
  ASSERT_EQ(::poll(&pfd, 1, 5000), 1) << "injected bytes never arrived";
  EXPECT_TRUE(ctl.send_inq_cmd(1, 0x7E, 0x7E, 0x16));
  EXPECT_EQ(transmissions(), 1u) << "stale bytes were taken for a reply";
}

TEST_F(PtyTest, SilenceCausesOneRetransmissionAfterTheFullWait) {
  sim.script(answer::silence());
  EXPECT_TRUE(ctl.send_inq_cmd(1, 0x7E, 0x7E, 0x16));
  auto log = sim.log();
  ASSERT_EQ(log.size(), 2u);
  ASSERT_EQ(writes.spans().size(), 2u);
  EXPECT_GE(writes.gap(0, 1), milliseconds(200));
  EXPECT_EQ(file.content(), "22");
}

TEST_F(PtyTest, TrickledReplyIsAssembledAcrossPolls) {
  sim.script(answer::version(0x31).paced(mcusim::pacing::trickle));
  EXPECT_TRUE(ctl.send_inq_cmd(1, 0x7E, 0x7E, 0x16));
  EXPECT_EQ(transmissions(), 1u);
  EXPECT_EQ(file.content(), "49");
}

TEST_F(PtyTest, ReplyFollowedByAnotherMessageIsJudgedAsOneRun) {
  bytes both = {0x90, 0x41, 0xFF, 0x90, 0x51, 0xFF};
  sim.script(answer::raw(both));
  sim.script(answer::raw(both));
  EXPECT_FALSE(ctl.send_inq_cmd(1, 0x7E, 0x7E, 0x16));
  EXPECT_EQ(transmissions(), 2u);
  EXPECT_FALSE(file.content());
}

TEST_F(PtyTest, NonDataRepliesAreRejectedAndLeaveTheFileAlone) {
  support::write_file(file.path(), "9");
  bytes reply_and_ack = answer::version(0x16).segments[0].data;
  reply_and_ack.insert(reply_and_ack.end(), {0x90, 0x41, 0xFF});
  const std::pair<const char *, answer> cases[] = {
      {"acknowledgement", answer::ack()},
      {"completion", answer::completion()},
      {"error", answer::error()},
      {"garbage", answer::garbage()},
      {"overlong run", answer::overlong()},
      {"version reply with a message behind it", answer::raw(reply_and_ack)},
  };
  size_t sent = 0;
  for (const auto &[name, reply] : cases) {
    SCOPED_TRACE(name);
    sim.script(reply);
    sim.script(reply);
    EXPECT_FALSE(ctl.send_inq_cmd(1, 0x7E, 0x7E, 0x16));
    sent += 2;
    EXPECT_EQ(transmissions(), sent);
  }
  EXPECT_EQ(file.content(), "9");
}

TEST_F(PtyTest, VersionFileHoldsTheSignedVersionAndIsFullyReplaced) {
  const std::pair<uint8_t, const char *> cases[] = {
      {0x80, "-128"}, {0x16, "22"}, {0xFE, "-2"}, {0x7F, "127"}, {0, "0"}};
  for (const auto &[byte, text] : cases) {
    sim.script(answer::version(byte));
    ASSERT_TRUE(ctl.send_inq_cmd(1, 0x7E, 0x7E, 0x16));
    EXPECT_EQ(file.content(), text);
  }
  EXPECT_EQ(file.dir().entries(),
            std::vector<std::string>{"quelmar-mcu-version"});
}

TEST_F(PtyTest, ShortReplyIsAcceptedWithoutTouchingTheFile) {
  support::write_file(file.path(), "7");
  sim.script(answer::raw({0x90, 0x50, 0x01, 0xFF}));
  EXPECT_TRUE(ctl.send_inq_cmd(1, 0x7E, 0x7E, 0x16));
  EXPECT_EQ(transmissions(), 1u);
  EXPECT_EQ(file.content(), "7");
}

TEST_F(PtyTest, HangUpInTheMiddleOfAReplyFailsCleanly) {
  sim.script(answer::version(0x16).hang_up_after(5));
  EXPECT_FALSE(ctl.send_inq_cmd(1, 0x7E, 0x7E, 0x16));
  EXPECT_TRUE(sim.hung_up());
  EXPECT_FALSE(file.content());
  ctl.deinit_visca();
  speed_t speed = B115200;
  EXPECT_FALSE(ctl.init_visca(speed)) << "the pty is gone";
  EXPECT_EQ(ctl.cam_fd, -1);
  EXPECT_FALSE(ctl.send_inq_cmd(1, 0x7E, 0x7E, 0x16));
}

struct SlowMcuTest : PtyTest {
  SlowMcuTest() : PtyTest(mcusim::config{B9600, 0x44, false}) {}
};

TEST_F(SlowMcuTest, AnswersOnlyAtItsOwnSpeed) {
  EXPECT_FALSE(ctl.send_inq_cmd(1, 0x7E, 0x7E, 0x16));
  ctl.deinit_visca();
  open_at(B9600);
  sim.script(answer::version(0x44).paced(mcusim::pacing::line_rate));
  EXPECT_TRUE(ctl.send_inq_cmd(1, 0x7E, 0x7E, 0x16));
  auto log = sim.log();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].frame.speed, B115200);
  EXPECT_EQ(log[1].frame.speed, B115200);
  EXPECT_EQ(log[2].frame.speed, B9600);
  EXPECT_EQ(file.content(), "68");
}

TEST(Descriptors, NeverLeakAndCloseIsIdempotent) {
  mcusim::mcu sim;
  const int before = support::open_fd_count();
  {
    visca ctl;
    EXPECT_EQ(ctl.cam_fd, -1);
    ctl.deinit_visca(); // closed already: nothing to do
    ctl.camSerial = sim.slave_path().c_str();
    speed_t speed = B115200;
    ASSERT_TRUE(ctl.init_visca(speed));
    ASSERT_TRUE(ctl.init_visca(speed)) << "reopen without deinit";
    EXPECT_EQ(support::open_fd_count(), before + 1);
    ctl.deinit_visca();
    ctl.deinit_visca();
    EXPECT_EQ(ctl.cam_fd, -1);
    EXPECT_EQ(support::open_fd_count(), before);
    ASSERT_TRUE(ctl.init_visca(speed));
  } // destroyed with the line open
  EXPECT_EQ(support::open_fd_count(), before);
}

TEST(Descriptors, MissingDeviceFailsFastAndStaysClosed) {
  support::version_file file;
  visca ctl;
  ctl.camSerial = "/nonexistent/ttyPS1";
  speed_t speed = B115200;
  EXPECT_FALSE(ctl.init_visca(speed));
  EXPECT_EQ(ctl.cam_fd, -1);
  EXPECT_FALSE(ctl.send_inq_cmd(1, 0x7E, 0x7E, 0x16));
  EXPECT_FALSE(file.content());
}

} // namespace
