// The network camera's rules, driven without sockets or a tty: datagrams
// and line bytes in, replies and line writes out.
#include "relay.h"

#include <arpa/inet.h>
#include <functional>
#include <gtest/gtest.h>

namespace {

using namespace viscaip;

const bytes kZoom = {0x81, 0x01, 0x04, 0x07, 0x02, 0xFF};
const bytes kMove = {0x81, 0x01, 0x06, 0x02, 0x18, 0x14, 0x00, 0x00,
                     0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF};
const bytes kStop = {0x81, 0x01, 0x06, 0x01, 0x01, 0x01, 0x03, 0x03, 0xFF};
const bytes kInq = {0x81, 0x09, 0x04, 0x47, 0xFF};
const bytes kAck = {0x90, 0x41, 0xFF};

struct reply {
  uint16_t type;
  uint32_t sequence;
  bytes payload;
  int port;
  bool operator==(const reply &o) const {
    return type == o.type && sequence == o.sequence && payload == o.payload &&
           port == o.port;
  }
};
std::ostream &operator<<(std::ostream &os, const reply &r) {
  os << std::hex << r.type << " seq " << std::dec << r.sequence << " to "
     << r.port << ":";
  for (auto b : r.payload)
    os << ' ' << std::hex << int(b);
  return os << std::dec;
}

struct RelayTest : ::testing::Test {
  relay_limits lim;
  std::unique_ptr<relay> r;
  outbox out;
  ms now = 1000;

  void SetUp() override { start(); }
  void start() {
    r = std::make_unique<relay>(lim);
    r->line_up(now, out);
  }

  static udp_peer peer(int port) {
    udp_peer p;
    p.socket = 3;
    auto *a = reinterpret_cast<sockaddr_in *>(&p.addr);
    a->sin_family = AF_INET;
    a->sin_port = htons(static_cast<uint16_t>(port));
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    p.len = sizeof(sockaddr_in);
    return p;
  }
  void raw(int port, const bytes &d) {
    out.clear();
    r->datagram(peer(port), d.data(), d.size(), now, out);
  }
  void send(int port, uint32_t seq, const bytes &msg,
            uint16_t type = visca_command) {
    raw(port, build(type, seq, msg));
  }
  void mcu(const bytes &b) {
    out.clear();
    r->line_bytes(b.data(), b.size(), now, out);
  }
  std::vector<reply> replies() const {
    std::vector<reply> v;
    for (const auto &d : out.datagrams) {
      datagram g;
      EXPECT_EQ(parse(d.data.data(), d.data.size(), g), header_fault::none);
      const auto *a = reinterpret_cast<const sockaddr_in *>(&d.to.addr);
      v.push_back({g.type, g.sequence, bytes(g.payload, g.payload + g.length),
                   ntohs(a->sin_port)});
    }
    return v;
  }
  static reply visca(int port, uint32_t seq, bytes b) {
    return {visca_reply, seq, std::move(b), port};
  }
  static reply acked(int port, uint32_t seq) {
    return {control_reply, seq, {0x01}, port};
  }
  static reply control(int port, uint32_t seq, bytes b) {
    return {control_command, seq, std::move(b), port};
  }
};

TEST(ViscaIp, HeaderAndMessageChecks) {
  const bytes d = build(visca_inquiry, 0xA1B2C3D4, kInq);
  EXPECT_EQ(d, (bytes{0x01, 0x10, 0x00, 0x05, 0xA1, 0xB2, 0xC3, 0xD4, 0x81,
                      0x09, 0x04, 0x47, 0xFF}));
  datagram g;
  ASSERT_EQ(parse(d.data(), d.size(), g), header_fault::none);
  EXPECT_EQ(g.type, visca_inquiry);
  EXPECT_EQ(g.sequence, 0xA1B2C3D4u);
  EXPECT_EQ(bytes(g.payload, g.payload + g.length), kInq);
  EXPECT_EQ(parse(d.data(), 7, g), header_fault::short_header);
  EXPECT_EQ(parse(d.data(), d.size() - 1, g), header_fault::bad_length);
  EXPECT_EQ(parse(d.data(), 8, g), header_fault::bad_length);
  const bytes empty = {0x01, 0x00, 0x00, 0x00, 0, 0, 0, 1};
  EXPECT_EQ(parse(empty.data(), empty.size(), g), header_fault::bad_length);

  auto check = [](const bytes &m) { return check_message(m.data(), m.size()); };
  EXPECT_EQ(check(kZoom), message_fault::none);
  EXPECT_EQ(check({0x87, 0x09, 0xFF}), message_fault::none);
  EXPECT_EQ(check({0x88, 0x01, 0x00, 0x01, 0xFF}), message_fault::syntax);
  EXPECT_EQ(check({0x80, 0x01, 0x00, 0x01, 0xFF}), message_fault::syntax);
  EXPECT_EQ(check({0x81, 0x01, 0x04, 0x07, 0x02}), message_fault::syntax);
  EXPECT_EQ(check({0x81, 0x09, 0xFF, 0x81, 0x09, 0xFF}), message_fault::syntax);
  EXPECT_EQ(check({0x81, 0xFF}), message_fault::length);
  bytes long_one(17, 0x00);
  long_one[0] = 0x81;
  long_one[16] = 0xFF;
  EXPECT_EQ(check(long_one), message_fault::length);
}

TEST(ViscaIp, FramerCutsAtFFSkipsOverlongRunsAndSyncsOnReplies) {
  framer f(4);
  std::vector<std::pair<framer::event, bytes>> seen;
  auto take = [&](framer::event e, const bytes &b) { seen.push_back({e, b}); };
  const bytes in = {0x81, 0x09, 0xFF, 1, 2, 3, 4, 5, 0xFF, 0x81, 0xFF};
  f.feed(in.data(), 2, take); // split across calls
  f.feed(in.data() + 2, in.size() - 2, take);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].second, (bytes{0x81, 0x09, 0xFF}));
  EXPECT_EQ(seen[1].first, framer::event::overlong);
  EXPECT_EQ(seen[2].second, (bytes{0x81, 0xFF}));

  framer line(16, true);
  seen.clear();
  const bytes noisy = {0x00, 0x13, 0xFF, 0x90, 0x41, 0xFF};
  line.feed(noisy.data(), noisy.size(), take);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].second, (bytes{0x90, 0x41, 0xFF}));
  EXPECT_EQ(line.noise(), 3u);
}

TEST_F(RelayTest, CommandGoesOutOnceAndEveryReplyComesBackWithItsNumber) {
  send(5000, 7, kZoom);
  EXPECT_EQ(out.line, kZoom);
  EXPECT_TRUE(out.datagrams.empty());
  mcu({0x90, 0x41, 0xFF, 0x90});
  EXPECT_EQ(replies(), std::vector<reply>{visca(5000, 7, {0x90, 0x41, 0xFF})});
  mcu({0x51, 0xFF});
  EXPECT_EQ(replies(), std::vector<reply>{visca(5000, 7, {0x90, 0x51, 0xFF})});
  EXPECT_EQ(r->deadline(), -1) << "nothing on the line: no wake-up due";
}

TEST_F(RelayTest, OneMessageOnTheLineAtATimeAndControllersTakeTurns) {
  send(5000, 1, kZoom);
  EXPECT_EQ(out.line, kZoom);
  send(5000, 2, kInq);
  send(6000, 1, kMove);
  send(5000, 3, kStop);
  EXPECT_TRUE(out.line.empty()) << "the first message has no reply yet";
  EXPECT_EQ(r->queued(), 3u);
  mcu({0x90, 0x41, 0xFF});
  EXPECT_EQ(out.line, kInq);
  mcu({0x90, 0x50, 0x02, 0xFF});
  EXPECT_EQ(replies(),
            std::vector<reply>{visca(5000, 2, {0x90, 0x50, 0x02, 0xFF})});
  EXPECT_EQ(out.line, kMove) << "the other controller's turn";
  mcu({0x90, 0x42, 0xFF});
  EXPECT_EQ(out.line, kStop);
}

TEST_F(RelayTest, RepliesReadBeforeAMessageWasSentAreNotItsReplies) {
  send(5000, 1, kZoom);
  send(6000, 1, kStop);
  // Both arrive in one read: the second left the MCU before the stop
  // was written, so it cannot answer the stop.
  mcu({0x90, 0x41, 0xFF, 0x90, 0x42, 0xFF});
  EXPECT_EQ(out.line, kStop);
  EXPECT_EQ(replies(), std::vector<reply>{visca(5000, 1, kAck)});
  EXPECT_EQ(r->counters().unsolicited, 1u);
  mcu({0x90, 0x42, 0xFF});
  EXPECT_EQ(replies(), std::vector<reply>{visca(6000, 1, {0x90, 0x42, 0xFF})});
}

TEST_F(RelayTest, CompletionsAndErrorsFollowTheirSocketsOwner) {
  send(5000, 10, kMove);
  mcu({0x90, 0x41, 0xFF});
  send(6000, 20, kStop);
  EXPECT_EQ(out.line, kStop) << "a stop gets through while a move runs";
  mcu({0x90, 0x42, 0xFF});
  EXPECT_EQ(replies(), std::vector<reply>{visca(6000, 20, {0x90, 0x42, 0xFF})});
  mcu({0x90, 0x52, 0xFF, 0x90, 0x61, 0x41, 0xFF});
  EXPECT_EQ(replies(),
            (std::vector<reply>{visca(6000, 20, {0x90, 0x52, 0xFF}),
                                visca(5000, 10, {0x90, 0x61, 0x41, 0xFF})}));
  // A socket's reply after its owner's end is nobody's.
  mcu({0x90, 0x51, 0xFF});
  EXPECT_TRUE(out.datagrams.empty());
  EXPECT_EQ(r->counters().unsolicited, 1u);
}

TEST_F(RelayTest, CancelIsAnsweredWithTheCancelledCommandsError) {
  send(5000, 1, kMove);
  mcu({0x90, 0x41, 0xFF});
  send(6000, 2, {0x81, 0x21, 0xFF});
  mcu({0x90, 0x61, 0x04, 0xFF});
  EXPECT_EQ(replies(),
            (std::vector<reply>{visca(5000, 1, {0x90, 0x61, 0x04, 0xFF}),
                                visca(6000, 2, {0x90, 0x61, 0x04, 0xFF})}));
  EXPECT_EQ(r->deadline(), -1);
}

TEST_F(RelayTest, OwnCancelIsAnsweredOnceAndOddRepliesAreNobodys) {
  send(5000, 1, kMove);
  mcu({0x90, 0x41, 0xFF});
  send(5000, 2, {0x81, 0x21, 0xFF});
  mcu({0x90, 0x61, 0x04, 0xFF});
  EXPECT_EQ(replies(),
            std::vector<reply>{visca(5000, 1, {0x90, 0x61, 0x04, 0xFF})});
  EXPECT_EQ(r->deadline(), -1);
  // An acknowledgement without a socket still answers; "90 FF" does not.
  send(5000, 3, kZoom);
  mcu({0x90, 0xFF, 0x90, 0x40, 0xFF});
  EXPECT_EQ(replies(), std::vector<reply>{visca(5000, 3, {0x90, 0x40, 0xFF})});
  EXPECT_EQ(r->counters().unsolicited, 1u);
}

TEST_F(RelayTest, SequenceNumbersKeepARetransmissionFromRunningTwice) {
  send(5000, 0xFFFFFFFF, kZoom);
  mcu({0x90, 0x41, 0xFF});
  send(5000, 0xFFFFFFFF, kZoom);
  EXPECT_TRUE(out.line.empty());
  EXPECT_EQ(replies(),
            std::vector<reply>{control(5000, 0xFFFFFFFF, {0x0F, 0x01})});
  // The count wraps; any other number is a new message.
  send(5000, 0, kZoom);
  EXPECT_EQ(out.line, kZoom);
  // Resent while the first still waits: its reply is coming, once.
  send(5000, 0, kZoom);
  EXPECT_TRUE(out.line.empty());
  EXPECT_TRUE(out.datagrams.empty());
  // An error reply lets the same message through again.
  mcu({0x90, 0x60, 0x02, 0xFF});
  send(5000, 0, kZoom);
  EXPECT_EQ(out.line, kZoom);
  mcu({0x90, 0x41, 0xFF});
  // The same number with other content is no retransmission.
  send(5000, 0, kStop);
  EXPECT_EQ(out.line, kStop);
  mcu({0x90, 0x42, 0xFF});
  // RESET: answered with its own number, and the count starts afresh.
  send(5000, 99, {0x01}, control_command);
  EXPECT_EQ(replies(), std::vector<reply>{acked(5000, 99)});
  send(5000, 0, kStop);
  EXPECT_EQ(out.line, kStop);
  // The same number and bytes as another payload type is new too.
  mcu({0x90, 0x41, 0xFF});
  send(5000, 0, kStop, viscaip::device_setting);
  EXPECT_EQ(out.line, kStop);
  // Another controller's numbers are its own.
  mcu({0x90, 0x41, 0xFF});
  send(6000, 0, kStop);
  EXPECT_EQ(out.line, kStop);
}

TEST_F(RelayTest, FullQueueIsAnsweredAtOnceAndFreesTheNumber) {
  lim.queue = 2;
  start();
  send(5000, 1, kZoom); // on the line
  send(5000, 2, kZoom);
  send(5000, 3, kZoom);
  send(5000, 4, kZoom);
  EXPECT_EQ(replies(),
            std::vector<reply>{visca(5000, 4, {0x90, 0x60, 0x03, 0xFF})});
  EXPECT_EQ(r->queued(), 2u);
  mcu({0x90, 0x41, 0xFF, 0x90, 0x51, 0xFF});
  send(5000, 4, kZoom); // refused before: taken now
  EXPECT_TRUE(out.datagrams.empty());
  EXPECT_EQ(r->queued(), 2u);
}

TEST_F(RelayTest, BadDatagramsNeverReachTheLine) {
  bytes seventeen(17, 0x00);
  seventeen[0] = 0x81;
  seventeen[16] = 0xFF;
  struct bad {
    bytes datagram;
    std::vector<reply> answer;
  } cases[] = {
      {{0x01, 0x00, 0x00}, {}},
      {{0x01, 0x00, 0x00, 0x09, 0, 0, 0, 5, 0x81, 0x01, 0x04, 0x07, 0x02, 0xFF},
       {control(5000, 5, {0x0F, 0x02})}},
      {build(0x0300, 6, kZoom), {control(5000, 6, {0x0F, 0x02})}},
      {build(visca_reply, 7, kZoom), {control(5000, 7, {0x0F, 0x02})}},
      {build(control_command, 8, {0x02}), {control(5000, 8, {0x0F, 0x02})}},
      {build(control_command, 9, {0x0F, 0x01}), {}},
      {build(visca_command, 10, seventeen),
       {visca(5000, 10, {0x90, 0x60, 0x01, 0xFF})}},
      {build(visca_command, 11, {0x81, 0x01, 0x04, 0x07, 0x02}),
       {visca(5000, 11, {0x90, 0x60, 0x02, 0xFF})}},
      {build(visca_command, 12, {0x81, 0x09, 0xFF, 0x81, 0x09, 0xFF}),
       {visca(5000, 12, {0x90, 0x60, 0x02, 0xFF})}},
      {build(device_setting, 13, {0x88, 0x30, 0x01, 0xFF}),
       {visca(5000, 13, {0x90, 0x60, 0x02, 0xFF})}},
      {build(visca_command, 14, {0x00, 0x13, 0x81, 0x01, 0x04, 0x07, 0xFF}),
       {visca(5000, 14, {0x90, 0x60, 0x02, 0xFF})}},
  };
  for (const auto &c : cases) {
    raw(5000, c.datagram);
    EXPECT_TRUE(out.line.empty());
    EXPECT_EQ(replies(), c.answer) << ::testing::PrintToString(c.datagram);
  }
  EXPECT_EQ(r->counters().forwarded, 0u);
  EXPECT_EQ(out.log.size(), 0u) << "bad input is logged at a bounded rate";
}

TEST_F(RelayTest, AddressesAreRewrittenBothWays) {
  send(5000, 1, {0x83, 0x09, 0x00, 0x02, 0xFF});
  EXPECT_EQ(out.line, (bytes{0x81, 0x09, 0x00, 0x02, 0xFF}));
  mcu({0x90, 0x50, 0x01, 0xFF});
  EXPECT_EQ(replies(),
            std::vector<reply>{visca(5000, 1, {0xB0, 0x50, 0x01, 0xFF})});
}

// The MCU answers the message on the line only after the relay gave up on
// it, while another controller's message waits: every late reply goes to
// the first controller, a late performance turns its retransmission away,
// and nothing else goes to the line until IF_Clear is answered.
TEST_F(RelayTest, LateRepliesGoToTheirOwnControllerAndNeverRunTwice) {
  const bytes kClear = {0x81, 0x01, 0x00, 0x01, 0xFF};
  const bytes kCleared = {0x90, 0x50, 0xFF};
  const bytes kNotExecutable = {0x90, 0x60, 0x41, 0xFF};
  const bytes kAlready = {0x0F, 0x01};
  struct late_case {
    const char *what;
    bytes first;               // what times out
    std::vector<bytes> late;   // the MCU's late replies, one event each
    bool resend_before;        // the first controller resends in between
    std::vector<reply> to_all; // every reply of the late ones and after
  } cases[] = {
      {"a command carried out late",
       kZoom,
       {{0x90, 0x41, 0xFF}, {0x90, 0x51, 0xFF}},
       false,
       {visca(5000, 1, {0x90, 0x41, 0xFF}), visca(5000, 1, {0x90, 0x51, 0xFF}),
        control(5000, 1, kAlready)}},
      {"an inquiry answered late",
       kInq,
       {{0x90, 0x50, 0x02, 0xFF}},
       false,
       {visca(5000, 1, {0x90, 0x50, 0x02, 0xFF}), control(5000, 1, kAlready)}},
      {"a resend waiting when the late ACK comes",
       kZoom,
       {{0x90, 0x41, 0xFF}},
       true,
       {visca(5000, 1, {0x90, 0x41, 0xFF}), control(5000, 1, kAlready),
        control(5000, 1, kAlready)}},
      {"an error late: the resend runs",
       kZoom,
       {{0x90, 0x60, 0x02, 0xFF}},
       false,
       {visca(5000, 1, {0x90, 0x60, 0x02, 0xFF})}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    start();
    send(5000, 1, c.first);
    send(6000, 7, kInq);
    out.clear();
    r->tick(now + lim.answer_timeout - 1, out);
    EXPECT_TRUE(out.datagrams.empty());
    r->tick(now + lim.answer_timeout, out);
    EXPECT_EQ(replies(), std::vector<reply>{visca(5000, 1, kNotExecutable)});
    EXPECT_EQ(out.line, kClear) << "IF_Clear, and the waiting one held";
    std::vector<reply> seen;
    out.clear();
    if (c.resend_before)
      send(5000, 1, c.first);
    EXPECT_TRUE(out.line.empty());
    for (const auto &b : c.late) {
      mcu(b);
      for (const auto &x : replies())
        seen.push_back(x);
      EXPECT_TRUE(out.line.empty());
    }
    send(5000, 1, c.first); // after: a retransmission
    for (const auto &x : replies())
      seen.push_back(x);
    const bool runs_again = c.to_all.back().type == visca_reply;
    EXPECT_TRUE(out.line.empty());
    mcu(kCleared); // back in step: the waiting inquiry goes
    EXPECT_TRUE(replies().empty());
    EXPECT_EQ(out.line, kInq);
    mcu({0x90, 0x50, 0x03, 0xFF});
    EXPECT_EQ(replies(),
              std::vector<reply>{visca(6000, 7, {0x90, 0x50, 0x03, 0xFF})});
    EXPECT_EQ(out.line, runs_again ? c.first : bytes{});
    EXPECT_EQ(seen, c.to_all);
  }
}

// What the MCU did late for a TCP controller is its own too; a UDP
// controller's other waiting messages stay; a reply read while IF_Clear
// is still held back is not its answer.
TEST_F(RelayTest, LateRepliesForTcpAndWhileIfClearWaitsToBeWritten) {
  const bytes kCleared = {0x90, 0x50, 0xFF};
  out.clear();
  r->stream_bytes(9, kZoom.data(), kZoom.size(), now, out);
  send(5000, 1, kInq);
  send(5000, 2, kStop);
  r->tick(now + lim.answer_timeout, out);
  EXPECT_EQ(out.streams.size(), 1u) << "not executable";
  r->line_blocked(); // IF_Clear not written yet
  out.clear();
  r->line_bytes(kCleared.data(), kCleared.size(), now, out);
  ASSERT_EQ(out.streams.size(), 1u) << "the late message's, not IF_Clear's";
  EXPECT_EQ(out.streams[0].conn, 9u);
  EXPECT_TRUE(out.line.empty());
  r->line_flushed(now);
  mcu(kAck);
  ASSERT_EQ(out.streams.size(), 1u);
  EXPECT_EQ(out.streams[0].data, (bytes{0x90, 0x41, 0xFF}));
  EXPECT_TRUE(out.datagrams.empty()) << "a TCP resend is no retransmission";
  mcu(kCleared);
  EXPECT_EQ(out.line, kInq) << "both of 5000's wait, in order";
  // A UDP controller's next message, waiting behind its late one, stays.
  start();
  send(7000, 1, kZoom);
  r->tick(now + lim.answer_timeout, out);
  send(7000, 2, kInq);
  mcu(kAck);
  EXPECT_EQ(replies(), std::vector<reply>{visca(7000, 1, kAck)});
  mcu(kCleared);
  EXPECT_EQ(out.line, kInq);
}

TEST_F(RelayTest, SilentMcuIsClearedAgainAndWhatWaitsIsAnswered) {
  send(5000, 1, kZoom);
  send(6000, 1, kInq);
  EXPECT_EQ(r->deadline(), now + lim.answer_timeout);
  r->tick(now + lim.answer_timeout, out);
  now += lim.answer_timeout;
  EXPECT_EQ(r->deadline(), now + lim.resync_timeout);
  out.clear();
  r->tick(now + lim.resync_timeout, out);
  EXPECT_EQ(replies(),
            std::vector<reply>{visca(6000, 1, {0x90, 0x60, 0x41, 0xFF})});
  EXPECT_EQ(out.line, (bytes{0x81, 0x01, 0x00, 0x01, 0xFF}));
  // Two IF_Clears out: in step once both are answered, or once one is and
  // the MCU then says nothing for as long again.
  for (bool second_answered : {true, false}) {
    SCOPED_TRACE(second_answered ? "both answered" : "one lost");
    send(6000, second_answered ? 2 : 3, kInq);
    mcu({0x90, 0x50, 0xFF});
    EXPECT_TRUE(out.line.empty());
    now += lim.resync_timeout - 1;
    if (second_answered) {
      mcu({0x90, 0x50, 0xFF});
    } else {
      r->tick(now, out);
      EXPECT_TRUE(out.line.empty());
      out.clear();
      r->tick(++now, out);
    }
    EXPECT_EQ(out.line, kInq);
    mcu({0x90, 0x50, 0x02, 0xFF});
    r->tick(now + lim.resync_timeout, out); // nothing due
    out.clear();
    send(5000, second_answered ? 4 : 5, kZoom); // and to prepare the next
    r->tick(now + lim.answer_timeout, out);
    r->tick(now + lim.answer_timeout + lim.resync_timeout, out);
    now += lim.answer_timeout + lim.resync_timeout;
  }
  // A controller's own IF_Clear that times out needs no other behind it:
  // its answer is the one awaited, and it is the controller's.
  start();
  send(5000, 2, {0x81, 0x01, 0x00, 0x01, 0xFF});
  out.clear();
  r->tick(now + lim.answer_timeout, out);
  EXPECT_TRUE(out.line.empty());
  send(6000, 3, kInq);
  mcu({0x90, 0x50, 0xFF});
  EXPECT_EQ(replies(), std::vector<reply>{visca(5000, 2, {0x90, 0x50, 0xFF})});
  EXPECT_EQ(out.line, kInq);
  // Garbage from the MCU is skipped; the reply behind it still counts.
  mcu({0x13, 0x37, 0xFF, 0x90, 0x50, 0x02, 0xFF});
  EXPECT_EQ(replies(),
            std::vector<reply>{visca(6000, 3, {0x90, 0x50, 0x02, 0xFF})});
  EXPECT_NE(describe(r->counters()).find("timeouts 1, unsolicited 0"),
            std::string::npos);
}

TEST_F(RelayTest, LineDownAnswersEverythingWaitingAndRESETStillWorks) {
  send(5000, 1, kZoom);
  send(5000, 2, kInq);
  out.clear();
  r->line_down(now, out);
  EXPECT_EQ(replies(),
            (std::vector<reply>{visca(5000, 1, {0x90, 0x60, 0x41, 0xFF}),
                                visca(5000, 2, {0x90, 0x60, 0x41, 0xFF})}));
  send(5000, 3, kZoom);
  EXPECT_EQ(replies(),
            std::vector<reply>{visca(5000, 3, {0x90, 0x60, 0x41, 0xFF})});
  send(5000, 4, {0x01}, control_command);
  EXPECT_EQ(replies(), std::vector<reply>{acked(5000, 4)});
  out.clear();
  r->line_up(now, out);
  send(5000, 3, kZoom); // failed before, so taken now
  EXPECT_EQ(out.line, kZoom);
}

TEST_F(RelayTest, TcpStreamsAreFramedAndAnsweredOnTheirConnection) {
  out.clear();
  const bytes stream = {0x00, 0x13, 0xFF, 0x82, 0x09, 0x04};
  r->stream_bytes(1, stream.data(), stream.size(), now, out);
  ASSERT_EQ(out.streams.size(), 1u);
  EXPECT_EQ(out.streams[0].data, (bytes{0x90, 0x60, 0x02, 0xFF}));
  const bytes rest = {0x47, 0xFF};
  out.clear();
  r->stream_bytes(1, rest.data(), rest.size(), now, out);
  EXPECT_EQ(out.line, kInq);
  mcu({0x90, 0x50, 0x01, 0x02, 0x03, 0x04, 0xFF});
  ASSERT_EQ(out.streams.size(), 1u);
  EXPECT_EQ(out.streams[0].data,
            (bytes{0xA0, 0x50, 0x01, 0x02, 0x03, 0x04, 0xFF}));
  // Seventeen bytes without FF: one length error, then nothing until FF.
  out.clear();
  const bytes junk(40, 0x81);
  r->stream_bytes(1, junk.data(), junk.size(), now, out);
  ASSERT_EQ(out.streams.size(), 1u);
  EXPECT_EQ(out.streams[0].data, (bytes{0x90, 0x60, 0x01, 0xFF}));
  // A connection that goes away leaves its reply to nobody.
  out.clear();
  r->stream_bytes(1, kZoom.data(), kZoom.size(), now, out);
  EXPECT_TRUE(out.line.empty()) << "its FF ends the skipped run";
  r->stream_bytes(1, kZoom.data(), kZoom.size(), now, out);
  EXPECT_EQ(out.line, kZoom);
  r->stream_closed(1);
  mcu({0x90, 0x41, 0xFF});
  EXPECT_TRUE(out.streams.empty());
  EXPECT_EQ(r->counters().undeliverable, 1u);
}

TEST_F(RelayTest, TcpControllersQueuesAreBoundedToo) {
  lim.queue = 1;
  start();
  out.clear();
  const bytes three = {0x81, 0x09, 0xFF, 0x81, 0x09, 0xFF, 0x81, 0x09, 0xFF};
  r->stream_bytes(2, three.data(), three.size(), now, out);
  ASSERT_EQ(out.streams.size(), 1u);
  EXPECT_EQ(out.streams[0].data, (bytes{0x90, 0x60, 0x03, 0xFF}));
}

TEST_F(RelayTest, UdpControllersAreBoundedAndTheIdleOnesForgotten) {
  lim.udp_controllers = 2;
  start();
  send(5000, 1, kMove); // on the line
  send(5001, 1, kZoom); // waiting
  send(5002, 1, kZoom);
  EXPECT_EQ(replies(),
            std::vector<reply>{visca(5002, 1, {0x90, 0x60, 0x03, 0xFF})});
  mcu({0x90, 0x41, 0xFF}); // 5000 owns socket 1, 5001 goes on the line
  mcu({0x90, 0x42, 0xFF, 0x90, 0x52, 0xFF});
  send(5002, 1, kZoom);
  EXPECT_TRUE(out.datagrams.empty()) << "5001, done, made room";
  EXPECT_EQ(r->controllers(), 2u);
  // 5000's move still has its completion coming.
  mcu({0x90, 0x42, 0xFF, 0x90, 0x51, 0xFF});
  ASSERT_EQ(replies().size(), 2u);
  EXPECT_EQ(replies()[1], visca(5000, 1, {0x90, 0x51, 0xFF}));
}

TEST_F(RelayTest, TheControllerHeardFromLongestAgoIsForgottenFirst) {
  lim.udp_controllers = 3;
  start();
  for (int port : {5000, 5001, 5002}) {
    send(port, 1, kZoom);
    mcu({0x90, 0x41, 0xFF, 0x90, 0x51, 0xFF});
    now += 10;
  }
  send(5000, 2, kInq); // heard from again
  mcu({0x90, 0x50, 0x02, 0xFF});
  send(5003, 1, kZoom); // forgets 5001
  mcu({0x90, 0x41, 0xFF});
  send(5000, 2, kInq); // 5000's numbers were kept
  EXPECT_EQ(replies(), std::vector<reply>{control(5000, 2, {0x0F, 0x01})});
  send(5001, 1, kZoom); // 5001's were not: a new message
  EXPECT_TRUE(out.datagrams.empty());
  EXPECT_EQ(out.line, kZoom);
}

TEST_F(RelayTest, OverlongRunFromTheMcuIsSkipped) {
  send(5000, 1, kZoom);
  bytes run(20, 0x01);
  run[0] = 0x90;
  mcu(run);
  EXPECT_TRUE(out.datagrams.empty());
  ASSERT_EQ(out.log.size(), 1u);
  EXPECT_NE(out.log[0].find("over 16 bytes without FF"), std::string::npos);
  mcu({0xFF, 0x90, 0x41, 0xFF}); // the run's end, then the real reply
  EXPECT_EQ(replies(), std::vector<reply>{visca(5000, 1, kAck)});
}

// Each kind of fault, the first time, says what it was.
TEST_F(RelayTest, EachFaultIsSaidInItsOwnWords) {
  bytes lying = build(visca_command, 2, kZoom);
  lying[3] = 0x04;
  const bytes overlong(20, 0x81);
  struct fault {
    std::function<void()> cause;
    const char *says;
  } cases[] = {
      {[&] { raw(5000, lying); }, "does not match its payload of 6 bytes"},
      {[&] {
         out.clear();
         r->stream_bytes(1, overlong.data(), overlong.size(), now, out);
       },
       "TCP connection 1: over 16 bytes without FF (81 81"},
      {[&] {
         send(5000, 1, {0x81, 0xFF});
       },
       "UDP controller 127.0.0.1:5000: 81 FF is not one VISCA message"},
      {[&] {
         const bytes b = {0x82, 0xFF};
         out.clear();
         r->stream_bytes(3, b.data(), b.size(), now, out);
       },
       "TCP connection 3: 82 FF is not one VISCA message"},
  };
  for (const auto &c : cases) {
    start();
    c.cause();
    ASSERT_EQ(out.log.size(), 1u) << c.says;
    EXPECT_NE(out.log[0].find(c.says), std::string::npos) << out.log[0];
  }
}

TEST_F(RelayTest, FaultsAreLoggedAtABoundedRate) {
  for (int i = 0; i < 100; ++i)
    raw(5000, {0x00});
  now += lim.log_interval;
  out.clear();
  raw(5000, {0x00});
  ASSERT_EQ(out.log.size(), 1u);
  EXPECT_NE(out.log[0].find("and 99 more"), std::string::npos) << out.log[0];
}

} // namespace
