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
    int line = ::open(sim.slave_path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(line, 0);
    // Raw, so the injected bytes are not echoed back to the MCU as noise
    // that would swallow the inquiry, and at the MCU's speed.
    termios raw{};
    ASSERT_EQ(::tcgetattr(line, &raw), 0);
    ::cfmakeraw(&raw);
    ASSERT_EQ(::cfsetspeed(&raw, B115200), 0);
    ASSERT_EQ(::tcsetattr(line, TCSANOW, &raw), 0);
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

} // namespace
