// The pending-byte count is only a hint: another reader of the same tty can
// take the bytes between the count and the read. Here the count claims
// bytes the pty does not hold, which is what the controller sees when that
// happens. Every wait must still end within its poll budget and the drain
// must return, on the real tty driver. A read that blocked would hang the
// test, so each operation runs under a watchdog that fails the test and
// then feeds the line until the read lets go.
#include "mcu_sim.h"
#include "support.h"
#include "visca.h"
#include "visca_port.h"

#include <atomic>
#include <future>
#include <gtest/gtest.h>
#include <poll.h>

namespace {

using mcusim::answer;
using std::chrono::milliseconds;

std::atomic<int> overstated{0}; // bytes the count claims beyond the truth
std::atomic<unsigned> sleeps{0};

int lying_pending(int fd) {
  int n = visca_port::real_ops().pending(fd);
  return n < 0 ? n : n + overstated.load();
}

void counted_sleep(unsigned usec) {
  ++sleeps;
  visca_port::real_ops().sleep_us(usec);
}

struct PendingHintTest : ::testing::Test {
  support::version_file file;
  mcusim::mcu sim;
  visca ctl;
  visca_port::line_ops table = visca_port::real_ops();

  void SetUp() override {
    speed_t speed = B115200;
    ctl.camSerial = sim.slave_path().c_str();
    ASSERT_TRUE(ctl.init_visca(speed));
    table.pending = lying_pending;
    table.sleep_us = counted_sleep;
    visca_port::install(&table);
  }
  void TearDown() override {
    visca_port::install(nullptr);
    overstated = 0;
    sleeps = 0;
  }

  // Runs op on a thread of its own. Should it still be running after a
  // limit far beyond any budget, it is blocked in a read: fail, and feed
  // the line until it lets go (each byte ends one blocked read).
  template <class F> void unblocked(F op) {
    auto done = std::async(std::launch::async, op);
    if (done.wait_for(std::chrono::seconds(10)) == std::future_status::ready)
      return done.get();
    ADD_FAILURE() << "blocked in a read of the line";
    overstated = 0;
    while (done.wait_for(milliseconds(10)) != std::future_status::ready)
      sim.inject(mcusim::bytes(16, 0x00));
    done.get();
  }

  size_t transmissions() const { return sim.log().size(); }

  // Runs one command exchange (81 01 04 00 02 FF) and returns its record.
  visca_command command() {
    visca_command rec{};
    ctl.create_command(rec, 1, 0x04, 0x00, 0x02);
    unblocked([&] { ctl.visca_exec_cmd(rec); });
    return rec;
  }
};

TEST_F(PendingHintTest, ReplyWaitsSpendTheirBudgetAndTheExchangeEnds) {
  sim.script(answer::silence());
  sim.script(answer::silence());
  overstated = 1;
  bool accepted = true;
  unblocked([&] { accepted = ctl.send_inq_cmd(1, 0x7E, 0x7E, 0x16); });
  EXPECT_FALSE(accepted);
  EXPECT_EQ(transmissions(), 2u);
  // Each of the two waits: 200 passes, each a read that found nothing and
  // a 1 ms sleep.
  EXPECT_EQ(sleeps.load(), 400u);
  EXPECT_FALSE(file.content());
}

TEST_F(PendingHintTest, DrainTakesWhatIsThereAndReturns) {
  overstated = 8;
  unblocked([&] { ctl.visca_cls_rx(); }); // nothing there at all
  ASSERT_EQ(sim.inject({0x01, 0x02, 0x03}), 3u);
  pollfd pfd{ctl.cam_fd, POLLIN, 0};
  ASSERT_EQ(::poll(&pfd, 1, 5000), 1) << "injected bytes never arrived";
  unblocked([&] { ctl.visca_cls_rx(); });
  EXPECT_EQ(visca_port::real_ops().pending(ctl.cam_fd), 0);
}

TEST_F(PendingHintTest, AcknowledgementWaitsSpendTheirBudget) {
  sim.script(answer::silence());
  sim.script(answer::silence());
  overstated = 3; // enough for the wait to read a whole answer
  visca_command rec = command();
  EXPECT_FALSE(rec.ack);
  EXPECT_FALSE(rec.comp);
  EXPECT_EQ(transmissions(), 2u);
  EXPECT_EQ(sleeps.load(), 200u); // two waits of 100 passes
}

TEST_F(PendingHintTest, CompletionWaitSpendsItsBudgetAfterTheAcknowledgement) {
  sim.script(answer::ack());
  overstated = 3;
  visca_command rec = command();
  EXPECT_TRUE(rec.ack);
  EXPECT_FALSE(rec.comp);
  EXPECT_EQ(transmissions(), 1u);
  // The acknowledgement may take a few passes to arrive; the completion
  // wait then spends all of its 200.
  EXPECT_GE(sleeps.load(), 200u);
  EXPECT_LE(sleeps.load(), 300u);
}

} // namespace
