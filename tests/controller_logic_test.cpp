// The controller's reply reader, waits and probe sequence on a scripted
// line and a virtual clock: exact pass counts and reads, no real sleeping.
#include "fake_line.h"
#include "probe.h"
#include "support.h"
#include "visca.h"

#include <gtest/gtest.h>

namespace {

using fake::bytes;
using fake::version_reply;

const bytes kInquiry = {0x81, 0x09, 0x7E, 0x7E, 0x16, 0xFF};

struct LogicTest : ::testing::Test, fake::rig {
  support::version_file file;

  // Answers each write with the next of answers (nothing once spent).
  void answer_with(std::vector<bytes> answers, uint64_t delay_us = 0) {
    auto queue =
        std::make_shared<std::deque<bytes>>(answers.begin(), answers.end());
    line.on_write = [queue, delay_us](fake::line &l, const bytes &) {
      if (queue->empty())
        return;
      if (!queue->front().empty())
        l.arrive(queue->front(), delay_us);
      queue->pop_front();
    };
  }
};

TEST_F(LogicTest, SilentInquiryPollsTwoHundredTimesPerTransmission) {
  EXPECT_FALSE(ctl.send_inq_cmd(1, 0x7E, 0x7E, 0x16));
  ASSERT_EQ(line.writes.size(), 2u);
  EXPECT_EQ(line.writes[0].data, kInquiry);
  EXPECT_EQ(line.writes[1].data, kInquiry);
  EXPECT_EQ(line.writes[0].at_us, 0u);
  EXPECT_EQ(line.writes[1].at_us, 200000u);
  EXPECT_EQ(line.sleeps, 400u);
  EXPECT_EQ(line.now_us, 400000u);
  EXPECT_EQ(line.reads, 0u) << "nothing pending must mean nothing read";
  EXPECT_FALSE(file.content());
}

TEST_F(LogicTest, ReplyIsReadOneBytePerPassWithoutSleeping) {
  answer_with({version_reply(0x16)});
  EXPECT_TRUE(ctl.send_inq_cmd(1, 0x7E, 0x7E, 0x16));
  EXPECT_EQ(line.writes.size(), 1u);
  EXPECT_EQ(line.reads, 16u);
  EXPECT_EQ(line.sleeps, 0u);
  EXPECT_EQ(file.content(), "22");
}

TEST_F(LogicTest, TrickledReplyCompletesAtItsTerminator) {
  line.on_write = [](fake::line &l, const bytes &) {
    bytes r = version_reply(0x05);
    for (size_t i = 0; i < r.size(); ++i)
      l.arrive({r[i]}, 3000 * (i + 1));
  };
  EXPECT_TRUE(ctl.send_inq_cmd(1, 0x7E, 0x7E, 0x16));
  EXPECT_EQ(line.writes.size(), 1u);
  EXPECT_EQ(line.reads, 16u);
  EXPECT_EQ(file.content(), "5");
}

TEST_F(LogicTest, TerminatorWithMoreBytesPendingDoesNotEndTheReply) {
  // An acknowledgement with a completion behind it is judged as one run by
  // its second byte, 0x41: rejected, then the retransmission succeeds.
  answer_with({{0x90, 0x41, 0xFF, 0x90, 0x51, 0xFF}, version_reply(0x07)});
  EXPECT_TRUE(ctl.send_inq_cmd(1, 0x7E, 0x7E, 0x16));
  EXPECT_EQ(line.writes.size(), 2u);
  EXPECT_EQ(line.writes[1].at_us, 0u) << "a rejected reply ends the wait";
  EXPECT_EQ(file.content(), "7");
}

TEST_F(LogicTest, RejectedRepliesDrainAndRetransmitOnce) {
  const std::vector<bytes> bad = {
      {0x90, 0x41, 0xFF},       // acknowledgement
      {0x90, 0x51, 0xFF},       // completion
      {0x90, 0x60, 0x02, 0xFF}, // error
      {0x00, 0x90, 0x50, 0xFF}, // garbage first byte
  };
  for (const auto &reply : bad) {
    SCOPED_TRACE(::testing::PrintToString(reply));
    line = fake::line{};
    answer_with({reply, reply});
    EXPECT_FALSE(ctl.send_inq_cmd(1, 0x7E, 0x7E, 0x16));
    EXPECT_EQ(line.writes.size(), 2u);
    EXPECT_EQ(line.pending_count(), 0u) << "line left undrained";
    EXPECT_EQ(line.now_us, 0u) << "a bad reply must end the wait at once";
  }
  EXPECT_FALSE(file.content());
}

TEST_F(LogicTest, OverlongRunIsRejectedWithoutOverrunningTheBuffer) {
  visca_inq_command rec{};
  ctl.create_inqcommand(rec, 1, 0x7E, 0x7E, 0x16);
  bytes run(40, 0x11);
  run[0] = 0x90;
  run.back() = 0xFF;
  answer_with({run, run});
  EXPECT_FALSE(ctl.visca_exec_inq_cmd(rec));
  EXPECT_EQ(line.writes.size(), 2u);
  EXPECT_EQ(rec.inq_length, 0);
  EXPECT_FALSE(rec.inq_fill);
  EXPECT_EQ(line.pending_count(), 0u);
}

TEST_F(LogicTest, VersionIsTakenOnlyFromRepliesThatReachByteFourteen) {
  struct {
    size_t length;
    bool accepted;
    const char *file; // nullptr: not written
  } cases[] = {
      {14, true, nullptr}, // byte 14 never arrived
      {15, true, "-1"},    // byte 14 is the terminator itself
      {16, true, "22"},
      {17, false, nullptr}, // one past the buffer: no reply at all
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.length);
    support::version_file own;
    line = fake::line{};
    bytes reply(c.length, 0x00);
    reply[0] = 0x90;
    reply[1] = 0x50;
    if (c.length > 14)
      reply[14] = 0x16;
    reply.back() = 0xFF;
    answer_with({reply, reply});
    visca_inq_command rec{};
    ctl.create_inqcommand(rec, 1, 0x7E, 0x7E, 0x16);
    EXPECT_EQ(ctl.visca_exec_inq_cmd(rec), c.accepted);
    EXPECT_EQ(rec.inq_length, c.accepted ? static_cast<int>(c.length) : 0);
    EXPECT_EQ(line.writes.size(), c.accepted ? 1u : 2u);
    if (c.file)
      EXPECT_EQ(own.content(), c.file);
    else
      EXPECT_FALSE(own.content());
  }
}

TEST_F(LogicTest, LoneStrayByteEndsTheWaitAtOnce) {
  // A lone byte that cannot start a reply: the wait must give up at once,
  // not sit out its 200 polls, and the retransmission gets the reply.
  answer_with({{0x42}, version_reply(0x09)});
  EXPECT_TRUE(ctl.send_inq_cmd(1, 0x7E, 0x7E, 0x16));
  ASSERT_EQ(line.writes.size(), 2u);
  EXPECT_EQ(line.writes[1].at_us, 0u) << "the stray byte must end the wait";
  EXPECT_EQ(file.content(), "9");
}

TEST_F(LogicTest, LoneTerminatorAfterARejectedPartialReplyIsNoReply) {
  // The first wait reads 90 50 01 and gives up; what it read must not
  // carry over into the wait after the retransmission.
  answer_with({{0x90, 0x50, 0x01}, {0xFF}});
  visca_inq_command rec{};
  ctl.create_inqcommand(rec, 1, 0x7E, 0x7E, 0x16);
  EXPECT_FALSE(ctl.visca_exec_inq_cmd(rec));
  EXPECT_EQ(line.writes.size(), 2u);
  EXPECT_FALSE(rec.inq_fill);
  EXPECT_EQ(rec.inq_length, 0);
  EXPECT_FALSE(file.content());
}

TEST_F(LogicTest, CommandThenInquiryAfterAPause) {
  answer_with({{0x90, 0x41, 0xFF, 0x90, 0x51, 0xFF}, version_reply(0x16)});
  ctl.send_cmd_n_inq(1, 1, 0x04, 0x07, 0x02, 0x16);
  ASSERT_EQ(line.writes.size(), 2u);
  EXPECT_EQ(line.writes[0].data, (bytes{0x81, 0x01, 0x04, 0x07, 0x02, 0xFF}));
  EXPECT_EQ(line.writes[1].data, (bytes{0x81, 0x09, 0x04, 0x07, 0x16, 0xFF}));
  EXPECT_EQ(line.writes[1].at_us - line.writes[0].at_us, 100000u);
  EXPECT_EQ(file.content(), "22");
}

TEST_F(LogicTest, ShortReplyIsAcceptedButCarriesNoVersion) {
  answer_with({version_reply(0x2A), {0x90, 0x50, 0x01, 0xFF}});
  ASSERT_TRUE(ctl.send_inq_cmd(1, 0x7E, 0x7E, 0x16));
  ASSERT_EQ(file.content(), "42");
  visca_inq_command rec{};
  ctl.create_inqcommand(rec, 1, 0x7E, 0x7E, 0x16);
  EXPECT_TRUE(ctl.visca_exec_inq_cmd(rec));
  EXPECT_TRUE(rec.inq_fill);
  EXPECT_EQ(rec.inq_length, 4);
  EXPECT_EQ(file.content(), "42") << "a short reply must not change it";
}

TEST_F(LogicTest, FailedPendingQueryCountsAsNothingPending) {
  line.fail_query = true;
  line.arrive(version_reply(0x16));
  EXPECT_FALSE(ctl.send_inq_cmd(1, 0x7E, 0x7E, 0x16));
  EXPECT_EQ(line.reads, 0u);
  EXPECT_EQ(line.sleeps, 400u);
}

TEST_F(LogicTest, WriteErrorEndsTheExchangeWithoutWaiting) {
  line.fail_write = true;
  EXPECT_FALSE(ctl.send_inq_cmd(1, 0x7E, 0x7E, 0x16));
  EXPECT_EQ(line.sleeps, 0u);
}

TEST_F(LogicTest, ExchangeDrainsBeforeTransmitting) {
  line.arrive({0x00, 0x01, 0x02});
  answer_with({version_reply(0x16)});
  EXPECT_TRUE(ctl.send_inq_cmd(1, 0x7E, 0x7E, 0x16));
  EXPECT_EQ(line.writes.size(), 1u);
}

TEST_F(LogicTest, DrainTakesAWholeBacklogWithoutEverAskingForMore) {
  // An odd size, so the last read is a partial one.
  const size_t backlog = 64 * 1024 + 100;
  line.arrive(bytes(backlog, 0xA5));
  ctl.visca_cls_rx();
  EXPECT_EQ(line.pending_count(), 0u);
  size_t taken = 0;
  for (const auto &r : line.read_log) {
    // Never more than the count promised: what lies beyond it may be the
    // start of the next answer.
    EXPECT_LE(r.asked, r.pending_before);
    taken += r.got.size();
  }
  EXPECT_EQ(taken, backlog);
}

TEST_F(LogicTest, ProbeOnASilentLineTakesItsFullBudget) {
  ctl.cam_fd = -1;
  ctl.camSerial = "/dev/null"; // opens; the fake line does the rest
  run_probe(ctl);
  ASSERT_EQ(line.writes.size(), 12u);
  for (const auto &w : line.writes)
    EXPECT_EQ(w.data, kInquiry);
  // Twelve waits of 200 polls and nine pauses of 100 ms.
  EXPECT_EQ(line.now_us, 3300000u);
  EXPECT_EQ(ctl.cam_fd, -1) << "the probe must close the line";
  EXPECT_FALSE(file.content());
}

TEST_F(LogicTest, ProbeStopsAtTheFirstReply) {
  ctl.cam_fd = -1;
  ctl.camSerial = "/dev/null";
  answer_with({{}, {}, {}, version_reply(0x03)});
  run_probe(ctl);
  // Attempt 1 transmits twice; attempt 2 gets a reply to its second.
  EXPECT_EQ(line.writes.size(), 4u);
  EXPECT_EQ(file.content(), "3");
  EXPECT_EQ(ctl.cam_fd, -1);
}

TEST_F(LogicTest, CommandWaitsUseTheirOwnBudgets) {
  visca_command rec{};
  ctl.create_command(rec, 1, 0x04, 0x07, 0x02);
  ctl.visca_exec_cmd(rec); // silence: 100 polls, retransmit, 100 polls
  ASSERT_EQ(line.writes.size(), 2u);
  EXPECT_EQ(line.writes[1].at_us, 100000u);
  EXPECT_EQ(line.now_us, 200000u);
  EXPECT_FALSE(rec.ack);

  line = fake::line{};
  answer_with({{0x90, 0x41, 0xFF}});
  ctl.visca_exec_cmd(rec); // acknowledgement only: 200 polls for the rest
  EXPECT_EQ(line.writes.size(), 1u);
  EXPECT_TRUE(rec.ack);
  EXPECT_FALSE(rec.comp);
  EXPECT_EQ(line.now_us, 200000u);
}

TEST_F(LogicTest, AnswersAreReadWholeThreeBytesAtATime) {
  visca_command rec{};
  ctl.create_command(rec, 1, 0x04, 0x07, 0x02);
  // The acknowledgement trickles in; nothing may be read before all three
  // bytes are pending, and the completion follows later.
  line.on_write = [](fake::line &l, const bytes &) {
    l.arrive({0x90}, 1000);
    l.arrive({0x41}, 2000);
    l.arrive({0xFF}, 3000);
    l.arrive({0x90, 0x51, 0xFF}, 50000);
  };
  ctl.visca_exec_cmd(rec);
  EXPECT_TRUE(rec.ack);
  EXPECT_TRUE(rec.comp);
  EXPECT_EQ(line.reads, 2u);
}

TEST_F(LogicTest, AcknowledgementLeavesTheCompletionPending) {
  visca_command rec{};
  ctl.create_command(rec, 1, 0x04, 0x07, 0x02);
  answer_with({{0x90, 0x41, 0xFF, 0x90, 0x51, 0xFF}});
  ctl.visca_exec_cmd(rec);
  EXPECT_TRUE(rec.ack);
  EXPECT_TRUE(rec.comp);
  // Two reads of three: the acknowledgement with the completion left
  // behind, then the completion alone.
  ASSERT_EQ(line.read_log.size(), 2u);
  EXPECT_EQ(line.read_log[0].asked, 3u);
  EXPECT_EQ(line.read_log[0].pending_before, 6u);
  EXPECT_EQ(line.read_log[1].asked, 3u);
  EXPECT_EQ(line.read_log[1].pending_before, 3u);
  EXPECT_EQ(line.now_us, 0u) << "nothing to wait for";
}

TEST_F(LogicTest, MessageTheBufferCannotHoldIsNeverSent) {
  // 16 bytes hold at most 11 payload bytes; a caller's own record may
  // carry any length.
  for (int payload : {-1, 12, 64}) {
    SCOPED_TRACE(payload);
    EXPECT_FALSE(ctl.send_inq_cmd(payload, 0x7E, 0x7E, 0x16));
    ctl.send_cmd(payload, 0x04, 0x00, 0x02);
  }
  for (int32_t length : {4, 17, -5}) {
    SCOPED_TRACE(length);
    visca_inq_command inq{};
    ctl.create_inqcommand(inq, 1, 0x7E, 0x7E, 0x16);
    inq.cmd_length = length;
    EXPECT_FALSE(ctl.visca_exec_inq_cmd(inq));
    visca_command cmd{};
    ctl.create_command(cmd, 1, 0x04, 0x00, 0x02);
    cmd.cmd_length = length;
    ctl.visca_exec_cmd(cmd);
    EXPECT_FALSE(cmd.ack);
  }
  EXPECT_TRUE(line.writes.empty());
  EXPECT_EQ(line.sleeps, 0u) << "nothing sent, nothing to wait for";
}

} // namespace
