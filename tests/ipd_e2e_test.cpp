// The real quelmar-visca-ipd over real loopback sockets, driving the
// simulated MCU on a pseudo-terminal.
#include "ipd_run.h"
#include "support.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace ipd_run;
using mcusim::answer;
using viscaip::control_command;
using viscaip::control_reply;
using viscaip::visca_command;
using viscaip::visca_inquiry;
using viscaip::visca_reply;

const bytes kZoom = {0x81, 0x01, 0x04, 0x07, 0x02, 0xFF};
const bytes kMove = {0x81, 0x01, 0x06, 0x02, 0x18, 0x14, 0x00, 0x00,
                     0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF};
const bytes kStop = {0x81, 0x01, 0x06, 0x01, 0x01, 0x01, 0x03, 0x03, 0xFF};
const bytes kVersionInq = {0x81, 0x09, 0x00, 0x02, 0xFF};
const bytes kVersionReply = {0x90, 0x50, 0x00, 0x20, 0x00,
                             0x01, 0x00, 0x16, 0x02, 0xFF};
const bytes kAck1 = {0x90, 0x41, 0xFF}, kDone1 = {0x90, 0x51, 0xFF};
const bytes kNotExecutable = {0x90, 0x60, 0x41, 0xFF};
const bytes kIfClear = {0x81, 0x01, 0x00, 0x01, 0xFF};

// Asserts a reply came, with this type, number and payload.
#define EXPECT_REPLY_IS(reply_, type_, seq_, payload_)                         \
  do {                                                                         \
    const std::optional<reply> &r_ = (reply_);                                 \
    ASSERT_TRUE(r_) << "no reply";                                             \
    EXPECT_EQ(r_->type, (type_));                                              \
    EXPECT_EQ(r_->sequence, (seq_));                                           \
    EXPECT_EQ(mcusim::hex(r_->payload), mcusim::hex(payload_));                \
  } while (0)
// The same of the next datagram.
#define EXPECT_REPLY(ctl, type_, seq_, payload_)                               \
  EXPECT_REPLY_IS((ctl).receive(), type_, seq_, payload_)

struct Ipd : ::testing::Test {
  mcusim::mcu sim;

  // Messages the MCU received.
  std::vector<bytes> mcu_log() const {
    std::vector<bytes> v;
    for (const auto &m : sim.log())
      v.push_back(m.data);
    return v;
  }
  // Until the MCU has received n messages (or the patience ran out).
  void wait_for_mcu(size_t n) {
    for (auto until = clock::now() + kPatience;
         sim.log().size() < n && clock::now() < until;)
      std::this_thread::sleep_for(milliseconds(1));
  }
  // An inquiry through ctl and its reply: everything sent before it has
  // been dealt with once this returns.
  void fence(udp_controller &ctl, uint32_t seq) {
    ctl.send(visca_inquiry, seq, kVersionInq);
    EXPECT_REPLY(ctl, visca_reply, seq, kVersionReply);
  }
};

TEST_F(Ipd, CommandsAndInquiriesOverUdpAndTcpFromSixControllers) {
  ipd_daemon d({"--line", sim.slave_path()});
  // Five UDP controllers, one of them on VISCA over IP's own port, and a
  // TCP one, all at once; each hears only its own replies.
  std::vector<std::unique_ptr<udp_controller>> udp;
  // Another run of these tests (a package build beside the suite) may
  // hold 52381 on one loopback address: take the first free one.
  for (int host = 2; udp.empty() && host < 255; ++host) {
    try {
      const std::string address = "127.0.52." + std::to_string(host);
      udp.push_back(std::make_unique<udp_controller>(d.udp_port(),
                                                     address.c_str(), 52381));
    } catch (const std::runtime_error &) {
    }
  }
  ASSERT_EQ(udp.size(), 1u) << "no loopback address free for port 52381";
  for (int i = 0; i < 4; ++i)
    udp.push_back(std::make_unique<udp_controller>(d.udp_port()));
  tcp_controller tcp(d.tcp_port());
  for (uint32_t i = 0; i < udp.size(); ++i)
    udp[i]->send(visca_command, 100 + i, kZoom);
  tcp.send(kVersionInq);
  tcp.send({0x83, 0x01, 0x04, 0x07, 0x03, 0xFF});
  for (uint32_t i = 0; i < udp.size(); ++i) {
    EXPECT_REPLY(*udp[i], visca_reply, 100 + i, kAck1);
    EXPECT_REPLY(*udp[i], visca_reply, 100 + i, kDone1);
    udp[i]->send(visca_inquiry, 200 + i, kVersionInq);
    EXPECT_REPLY(*udp[i], visca_reply, 200 + i, kVersionReply);
  }
  // The first bytes on the connection are the reply: no greeting.
  EXPECT_EQ(tcp.receive(), kVersionReply);
  // Replies to camera 3 come from camera 3.
  EXPECT_EQ(tcp.receive(), (bytes{0xB0, 0x41, 0xFF}));
  EXPECT_EQ(tcp.receive(), (bytes{0xB0, 0x51, 0xFF}));
  const auto log = mcu_log();
  EXPECT_EQ(log.size(), 12u);
  EXPECT_EQ(sim.interleaved(), 0u);
  EXPECT_EQ(std::count(log.begin(), log.end(),
                       bytes{0x81, 0x01, 0x04, 0x07, 0x03, 0xFF}),
            1);
  EXPECT_EQ(d.stop(), 0);
  EXPECT_GE(d.wait_for_log("stopping on"), 0);
}

TEST_F(Ipd, StopGetsThroughWhileALongMoveRunsAndEachGetsItsCompletion) {
  sim.set_completion_delay({0x81, 0x01, 0x06, 0x02}, milliseconds(1500));
  ipd_daemon d({"--line", sim.slave_path()});
  udp_controller mover(d.udp_port());
  tcp_controller stopper(d.tcp_port());
  const auto start = clock::now();
  mover.send(visca_command, 7, kMove);
  EXPECT_REPLY(mover, visca_reply, 7u, kAck1);
  stopper.send(kStop);
  EXPECT_EQ(stopper.receive(), (bytes{0x90, 0x42, 0xFF}));
  EXPECT_EQ(stopper.receive(), (bytes{0x90, 0x52, 0xFF}));
  EXPECT_REPLY(mover, visca_reply, 7u, kDone1);
  EXPECT_GE(clock::now() - start, milliseconds(1500));
}

TEST_F(Ipd, RetransmissionOfAPerformedCommandIsNotExecutedAgain) {
  ipd_daemon d({"--line", sim.slave_path()});
  udp_controller ctl(d.udp_port());
  ctl.send(visca_command, 41, kZoom);
  EXPECT_REPLY(ctl, visca_reply, 41u, kAck1);
  EXPECT_REPLY(ctl, visca_reply, 41u, kDone1);
  ctl.send(visca_command, 41, kZoom);
  EXPECT_REPLY(ctl, control_command, 41u, (bytes{0x0F, 0x01}));
  // After RESET the same number is a new message.
  ctl.send(control_command, 9, {0x01});
  EXPECT_REPLY(ctl, control_reply, 9u, (bytes{0x01}));
  fence(ctl, 42);
  EXPECT_EQ(mcu_log(), (std::vector<bytes>{kZoom, kVersionInq}));
  ctl.send(visca_command, 41, kZoom);
  EXPECT_REPLY(ctl, visca_reply, 41u, kAck1);
}

TEST_F(Ipd, BadDatagramsAndStreamsNeverReachTheMcu) {
  ipd_daemon d({"--line", sim.slave_path()});
  udp_controller ctl(d.udp_port());
  bytes seventeen(17, 0x00);
  seventeen[0] = 0x81;
  seventeen[16] = 0xFF;
  const bytes two = {0x81, 0x01, 0x04, 0x07, 0x02, 0xFF,
                     0x81, 0x01, 0x04, 0x07, 0x03, 0xFF};
  const bytes garbage_then_valid = {0x13, 0x37, 0x81, 0x01,
                                    0x04, 0x07, 0x02, 0xFF};
  const bytes no_ff = {0x81, 0x01, 0x04, 0x07, 0x02};
  const bytes length_error = {0x90, 0x60, 0x01, 0xFF};
  const bytes syntax_error = {0x90, 0x60, 0x02, 0xFF};

  ctl.send_raw({0x01, 0x00, 0x00, 0x06}); // short: no number to answer
  auto lying = viscaip::build(visca_command, 2, kZoom);
  lying[3] = 0x04;
  ctl.send_raw(lying);
  EXPECT_REPLY(ctl, control_command, 2u, (bytes{0x0F, 0x02}));
  ctl.send(0x0300, 3, kZoom);
  EXPECT_REPLY(ctl, control_command, 3u, (bytes{0x0F, 0x02}));
  ctl.send(visca_command, 4, seventeen);
  EXPECT_REPLY(ctl, visca_reply, 4u, length_error);
  ctl.send(visca_command, 5, no_ff);
  EXPECT_REPLY(ctl, visca_reply, 5u, syntax_error);
  ctl.send(visca_command, 6, two);
  EXPECT_REPLY(ctl, visca_reply, 6u, syntax_error);
  ctl.send(viscaip::device_setting, 7, {0x88, 0x30, 0x01, 0xFF});
  EXPECT_REPLY(ctl, visca_reply, 7u, syntax_error);
  ctl.send(visca_command, 8, garbage_then_valid);
  EXPECT_REPLY(ctl, visca_reply, 8u, syntax_error);

  tcp_controller tcp(d.tcp_port());
  tcp.send({0x88, 0x01, 0x00, 0x01, 0xFF}); // broadcast IF_Clear
  EXPECT_EQ(tcp.receive(), syntax_error);
  tcp.send(garbage_then_valid);
  EXPECT_EQ(tcp.receive(), syntax_error);
  tcp.send(seventeen); // its FF ends the skipped run
  EXPECT_EQ(tcp.receive(), length_error);
  tcp.send(bytes(3000, 0x81)); // no FF at all, for long
  EXPECT_EQ(tcp.receive(), length_error);
  tcp.send({0xFF}); // ends the run; answered by nothing
  tcp.send(kVersionInq);
  EXPECT_EQ(tcp.receive(), kVersionReply);

  fence(ctl, 9);
  EXPECT_EQ(mcu_log(), (std::vector<bytes>{kVersionInq, kVersionInq}));
  EXPECT_GE(d.wait_for_log("shorter than a header"), 0);
}

TEST_F(Ipd, FloodFromOneControllerLeavesAnotherItsTurnAndMemoryBounded) {
  // The MCU takes a while over each command, so the flooder's queue fills.
  sim.set_hold(std::chrono::microseconds(2000));
  ipd_daemon d({"--line", sim.slave_path()});
  udp_controller flooder(d.udp_port());
  udp_controller other(d.udp_port());
  fence(other, 1);
  const long before = resident_kib(d.pid());
  const udp_drops drops_before = kernel_udp_drops();

  // Bounded in count and in time; fire and forget, about 2000 a second:
  // four times what this MCU can take, and slow enough that the kernel
  // does not drop the other controller's datagrams for want of buffer
  // even under an emulator.
  std::thread flood([&] {
    const auto until = clock::now() + std::chrono::seconds(5);
    for (uint32_t i = 0; i < 2000 && clock::now() < until; ++i) {
      flooder.send(visca_command, i, kZoom);
      if (i % 2)
        std::this_thread::sleep_for(milliseconds(1));
    }
  });
  // Like a real controller, the other one resends (the same number) when
  // no reply comes: the kernel may drop its datagram at the daemon's
  // socket, which the flood keeps full while the daemon waits for a core.
  auto ask = [&](uint16_t type, uint32_t seq, const bytes &payload, int tries) {
    std::optional<reply> r;
    for (int attempt = 0; attempt < tries && !r; ++attempt) {
      other.send(type, seq, payload);
      r = other.receive(milliseconds(250));
    }
    return r;
  };
  // Well inside the flood, the other controller's command is taken in
  // its turn: at most the message on the line and one of the flooder's
  // go first, at the MCU's pace. 1 s is the bound we hold it to.
  ASSERT_GE(d.wait_for_log("answering buffer full"), 0);
  const auto sent = clock::now();
  const std::optional<reply> ack = ask(visca_command, 2, kStop, 4);
  const auto ack_after = clock::now() - sent;
  flood.join();
  EXPECT_REPLY(other, visca_reply, 2u, kDone1);
  // The flood's backlog may still fill the socket: the fence asks again
  // too, for as long as a reply is waited for anywhere here.
  EXPECT_REPLY_IS(
      ask(visca_inquiry, 3, kVersionInq, kPatience / milliseconds(250)),
      visca_reply, 3u, kVersionReply);
  EXPECT_REPLY_IS(ack, visca_reply, 2u, kAck1);
  EXPECT_LT(ack_after, milliseconds(1000));
  const long after = resident_kib(d.pid());
  const udp_drops drops = kernel_udp_drops();
  std::printf("ACK in %.1f ms under the flood; VmRSS %ld KiB before, %ld "
              "KiB after; the kernel's UDP drops meanwhile: %ld receive "
              "buffer, %ld send buffer, %ld backlog; at the daemon's "
              "socket %ld, the other controller's %ld, the flooder's (which "
              "reads no reply) %ld\n",
              std::chrono::duration<double, std::milli>(ack_after).count(),
              before, after, drops.rcvbuf - drops_before.rcvbuf,
              drops.sndbuf - drops_before.sndbuf,
              drops.backlog - drops_before.backlog, socket_drops(d.udp_port()),
              socket_drops(other.port()), socket_drops(flooder.port()));
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  if (!emulated()) {
    EXPECT_LT(after - before, 1024) << "memory grew under the flood";
  }
#endif
  EXPECT_GE(d.wait_for_log("answering buffer full"), 0);
  EXPECT_EQ(d.stop(), 0);
  // Its count of replies a full socket held back ("unsent datagrams").
  for (const auto &line : d.log())
    if (line.find("stopping on") != std::string::npos)
      std::printf("%s\n", line.c_str());
}

TEST_F(Ipd, SilentMcuGetsNotExecutableAfterTheBound) {
  sim.set_default(answer::silence());
  ipd_daemon d({"--line", sim.slave_path()});
  udp_controller ctl(d.udp_port());
  const auto start = clock::now();
  ctl.send(visca_command, 1, kZoom);
  EXPECT_REPLY(ctl, visca_reply, 1u, kNotExecutable);
  // The service counts whole milliseconds: a message that arrives late in
  // one may be given up on as early as 499 ms after it.
  EXPECT_GE(clock::now() - start, milliseconds(499));
  // An error frees the number: the resend waits for the MCU to answer
  // IF_Clear, and gets not executable when it never does.
  ctl.send(visca_command, 1, kZoom);
  EXPECT_REPLY(ctl, visca_reply, 1u, kNotExecutable);
  EXPECT_GE(clock::now() - start, milliseconds(5499));
  wait_for_mcu(3);
  EXPECT_EQ(mcu_log(), (std::vector<bytes>{kZoom, kIfClear, kIfClear}));
}

// The MCU's first reply comes after the daemon gave up on it, while two
// other controllers' messages wait.
TEST_F(Ipd, LateRepliesReachOnlyTheirControllerAndNothingRunsTwice) {
  ipd_daemon d({"--line", sim.slave_path()});
  udp_controller first(d.udp_port()), other(d.udp_port());
  tcp_controller tcp(d.tcp_port());
  uint32_t seq = 1;
  for (auto late :
       {milliseconds(600), milliseconds(1000), milliseconds(3000)}) {
    SCOPED_TRACE(std::to_string(late.count()) + " ms late");
    const size_t before = sim.log().size();
    sim.script(answer::ack_and_completion().after(late));
    first.send(visca_command, seq, kZoom);
    wait_for_mcu(before + 1); // the others wait behind it
    other.send(visca_inquiry, seq, kVersionInq);
    tcp.send(kVersionInq);
    EXPECT_REPLY(first, visca_reply, seq, kNotExecutable);
    // What it did late is its own, and its resend does not run it again.
    EXPECT_REPLY(first, visca_reply, seq, kAck1);
    EXPECT_REPLY(first, visca_reply, seq, kDone1);
    first.send(visca_command, seq, kZoom);
    EXPECT_REPLY(first, control_command, seq, (bytes{0x0F, 0x01}));
    EXPECT_REPLY(other, visca_reply, seq, kVersionReply);
    EXPECT_EQ(tcp.receive(), kVersionReply);
    fence(other, seq + 1);
    const auto log = mcu_log();
    EXPECT_EQ(std::vector<bytes>(log.begin() + long(before), log.end()),
              (std::vector<bytes>{kZoom, kIfClear, kVersionInq, kVersionInq,
                                  kVersionInq}));
    seq += 2;
  }
}

// A controller that goes in the same wake-up as a reply for it arrives:
// the daemon stopped while both happen, so that it meets them at once.
// The zoom is acknowledged first: a completion has no deadline, so no
// timeout can fire before the stop, however slow the machine.
TEST_F(Ipd, ControllerGoneAsItsReplyArrivesStopsNothing) {
  for (bool line_lost : {false, true}) {
    SCOPED_TRACE(line_lost ? "the line lost while its message waits"
                           : "its completion arrives");
    auto mcu = std::make_unique<mcusim::mcu>();
    mcu->set_default(answer::silence());
    mcu->script(answer::ack());
    ipd_daemon d({"--line", mcu->slave_path()});
    udp_controller other(d.udp_port());
    tcp_controller tcp(d.tcp_port());
    tcp.send(kZoom);
    EXPECT_EQ(tcp.receive(), kAck1);
    if (line_lost) {
      tcp.send(kZoom); // on the line, unanswered, or queued behind a resync
      while (mcu->log().size() < 2)
        std::this_thread::sleep_for(milliseconds(1));
    }
    d.pause();
    if (line_lost) {
      mcu.reset(); // the MCU's side closes: a hang-up
    } else {
      ASSERT_EQ(mcu->inject(kDone1), 3u);
      mcu->script(answer::raw(kVersionReply)); // for the inquiry below
    }
    tcp.close_and_wait();
    d.resume();
    // Still serving, once it has met both: nothing else in that wake-up.
    tcp.wait_until_daemon_closes();
    other.send(visca_inquiry, 1, kVersionInq);
    EXPECT_REPLY(other, visca_reply, 1u,
                 line_lost ? kNotExecutable : kVersionReply);
    EXPECT_EQ(d.stop(), 0);
  }
}

// systemd's readiness protocol: READY=1 once it listens and has tried the
// line, STOPPING=1 when told to stop; a socket that is not there is said.
// The simulated camera behind the service: a controller that zooms sees
// the zoom position move, and an inquiry the camera does not know gets the
// camera's own syntax error.
TEST(IpdCamera, ZoomPositionMovesAfterAZoomOverUdp) {
  mcusim::config cfg;
  cfg.camera_model = true;
  mcusim::mcu sim(cfg);
  ipd_daemon d({"--line", sim.slave_path()});
  udp_controller ctl(d.udp_port());
  const bytes position = {0x81, 0x09, 0x04, 0x47, 0xFF};
  ctl.send(visca_inquiry, 1, position);
  EXPECT_REPLY(ctl, visca_reply, 1, (bytes{0x90, 0x50, 0, 0, 0, 0, 0xFF}));
  ctl.send(visca_command, 2, {0x81, 0x01, 0x04, 0x47, 0, 4, 0, 0, 0xFF});
  EXPECT_REPLY(ctl, visca_reply, 2, kAck1);
  EXPECT_REPLY(ctl, visca_reply, 2, kDone1);
  ctl.send(visca_inquiry, 3, position);
  EXPECT_REPLY(ctl, visca_reply, 3, (bytes{0x90, 0x50, 0, 4, 0, 0, 0xFF}));
  ctl.send(visca_inquiry, 4, {0x81, 0x09, 0x04, 0x4A, 0xFF});
  EXPECT_REPLY(ctl, visca_reply, 4, (bytes{0x90, 0x60, 0x02, 0xFF}));
}

TEST_F(Ipd, TellsTheServiceManagerWhenReadyAndWhenStopping) {
  support::temp_dir dir;
  struct manager {
    std::string variable; // NOTIFY_SOCKET
    bool listens;
  } cases[] = {{dir / "notify", true},
               {"@quelmar-ipd-test-" + std::to_string(::getpid()), true},
               {dir / "nobody", false}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.variable);
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", c.variable.c_str());
    if (a.sun_path[0] == '@')
      a.sun_path[0] = '\0';
    const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) +
                                            c.variable.size());
    ASSERT_EQ(c.listens ? ::bind(fd, reinterpret_cast<sockaddr *>(&a), len) : 0,
              0);
    ::setenv("NOTIFY_SOCKET", c.variable.c_str(), 1);
    auto d = std::make_unique<ipd_daemon>(
        std::vector<std::string>{"--line", sim.slave_path()});
    ::unsetenv("NOTIFY_SOCKET");
    auto next = [&] {
      char buf[256] = {};
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, int(kPatience.count())) != 1)
        return std::string("(nothing)");
      return std::string(buf, size_t(std::max<ssize_t>(
                                  0, ::recv(fd, buf, sizeof buf - 1, 0))));
    };
    if (c.listens) {
      EXPECT_EQ(next(),
                "READY=1\nSTATUS=serving\nMAINPID=" + std::to_string(d->pid()));
      EXPECT_EQ(d->stop(), 0);
      EXPECT_EQ(next(), "STOPPING=1");
    } else {
      EXPECT_GE(d->wait_for_log("cannot tell the service manager"), 0);
    }
    ::close(fd);
  }
}

// Started as root, it drops to the user it is given once it listens: the
// root-owned line is then beyond it. An unknown user is refused.
TEST_F(Ipd, RunsAsTheUserItIsGiven) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root to change users";
  ipd_daemon d({"--line", sim.slave_path(), "--run-as", "nobody"});
  EXPECT_GE(d.wait_for_log("running as nobody"), 0);
  EXPECT_GE(d.wait_for_log("Permission denied"), 0) << "the pty is root's";
  std::ifstream status("/proc/" + std::to_string(d.pid()) + "/status");
  std::string line;
  while (std::getline(status, line) && line.rfind("Uid:", 0) != 0) {
  }
  EXPECT_EQ(line.find("\t0"), std::string::npos) << line;
  // As that user already, it has nothing to do.
  ipd_daemon same({"--line", sim.slave_path(), "--run-as", "root"});
  EXPECT_EQ(same.stop(), 0);
  EXPECT_LT(same.wait_for_log("running as", 0, milliseconds(0)), 0);
  struct refusal {
    const char *user;
    std::vector<std::string> prefix;
    int status;
    const char *says;
  } cases[] = {
      {"no-such-user-here", {}, 2, "no such user"},
      {"root",
       {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"},
       1,
       "Operation not permitted"},
  };
  for (const auto &c : cases) {
    int code = -1;
    const std::string out =
        run_daemon({"--config", "/dev/null", "--udp", "127.0.0.1:0", "--tcp",
                    "127.0.0.1:0", "--run-as", c.user},
                   code, c.prefix);
    EXPECT_EQ(code, c.status) << out;
    EXPECT_NE(out.find(std::string("cannot run as ") + c.user + ": " + c.says),
              std::string::npos)
        << out;
  }
}

TEST_F(Ipd, HalfClosedConnectionGetsItsRepliesThenIsClosed) {
  sim.set_completion_gap(milliseconds(200));
  ipd_daemon d({"--line", sim.slave_path()});
  tcp_controller tcp(d.tcp_port());
  tcp.send(kZoom);
  tcp.half_close();
  EXPECT_EQ(tcp.receive(), kAck1);
  EXPECT_EQ(tcp.receive(), kDone1);
  EXPECT_TRUE(tcp.closed_by_daemon());
}

TEST_F(Ipd, OnlyAllowedAddressesReachTheMcu) {
  ipd_daemon d({"--line", sim.slave_path(), "--allow", "127.0.0.2/32",
                "--allow", "::1"});
  udp_controller denied(d.udp_port()), allowed(d.udp_port(), "127.0.0.2");
  denied.send(visca_command, 1, kZoom);
  tcp_controller tcp(d.tcp_port()); // from 127.0.0.1
  EXPECT_TRUE(tcp.closed_by_daemon());
  // Datagrams are taken in order: the denied one before this.
  fence(allowed, 2);
  EXPECT_EQ(denied.receive(milliseconds(0)), std::nullopt);
  EXPECT_EQ(mcu_log(), std::vector<bytes>{kVersionInq});
  EXPECT_GE(d.wait_for_log(
                "datagram from 127.0.0.1:" + std::to_string(denied.port()) +
                ": not an allowed address, dropped"),
            0);
  EXPECT_EQ(d.stop(), 0);
  EXPECT_GE(d.wait_for_log("denied 2"), 0);
}

TEST_F(Ipd, GarbageFromTheMcuIsSkipped) {
  sim.script(answer::garbage().then(answer::raw({0x90, 0x41, 0xFF})));
  ipd_daemon d({"--line", sim.slave_path()});
  tcp_controller tcp(d.tcp_port());
  tcp.send(kZoom);
  EXPECT_EQ(tcp.receive(), kAck1);
  EXPECT_GE(d.wait_for_log("noise from the MCU"), 0);
}

TEST_F(Ipd, LineThatGoesAwayAndComesBack) {
  support::temp_dir dir;
  const std::string link = dir / "ttyPS1";
  auto point_at = [&](const std::string &target) {
    ASSERT_EQ(::symlink(target.c_str(), (dir / "new").c_str()), 0);
    ASSERT_EQ(::rename((dir / "new").c_str(), link.c_str()), 0);
  };

  // Missing at start: the daemon serves regardless.
  ipd_daemon d({"--line", link});
  EXPECT_GE(d.wait_for_log("cannot open the MCU's line"), 0);
  udp_controller ctl(d.udp_port());
  ctl.send(control_command, 1, {0x01});
  EXPECT_REPLY(ctl, control_reply, 1u, (bytes{0x01}));
  ctl.send(visca_command, 2, kZoom);
  EXPECT_REPLY(ctl, visca_reply, 2u, kNotExecutable);

  point_at(sim.slave_path());
  ASSERT_GE(d.wait_for_log("open at 115200 baud"), 0);
  ctl.send(visca_command, 3, kZoom);
  EXPECT_REPLY(ctl, visca_reply, 3u, kAck1);
  EXPECT_REPLY(ctl, visca_reply, 3u, kDone1);

  // The MCU hangs up with a message on the line: that message gets
  // not executable, and so does what follows until the line is back.
  sim.script(answer::silence().hang_up_after(0));
  const size_t seen = d.log().size();
  ctl.send(visca_command, 4, kZoom);
  EXPECT_REPLY(ctl, visca_reply, 4u, kNotExecutable);
  ASSERT_GE(d.wait_for_log("lost the MCU's line", seen), 0);
  ctl.send(visca_command, 5, kZoom);
  EXPECT_REPLY(ctl, visca_reply, 5u, kNotExecutable);

  mcusim::mcu second;
  point_at(second.slave_path());
  ASSERT_GE(d.wait_for_log("open at 115200 baud", seen), 0);
  ctl.send(visca_command, 6, kZoom);
  EXPECT_REPLY(ctl, visca_reply, 6u, kAck1);
  EXPECT_EQ(second.log().size(), 1u);
}

TEST_F(Ipd, ViscaSendShowsEveryReplyWithItsNumber) {
  sim.set_completion_gap(milliseconds(20));
  ipd_daemon d({"--line", sim.slave_path()});
  const std::string udp = "127.0.0.1:" + std::to_string(d.udp_port());
  int status = -1;
  EXPECT_EQ(run_send({"--udp", udp, "--seq", "4294967295", "command", "04",
                      "07", "02"},
                     status),
            "sent: 81 01 04 07 02 FF (UDP " + udp +
                ", sequence 4294967295)\n"
                "reply: 90 41 FF (sequence 4294967295, acknowledged, socket "
                "1)\n"
                "reply: 90 51 FF (sequence 4294967295, completed, socket 1)\n");
  EXPECT_EQ(status, 0);
  const std::string tcp = "127.0.0.1:" + std::to_string(d.tcp_port());
  EXPECT_EQ(run_send({"--tcp", tcp, "inquiry", "00", "02"}, status),
            "sent: 81 09 00 02 FF (TCP " + tcp +
                ")\n"
                "reply: 90 50 00 20 00 01 00 16 02 FF (inquiry reply)\n");
  EXPECT_EQ(status, 0);
  sim.script(answer::error());
  EXPECT_EQ(run_send({"--udp", udp, "command", "04", "07", "02"}, status),
            "sent: 81 01 04 07 02 FF (UDP " + udp +
                ", sequence 1)\n"
                "reply: 90 60 02 FF (sequence 1, error 02: syntax, socket "
                "0)\n");
  EXPECT_EQ(status, 1);
  // RESET is answered by the daemon itself, with the RESET's own number.
  EXPECT_EQ(run_send({"--udp", udp, "--seq", "9", "reset"}, status),
            "sent: 01 (UDP " + udp +
                ", sequence 9)\n"
                "control: 01 (sequence 9, RESET acknowledged)\n");
  EXPECT_EQ(status, 0);
  run_send({"--tcp", tcp, "reset"}, status);
  EXPECT_EQ(status, 2);
  const std::string timed =
      run_send({"--udp", udp, "--times", "inquiry", "00", "02"}, status);
  EXPECT_NE(timed.find(" (sequence 1, inquiry reply) after "),
            std::string::npos)
      << timed;
  EXPECT_EQ(timed.substr(timed.size() - 4), " ms\n") << timed;
}

TEST_F(Ipd, ListensOnIpv6Too) {
  ipd_daemon d({"--line", sim.slave_path(), "--udp", "[::1]:0"});
  const int at = d.wait_for_log("UDP [::1]:");
  ASSERT_GE(at, 0);
  const std::string line = d.log()[static_cast<size_t>(at)];
  const int port = std::stoi(line.substr(line.rfind(':') + 1));
  const int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in6 to{};
  to.sin6_family = AF_INET6;
  to.sin6_port = htons(static_cast<uint16_t>(port));
  to.sin6_addr = in6addr_loopback;
  for (uint16_t type : {uint16_t{0x0300}, uint16_t{visca_inquiry}}) {
    const auto dg = viscaip::build(type, 5, kVersionInq);
    ASSERT_EQ(::sendto(fd, dg.data(), dg.size(), 0,
                       reinterpret_cast<sockaddr *>(&to), sizeof to),
              static_cast<ssize_t>(dg.size()));
  }
  uint8_t buf[64];
  ASSERT_EQ(::recv(fd, buf, sizeof buf, 0), 10); // 0F 02 for the bad one
  ASSERT_EQ(::recv(fd, buf, sizeof buf, 0), 18);
  EXPECT_EQ(mcusim::hex(bytes(buf + 8, buf + 18)), mcusim::hex(kVersionReply));
  ::close(fd);
  EXPECT_GE(d.wait_for_log("datagram from [::1]:"), 0);
}

TEST_F(Ipd, AddressesItCannotListenOnStopItWithAReason) {
  ipd_daemon first({"--line", sim.slave_path()});
  const std::string udp = "127.0.0.1:" + std::to_string(first.udp_port());
  const std::string tcp = "127.0.0.1:" + std::to_string(first.tcp_port());
  struct refusal {
    std::vector<std::string> args;
    std::string says;
  } cases[] = {
      {{"--udp", udp, "--tcp", "127.0.0.1:0"}, udp + ": Address already"},
      {{"--udp", "127.0.0.1:0", "--tcp", tcp}, tcp + ": Address already"},
      {{"--udp", "localhost:0"}, "localhost:0: "}, // numeric only
  };
  for (const auto &c : cases) {
    std::vector<std::string> all = {"--config", "/dev/null", "--line",
                                    sim.slave_path()};
    all.insert(all.end(), c.args.begin(), c.args.end());
    int status = -1;
    const std::string out = run_daemon(all, status);
    EXPECT_EQ(status, 1) << out;
    EXPECT_NE(out.find("cannot listen on " + c.says), std::string::npos) << out;
  }
}

TEST_F(Ipd, TakesTheLineExclusively) {
  ipd_daemon d({"--line", sim.slave_path()});
  size_t seen = 0;
  ASSERT_GE(d.wait_for_log("open at 115200 baud", seen), 0);
  // Another opener without capabilities (as the probe's unit runs) meets
  // the flag: root with no effective capability, so that the file's mode
  // still lets it in and only the exclusive check can turn it away.
  // 0: EBUSY; 1: it opened the line; 2: another error; 3: capset failed.
  const std::string path = sim.slave_path();
  auto open_without_capabilities = [&] {
    const pid_t child = ::fork();
    if (child == 0) {
      __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
      __user_cap_data_struct none[2] = {};
      if (::syscall(SYS_capset, &header, none) != 0)
        ::_exit(3);
      const int fd =
          ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
      ::_exit(fd >= 0 ? 1 : errno == EBUSY ? 0 : 2);
    }
    int status = -1;
    EXPECT_EQ(::waitpid(child, &status, 0), child);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  EXPECT_EQ(open_without_capabilities(), 0);
  // Given up when it stops, though the MCU's side keeps the tty open: a
  // daemon started again can take it.
  EXPECT_EQ(d.stop(), 0);
  EXPECT_EQ(open_without_capabilities(), 1);
}

TEST_F(Ipd, ALineThatIsNoTerminalIsSaidSoAndItsEndNoticed) {
  ipd_daemon d({"--line", "/dev/null"});
  EXPECT_GE(d.wait_for_log("/dev/null is not a terminal"), 0);
  EXPECT_GE(d.wait_for_log("lost the MCU's line /dev/null: end of file"), 0);
}

TEST_F(Ipd, TcpConnectionsAreBoundedAndAPeerThatDoesNotReadIsClosed) {
  ipd_daemon d({"--line", sim.slave_path()});
  // A peer that reads slowly gets all its replies; one that stops
  // reading is closed once 64 KiB of them wait. Each "81 FF" is a
  // message of the wrong length, answered at once with 4 bytes.
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int small = 4096;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(d.tcp_port()));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to), 0);
  auto frames = [](size_t n) {
    bytes b;
    for (size_t i = 0; i < n; ++i)
      b.insert(b.end(), {0x81, 0xFF});
    return b;
  };
  // 48 KB of replies, fewer than the bound alone.
  const bytes some = frames(12000);
  ASSERT_EQ(::send(fd, some.data(), some.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(some.size()));
  size_t got = 0;
  uint8_t buf[4096];
  while (got < 12000 * 4) {
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    ASSERT_GT(n, 0);
    got += static_cast<size_t>(n);
  }
  EXPECT_EQ(got, 12000u * 4);
  const bytes lots = frames(100000);
  // The daemon closes the connection part-way: the send may then fail.
  [[maybe_unused]] ssize_t sent =
      ::send(fd, lots.data(), lots.size(), MSG_NOSIGNAL);
  EXPECT_GE(d.wait_for_log("does not read its replies: closed"), 0);
  ::close(fd);
  // The daemon closed that one itself, so 16 others are served now.
  std::vector<std::unique_ptr<tcp_controller>> conns;
  for (int i = 0; i < 16; ++i) {
    conns.push_back(std::make_unique<tcp_controller>(d.tcp_port()));
    conns.back()->send(kVersionInq); // each is served
    EXPECT_EQ(conns.back()->receive(), kVersionReply);
  }
  for (int i = 0; i < 2; ++i) {
    tcp_controller extra(d.tcp_port());
    // Closed at once: its send may already fail, and no reply comes.
    extra.send_unchecked(kVersionInq);
    EXPECT_EQ(extra.receive(), std::nullopt) << "the 17th was served";
  }
  EXPECT_GE(d.wait_for_log("refusing TCP connections beyond 16"), 0);
  // A connection reset with its reply unread goes; the rest stay served.
  const int rst = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  conns.pop_back();
  // Its end reached the daemon before this inquiry did, so it is dealt
  // with once the reply is back, and a place is free.
  conns.front()->send(kVersionInq);
  EXPECT_EQ(conns.front()->receive(), kVersionReply);
  ASSERT_EQ(::connect(rst, reinterpret_cast<sockaddr *>(&to), sizeof to), 0);
  ASSERT_EQ(::send(rst, kVersionInq.data(), kVersionInq.size(), 0), 5);
  uint8_t one;
  ASSERT_EQ(::recv(rst, &one, 1, MSG_PEEK), 1);
  const linger reset{1, 0};
  ::setsockopt(rst, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  ::close(rst);
  conns.front()->send(kVersionInq);
  EXPECT_EQ(conns.front()->receive(), kVersionReply);
  const auto log = d.log();
  EXPECT_EQ(std::count_if(log.begin(), log.end(),
                          [](const std::string &l) {
                            return l.find("refusing") != std::string::npos;
                          }),
            1)
      << "one refusal said in 10 s";
}

TEST_F(Ipd, OptionsFromTheConfigurationFile) {
  support::temp_dir dir;
  support::write_file(dir / "conf", "LINE=" + sim.slave_path() +
                                        "\nSPEED=9600\nUDP=127.0.0.1:0\n"
                                        "TCP=\"127.0.0.1:0\"\n");
  // A later --config wins over the helper's /dev/null.
  ipd_daemon d({"--config", dir / "conf"});
  EXPECT_GE(d.wait_for_log("open at 9600 baud"), 0);
  udp_controller ctl(d.udp_port());
  ctl.send(visca_command, 1, kZoom);
  // The MCU answers only at 115200: 9600 gets silence.
  EXPECT_REPLY(ctl, visca_reply, 1u, kNotExecutable);
  ASSERT_GE(sim.log().size(), 1u);
  EXPECT_EQ(mcusim::baud_of(sim.log()[0].frame.speed), 9600u);
}

} // namespace
