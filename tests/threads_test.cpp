// Several threads share one controller: their exchanges must never
// interleave on the wire.
#include "mcu_sim.h"
#include "support.h"
#include "visca.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

namespace {

TEST(Threads, MixedExchangesFromFourThreadsNeverInterleave) {
  support::version_file file;
  mcusim::mcu sim;
  // Holding every answer back gives an unserialised second exchange the
  // time to reach the wire, where the MCU flags it.
  sim.set_hold(std::chrono::milliseconds(1));
  visca ctl;
  ctl.camSerial = sim.slave_path().c_str();
  speed_t speed = B115200;
  ASSERT_TRUE(ctl.init_visca(speed));

  constexpr int kThreads = 4;
  constexpr int kEach = 60;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        if ((i + t) % 2 == 0) {
          if (!ctl.send_inq_cmd(1, 0x7E, 0x7E, 0x16))
            ++failures;
        } else {
          visca_command rec{};
          ctl.create_command(rec, 1, 0x04, t, static_cast<uint64_t>(i));
          ctl.visca_exec_cmd(rec);
          if (!rec.ack || !rec.comp)
            ++failures;
        }
      }
    });
  }
  for (auto &th : threads)
    th.join();

  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(sim.interleaved(), 0u);
  EXPECT_EQ(sim.log().size(), static_cast<size_t>(kThreads * kEach))
      << "every exchange should need exactly one transmission";
  EXPECT_EQ(file.content(), "22");
}

} // namespace

namespace {

// Starts a waiter on ev, then signals it once the waiter runs; returns the
// stage the waiter saw on waking: 1 when it woke to that signal, 0 when its
// wait returned without one.
int stage_at_wake(visca_ndi_event &ev) {
  std::atomic<int> stage{0};
  std::atomic<bool> started{false};
  int woke_at = -1;
  std::thread waiter([&] {
    started = true;
    ev.wait();
    woke_at = stage.load();
  });
  while (!started)
    std::this_thread::yield();
  stage = 1;
  ev.signal();
  waiter.join();
  return woke_at;
}

TEST(Event, WaitReturnsOnlyAfterASignal) {
  visca_ndi_event ev;
  EXPECT_EQ(stage_at_wake(ev), 1);
}

TEST(Event, SignalIsKeptForTheNextWaitAndConsumedByIt) {
  visca_ndi_event ev;
  ev.signal();
  ev.wait(); // kept from before: returns at once (a hang fails by timeout)
  // Consumed: the next wait must block until the next signal.
  EXPECT_EQ(stage_at_wake(ev), 1);
}

} // namespace
