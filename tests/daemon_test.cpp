// The daemon's real event loop over a simulated world (daemon_world.h):
// orderings of I/O in one wake-up, bounds per wake-up, and the failures of
// its system calls, the same way every time.
#include "daemon_world.h"

#include <gtest/gtest.h>

namespace {

using daemon_world::bytes;
using daemon_world::world;
using viscaip::visca_command;
using viscaip::visca_inquiry;

const bytes kZoom = {0x81, 0x01, 0x04, 0x07, 0x02, 0xFF};
const bytes kAck = {0x90, 0x41, 0xFF};
const bytes kNotExecutable = {0x90, 0x60, 0x41, 0xFF};
bytes inquiry(uint8_t id) { return {0x81, 0x09, 0x04, id, 0xFF}; }
bytes answer(uint8_t id) { return {0x90, 0x50, id, 0xFF}; }

struct Daemon : ::testing::Test {
  world w;
  void SetUp() override {
    w.on_violation = [](const std::string &what) { ADD_FAILURE() << what; };
  }
  // Runs the loop through steps, one a wake-up, and stops it after them.
  void run(std::vector<std::function<void(world &)>> steps) {
    size_t next = 0;
    w.step = [&](world &x) {
      if (next == steps.size())
        return false;
      steps[next++](x);
      return true;
    };
    EXPECT_EQ(daemon_world::run(w), 0);
    EXPECT_TRUE(w.logged("stopping on")) << "it ended otherwise";
  }
  static std::function<void(world &)> idle() {
    return [](world &) {};
  }
};

// A connection that goes in the same wake-up as a reply for it arrives,
// however it goes, ends nothing but itself; a half-closed one gets what it
// is owed, for kHalfCloseLingerMs at most.
TEST_F(Daemon, ConnectionGoneAsItsReplyArrives) {
  const bytes kDone = {0x90, 0x51, 0xFF};
  const bytes two_failed = {0x90, 0x60, 0x41, 0xFF, 0x90, 0x60, 0x41, 0xFF};
  struct ending {
    const char *what;
    bool reset;     // RST, else FIN
    int line_error; // the line lost in the same wake-up, else an ACK
    bool mcu_after; // the MCU answers what follows
    bytes gets;     // what the connection got a second later
    bool lingers;   // still open then: owed a completion
  } cases[] = {
      {"ACK and FIN",
       false,
       0,
       true,
       {0x90, 0x41, 0xFF, 0x90, 0x41, 0xFF, 0x90, 0x51, 0xFF},
       false},
      {"ACK and FIN, no completion",
       false,
       0,
       false,
       {0x90, 0x41, 0xFF, 0x90, 0x60, 0x41, 0xFF},
       true},
      {"ACK and RST", true, 0, true, {}, false},
      {"line error and FIN", false, EIO, true, two_failed, false},
      {"line's end and RST", true, -1, true, {}, false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    w = world{};
    SetUp();
    w.mcu.on = false;
    int fd = 0;
    run({[&](world &x) { fd = x.connect(2); },
         [&](world &x) {
           auto &in = x.conns[fd].in;
           in.insert(in.end(), kZoom.begin(), kZoom.end());
           in.insert(in.end(), kZoom.begin(), kZoom.end());
         },
         [&](world &x) {
           if (c.line_error)
             x.line_error = c.line_error;
           else
             x.line_in.insert(x.line_in.end(), kAck.begin(), kAck.end());
           (c.reset ? x.conns[fd].reset : x.conns[fd].fin) = true;
           x.mcu.on = c.mcu_after;
         },
         // Another controller is still served, at once or once the line is
         // back.
         [](world &x) { x.datagram(3, visca_inquiry, 1, inquiry(3)); },
         [](world &x) { x.advance(1000); }, idle(),
         [&](world &x) {
           EXPECT_EQ(x.conns[fd].got, c.gets);
           EXPECT_EQ(x.conns[fd].closed, !c.lingers);
           x.advance(ipd::kHalfCloseLingerMs);
         },
         [&](world &x) { EXPECT_TRUE(x.conns[fd].closed); }});
    EXPECT_EQ(w.replies_to(3).size(), 1u);
  }
}

// Whatever floods one socket, each wake-up reads a bounded batch of it
// (the world fails the test otherwise), and the others are served.
TEST_F(Daemon, ReadsAreBoundedPerWakeUpAndOthersServedMeanwhile) {
  w.mcu.delay = 0;
  int flooder = 0, other = 0;
  bytes flood;
  for (int i = 0; i < 60000; ++i) {
    const bytes q = inquiry(2);
    flood.insert(flood.end(), q.begin(), q.end());
  }
  run({[&](world &x) {
         flooder = x.connect(2);
         other = x.connect(4);
       },
       [&](world &x) {
         x.conns[flooder].in.assign(flood.begin(), flood.end());
         x.conns[other].in.assign({0x81, 0x09, 0x04, 0x04, 0xFF});
         for (uint32_t i = 0; i < 200; ++i)
           x.datagram(1, visca_inquiry, i, inquiry(1));
         x.datagram(3, visca_inquiry, 1, inquiry(3));
       },
       idle(), idle(), idle(), idle(), idle(), idle(), idle(), idle(),
       [&](world &x) {
         // Served while the flood still waits to be read.
         EXPECT_FALSE(x.conns[flooder].in.empty());
         EXPECT_EQ(x.replies_to(3), std::vector<bytes>{answer(3)});
         EXPECT_EQ(x.conns[other].got, answer(4));
       }});
}

// The line's driver takes a byte at a time, or nothing for a while; a
// full UDP socket takes no reply for a while; accept fails: everything
// still gets through, and a failed accept does not make the loop spin.
TEST_F(Daemon, ShortWritesFullSocketsAndAcceptFailures) {
  w.write_limit = 1;
  w.line_full = true;
  w.udp_full = true;
  run({[](world &x) {
         x.datagram(1, visca_command, 7, kZoom);
         x.accept_error = EMFILE;
       },
       [](world &x) {
         EXPECT_TRUE(x.line_written.empty());
         EXPECT_GT(x.last_timeout, 0) << "the failed accept pauses it";
         EXPECT_LE(x.last_timeout, 100);
         x.line_full = false;
       },
       [](world &x) {
         EXPECT_EQ(x.to_mcu, std::vector<bytes>{kZoom});
         x.advance(5);
       },
       idle(),
       [](world &x) {
         EXPECT_TRUE(x.sent.empty());
         x.udp_full = false;
       },
       idle()});
  EXPECT_EQ(w.replies_to(1), (std::vector<bytes>{kAck, {0x90, 0x51, 0xFF}}));
  EXPECT_TRUE(w.logged("cannot accept a TCP connection"));
}

// A message the line's driver has not taken yet is not given up on; a
// driver that takes nothing for kLineStuckMs is a line lost.
TEST_F(Daemon, LineThatTakesNothingIsWaitedForThenLost) {
  for (bool drains : {true, false}) {
    SCOPED_TRACE(drains ? "it drains after a while" : "it never drains");
    w = world{};
    SetUp();
    w.line_full = true;
    // Past the answer's timeout, short of the line's.
    run({[](world &x) { x.datagram(1, visca_command, 1, kZoom); },
         [&](world &x) {
           x.advance(ipd::kLineStuckMs * 3 / 4);
           x.line_full = !drains;
         },
         idle(), [](world &x) { x.advance(5); }, idle()});
    const std::vector<bytes> done = {kAck, {0x90, 0x51, 0xFF}};
    const std::vector<bytes> lost = {kNotExecutable};
    EXPECT_EQ(w.replies_to(1), drains ? done : lost);
    EXPECT_EQ(w.logged("it has taken no byte for"), !drains);
  }
}

// Replies a UDP socket will not take wait, in order, up to a bound per
// controller; one refused outright is dropped. Both are counted.
TEST_F(Daemon, UnsentDatagramsWaitBoundedPerController) {
  const bytes odd = viscaip::build(0x0300, 1, inquiry(1)); // answered 0F 02
  run({[&](world &x) {
         x.udp_refusals = {EPERM};
         x.datagrams.push_back({2, odd});
       },
       [&](world &x) {
         x.udp_full = true;
         for (int i = 0; i < 30; ++i)
           x.datagrams.push_back({1, odd});
       },
       [](world &x) {
         EXPECT_TRUE(x.sent.empty());
         x.udp_full = false;
         x.udp_refusals = {ENOBUFS}; // still full once after all
       },
       idle(), idle()});
  EXPECT_EQ(w.replies_to(1),
            std::vector<bytes>(ipd::kUdpBacklog, {0x0F, 0x02}));
  EXPECT_TRUE(w.replies_to(2).empty());
  EXPECT_TRUE(w.logged("10.0.0.2:5002 could not be sent: Operation not"));
  EXPECT_TRUE(w.logged("unsent datagrams 15"));
}

// A peer that resets while its replies wait, or while half-closed, and
// one that reads nothing while it floods, are closed; others go on.
TEST_F(Daemon, BrokenAndSilentConnectionsAreClosed) {
  int waiting = 0, half = 0, deaf = 0;
  bytes bad; // each "81 FF" is answered at once with 4 bytes
  for (int i = 0; i < 40000; ++i)
    bad.insert(bad.end(), {0x81, 0xFF});
  w.mcu.on = false;
  run({[&](world &x) {
         waiting = x.connect(2);
         half = x.connect(3);
         deaf = x.connect(4);
       },
       [&](world &x) {
         x.conns[waiting].full = true;
         x.conns[waiting].in.assign({0x81, 0xFF});
         x.conns[half].in.assign(kZoom.begin(), kZoom.end());
         x.conns[deaf].full = true;
         x.conns[deaf].in.assign(bad.begin(), bad.end());
       },
       [&](world &x) {
         x.line_in.assign(kAck.begin(), kAck.end()); // half owns socket 1
         x.conns[half].fin = true;
       },
       [&](world &x) {
         EXPECT_FALSE(x.conns[half].closed) << "owed the completion";
         x.conns[half].reset = true;
         x.conns[waiting].full = false;
         x.conns[waiting].reset = true;
       },
       idle(), idle(), idle(), idle()});
  for (int fd : {waiting, half, deaf})
    EXPECT_TRUE(w.conns[fd].closed) << fd;
  EXPECT_TRUE(w.logged("does not read its replies: closed"));
}

// Only allowed peers reach the relay; the others are said once a kind.
TEST_F(Daemon, OnlyAllowedPeersAreServed) {
  ipd::options o;
  o.allow = {"10.0.0.1/32"};
  int denied = 0;
  w.step = [&](world &x) {
    if (x.polls == 1) {
      x.datagram(1, visca_inquiry, 1, inquiry(1));
      x.datagram(2, visca_inquiry, 1, inquiry(2));
      denied = x.connect(3);
    }
    return x.polls < 4;
  };
  EXPECT_EQ(daemon_world::run(w, o), 0);
  EXPECT_EQ(w.replies_to(1), std::vector<bytes>{answer(1)});
  EXPECT_TRUE(w.replies_to(2).empty());
  EXPECT_TRUE(w.conns[denied].closed);
  EXPECT_TRUE(w.logged("datagram from 10.0.0.2:5002: not an allowed address"));
  EXPECT_TRUE(w.logged("TCP connection from 10.0.0.3:5003: not an allowed"));
  EXPECT_EQ(w.to_mcu, std::vector<bytes>{inquiry(1)});
}

// The line missing at start, then back: messages get not executable at
// once meanwhile, and are carried out once it is back.
TEST_F(Daemon, LineMissingThenBack) {
  w.line_openable = false;
  run({[](world &x) { x.datagram(1, visca_command, 1, kZoom); }, idle(),
       [](world &x) {
         EXPECT_EQ(x.replies_to(1), std::vector<bytes>{kNotExecutable});
         x.line_openable = true;
         x.advance(ipd::kReopenIntervalMs);
       },
       [](world &x) { x.datagram(1, visca_command, 2, kZoom); },
       [](world &x) { x.advance(5); }, idle()});
  EXPECT_EQ(w.replies_to(1).size(), 3u);
  EXPECT_TRUE(w.logged("cannot open the MCU's line"));
}

namespace identity {

// A scripted system: which call fails, with what.
struct script {
  bool known = true;
  int lookup_error = 0;
  uid_t euid = 0;
  int fails_at = 0; // 1 initgroups, 2 setgid, 3 setuid, 4 none but root
                    // can be taken back (setuid(0) succeeds)
  std::vector<std::string> said;
} now;
passwd user = [] {
  passwd p{};
  p.pw_name = const_cast<char *>("quelmar-visca");
  p.pw_uid = 100;
  p.pw_gid = 20;
  return p;
}();
int step(int at) {
  if (now.fails_at != at)
    return 0;
  errno = EPERM;
  return -1;
}
const ipd::identity_calls kCalls = {
    [](const char *) -> passwd * {
      errno = now.lookup_error;
      return now.known ? &user : nullptr;
    },
    [] { return now.euid; },
    [](const char *, gid_t) { return step(1); },
    [](gid_t) { return step(2); },
    [](uid_t uid) { return uid == 0 ? (now.fails_at == 4 ? 0 : -1) : step(3); },
    [](const std::string &text) { now.said.push_back(text); }};

} // namespace identity

TEST(Become, TakesTheUserForGoodOrSaysWhyNot) {
  struct take {
    const char *what;
    identity::script given;
    int status;
    const char *says; // "" when nothing
  } cases[] = {
      {"unknown", {false, 0, 0, 0, {}}, 2, "no such user"},
      {"lookup fails", {false, EIO, 0, 0, {}}, 2, "Input/output error"},
      {"already", {true, 0, 100, 0, {}}, 0, ""},
      {"no groups", {true, 0, 0, 1, {}}, 1, "Operation not permitted"},
      {"no group", {true, 0, 0, 2, {}}, 1, "Operation not permitted"},
      {"no user", {true, 0, 0, 3, {}}, 1, "Operation not permitted"},
      {"root comes back", {true, 0, 0, 4, {}}, 1, "Operation not permitted"},
      {"done", {true, 0, 0, 0, {}}, 0, "running as quelmar-visca (uid 100"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    identity::now = c.given;
    EXPECT_EQ(ipd::become("quelmar-visca", identity::kCalls), c.status);
    const std::string said =
        identity::now.said.empty() ? "" : identity::now.said.front();
    EXPECT_EQ(said.empty(), *c.says == '\0') << said;
    EXPECT_NE(said.find(c.says), std::string::npos) << said;
  }
}

} // namespace
