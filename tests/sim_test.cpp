// The simulated MCU's own promises: its descriptors are never leaked, and
// a hang-up on its serving thread is safe while another thread injects.
#include "mcu_sim.h"

#include <atomic>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <set>
#include <stdexcept>
#include <sys/resource.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using mcusim::answer;

std::set<int> open_fds() {
  std::set<int> fds;
  DIR *dir = ::opendir("/proc/self/fd");
  if (dir == nullptr)
    return fds;
  while (dirent *e = ::readdir(dir))
    if (e->d_name[0] != '.')
      fds.insert(std::atoi(e->d_name));
  fds.erase(::dirfd(dir));
  ::closedir(dir);
  return fds;
}

// The smallest descriptor limit under which exactly `free` numbers are
// still unused.
rlim_t limit_leaving(const std::set<int> &used, int free) {
  int n = 0;
  for (int fd = 0;; ++fd)
    if (used.count(fd) == 0 && ++n == free)
      return static_cast<rlim_t>(fd + 1);
}

// The MCU's line opened as a controller would: raw, at 115200 baud. -1
// when any step fails.
int open_raw(const mcusim::mcu &sim) {
  const int line = ::open(sim.slave_path().c_str(), O_RDWR | O_NOCTTY);
  if (line < 0)
    return -1;
  termios raw{};
  bool ok = ::tcgetattr(line, &raw) == 0;
  ::cfmakeraw(&raw);
  ok = ok && ::cfsetspeed(&raw, B115200) == 0 &&
       ::tcsetattr(line, TCSANOW, &raw) == 0;
  if (!ok)
    ::close(line);
  return ok ? line : -1;
}

TEST(McuSim, ConstructorThatFailsPartWayClosesWhatItOpened) {
  // Room for the pty's two ends but not the wake-up pipe: the constructor
  // throws after opening two descriptors.
  const std::set<int> before = open_fds();
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit tight = saved;
  tight.rlim_cur = limit_leaving(before, 3);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  bool threw = false;
  try {
    mcusim::mcu sim;
  } catch (const std::runtime_error &e) {
    threw = std::string(e.what()).rfind("pipe2", 0) == 0;
  }
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_TRUE(threw) << "the pipe should have been the call that failed";
  EXPECT_EQ(open_fds(), before);
}

TEST(McuSim, HangUpWhileAnotherThreadInjectsIsSafe) {
  // Under ThreadSanitizer this also proves the descriptors are never
  // closed under an injection's feet.
  for (int round = 0; round < 20; ++round) {
    mcusim::mcu sim;
    sim.script(answer::silence().hang_up_after(0)); // hangs up on arrival
    // Raw, so the injected bytes are not echoed back to the MCU as noise
    // that would swallow the inquiry, and at the MCU's speed.
    const int line = open_raw(sim);
    ASSERT_GE(line, 0);
    std::atomic<bool> go{false};
    std::thread injector([&] {
      while (!go.load()) {
      }
      while (!sim.hung_up())
        sim.inject({0x00});
    });
    go.store(true);
    const uint8_t inquiry[] = {0x81, 0x09, 0x7E, 0x7E, 0x16, 0xFF};
    ASSERT_EQ(::write(line, inquiry, sizeof inquiry),
              static_cast<ssize_t>(sizeof inquiry));
    injector.join();
    EXPECT_EQ(sim.inject({0x90, 0x50, 0xFF}), 0u)
        << "bytes went into a line that was hung up";
    ::close(line);
  }
}

// Unscripted, the MCU answers like a camera with two command sockets.
TEST(McuSim, AnswersLikeACameraWithTwoSockets) {
  mcusim::mcu sim;
  sim.set_completion_delay({0x81, 0x01, 0x06, 0x02}, std::chrono::seconds(60));
  const int line = open_raw(sim);
  ASSERT_GE(line, 0);
  // The answer to one message: bytes up to the FF that ends it, read as
  // they come (blocking reads: the answer is on its way).
  auto ask = [&](mcusim::bytes msg, size_t replies = 1) {
    EXPECT_EQ(::write(line, msg.data(), msg.size()),
              static_cast<ssize_t>(msg.size()));
    mcusim::bytes got;
    uint8_t b;
    while (replies > 0 && ::read(line, &b, 1) == 1) {
      got.push_back(b);
      replies -= b == 0xFF ? 1 : 0;
    }
    return mcusim::hex(got);
  };
  const mcusim::bytes move = {0x81, 0x01, 0x06, 0x02, 0x18, 0x14, 0xFF};
  EXPECT_EQ(ask(move), "90 41 FF");
  EXPECT_EQ(ask(move), "90 42 FF");
  EXPECT_EQ(ask({0x81, 0x01, 0x04, 0x07, 0x02, 0xFF}), "90 60 03 FF")
      << "both sockets busy";
  EXPECT_EQ(ask({0x81, 0x21, 0xFF}), "90 61 04 FF");
  EXPECT_EQ(ask({0x81, 0x21, 0xFF}), "90 61 05 FF") << "socket 1 is idle";
  EXPECT_EQ(ask({0x81, 0x01, 0x04, 0x07, 0x02, 0xFF}, 2), "90 41 FF 90 51 FF");
  EXPECT_EQ(ask({0x81, 0x01, 0x00, 0x01, 0xFF}), "90 50 FF") << "IF_Clear";
  EXPECT_EQ(ask(move), "90 41 FF") << "IF_Clear emptied both sockets";
  EXPECT_EQ(ask({0x81, 0x09, 0x00, 0x02, 0xFF}),
            "90 50 00 20 00 01 00 16 02 FF");
  EXPECT_EQ(ask({0x81, 0x05, 0x00, 0xFF}), "90 60 02 FF");
  ::close(line);
}

} // namespace
