// The controller's own set-up of the line, against a pty that starts cooked
// as a board's UART does after boot: canonical input, echo, CR/NL mapping,
// software flow control and output processing are all on until the
// controller turns them off, so a set-up that misses one shows here.
#include "mcu_sim.h"
#include "support.h"
#include "visca.h"
#include "visca_port.h"

#include <fcntl.h>
#include <gtest/gtest.h>

namespace {

using mcusim::answer;
using mcusim::bytes;

struct LineSetupTest : ::testing::Test {
  support::version_file file;
  mcusim::mcu sim;
  visca ctl;

  void open_at(speed_t speed) {
    ctl.camSerial = sim.slave_path().c_str();
    ASSERT_TRUE(ctl.init_visca(speed));
  }
};

// The real line, with every settings request recorded on its way to the
// driver.
std::vector<termios> requested;
int record_settings(int fd, const termios &t) {
  requested.push_back(t);
  return visca_port::real_ops().apply_settings(fd, t);
}

struct recording_line {
  visca_port::line_ops table = visca_port::real_ops();
  recording_line() {
    requested.clear();
    table.apply_settings = record_settings;
    visca_port::install(&table);
  }
  ~recording_line() { visca_port::install(nullptr); }
};

TEST_F(LineSetupTest, LineIsSetUpRawEightNOneAndNonBlockingAtEachSpeed) {
  recording_line recording;
  for (speed_t speed : {B115200, B9600}) {
    SCOPED_TRACE(mcusim::baud_of(speed));
    requested.clear();
    open_at(speed);
    // What was asked for: a pty forces 8 data bits and no parity, so only
    // the request shows those.
    ASSERT_EQ(requested.size(), 1u);
    const termios &want = requested[0];
    EXPECT_EQ(want.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(want.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(want.c_cflag & (CREAD | CLOCAL),
              static_cast<tcflag_t>(CREAD | CLOCAL));
    // What the driver now holds.
    termios t{};
    ASSERT_EQ(::tcgetattr(ctl.cam_fd, &t), 0);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHOE | ISIG), 0u);
    EXPECT_EQ(t.c_iflag, 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cflag & (CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(::cfgetispeed(&t), speed);
    EXPECT_EQ(::cfgetospeed(&t), speed);
    int flags = ::fcntl(ctl.cam_fd, F_GETFL);
    ASSERT_GE(flags, 0);
    EXPECT_NE(flags & O_NONBLOCK, 0)
        << "a read after a pending count must not wait for more bytes";
    ctl.deinit_visca();
  }
}

TEST_F(LineSetupTest, EveryReplyByteArrivesAsTheMcuSentIt) {
  open_at(B115200);
  // Bytes a cooked tty acts on: CR and NL (mapped), XON and XOFF
  // (swallowed), the signal, erase, kill, EOF and literal-next characters;
  // the version is CR.
  const bytes reply = {0x90, 0x50, 0x0D, 0x0A, 0x11, 0x13, 0x03, 0x1C,
                       0x1A, 0x7F, 0x15, 0x04, 0x16, 0x12, 0x0D, 0xFF};
  sim.script(answer::raw(reply));
  visca_inq_command rec{};
  ctl.create_inqcommand(rec, 1, 0x7E, 0x7E, 0x16);
  ASSERT_TRUE(ctl.visca_exec_inq_cmd(rec));
  ASSERT_EQ(rec.inq_length, 16);
  EXPECT_EQ(bytes(rec.inq, rec.inq + 16), reply);
  EXPECT_EQ(file.content(), "13");
}

TEST_F(LineSetupTest, ControllerBytesReachTheMcuUnchangedAndNothingEchoes) {
  open_at(B115200);
  // NL would go out as CR NL with output processing on.
  ctl.send_cmd(3, 0x0A, 0x0D, 0x0A0D09);
  ASSERT_TRUE(ctl.send_inq_cmd(1, 0x7E, 0x7E, 0x0A));
  auto log = sim.log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].data,
            (bytes{0x81, 0x01, 0x0A, 0x0D, 0x0A, 0x0D, 0x09, 0xFF}));
  EXPECT_EQ(log[1].data, (bytes{0x81, 0x09, 0x7E, 0x7E, 0x0A, 0xFF}));
  EXPECT_EQ(mcusim::describe(log[1].frame), "115200 8N1");
  // The MCU reads in order: an echo of the first answers would have come
  // in before the inquiry did.
  EXPECT_EQ(sim.stray(), 0u) << "the MCU's own answers came back to it";
}

TEST_F(LineSetupTest, McuTurnsAwayFlowControlButNotASecondStopBit) {
  // Both travel through a pty. Flow control has no lines to the MCU; a
  // second stop bit is only idle time to its receiver.
  struct {
    tcflag_t extra;
    bool answered;
    const char *seen;
  } cases[] = {{CRTSCTS, false, "115200 8N1 rtscts"},
               {CSTOPB, true, "115200 8N2"}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.seen);
    support::version_file own;
    open_at(B115200);
    termios t{};
    ::tcgetattr(ctl.cam_fd, &t);
    t.c_cflag |= c.extra;
    ASSERT_EQ(::tcsetattr(ctl.cam_fd, TCSANOW, &t), 0);
    EXPECT_EQ(ctl.send_inq_cmd(1, 0x7E, 0x7E, 0x16), c.answered);
    EXPECT_EQ(mcusim::describe(sim.log().back().frame), c.seen);
    EXPECT_EQ(own.content().has_value(), c.answered);
    ctl.deinit_visca();
  }
}

TEST(Framing, DataBitsAndParityCountWhereTheLineCarriesThem) {
  // A pty forces CS8 without parity, but a real serial port or another
  // kernel's tty may carry them: the MCU's rule covers them too.
  termios t{};
  t.c_cflag = CS8 | CREAD | CLOCAL;
  ::cfsetospeed(&t, B9600);
  EXPECT_TRUE(mcusim::framing::of(t).readable_at(B9600));
  EXPECT_FALSE(mcusim::framing::of(t).readable_at(B115200));
  t.c_cflag |= CSTOPB; // a second stop bit reads as idle line
  EXPECT_TRUE(mcusim::framing::of(t).readable_at(B9600));
  t.c_cflag = (t.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS7;
  EXPECT_EQ(mcusim::describe(mcusim::framing::of(t)), "9600 7N2");
  EXPECT_FALSE(mcusim::framing::of(t).readable_at(B9600));
  t.c_cflag = (t.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS8 | PARENB;
  EXPECT_EQ(mcusim::describe(mcusim::framing::of(t)), "9600 8E2");
  EXPECT_FALSE(mcusim::framing::of(t).readable_at(B9600));
  t.c_cflag |= PARODD;
  EXPECT_EQ(mcusim::describe(mcusim::framing::of(t)), "9600 8O2");
}

} // namespace
