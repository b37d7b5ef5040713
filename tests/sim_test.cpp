// The simulated MCU's own promises: its descriptors are never leaked, and
// a hang-up on its serving thread is safe while another thread injects.
#include "mcu_sim.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mutex>
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

// The answer to one message: bytes up to the FF that ends it (or the
// replies-th FF), read as they come (blocking reads: the answer is on its
// way). An empty message reads what comes next.
std::string answer_to(int line, const mcusim::bytes &msg, size_t replies = 1) {
  EXPECT_EQ(::write(line, msg.data(), msg.size()),
            static_cast<ssize_t>(msg.size()));
  mcusim::bytes got;
  uint8_t b;
  while (replies > 0 && ::read(line, &b, 1) == 1) {
    got.push_back(b);
    replies -= b == 0xFF ? 1 : 0;
  }
  return mcusim::hex(got);
}

// Unscripted, the MCU answers like a camera with two command sockets.
TEST(McuSim, AnswersLikeACameraWithTwoSockets) {
  mcusim::mcu sim;
  sim.set_completion_delay({0x81, 0x01, 0x06, 0x02}, std::chrono::seconds(60));
  const int line = open_raw(sim);
  ASSERT_GE(line, 0);
  auto ask = [&](mcusim::bytes msg, size_t replies = 1) {
    return answer_to(line, std::move(msg), replies);
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

// With the camera model, answers come from the camera's state, and a
// move's completion when the move arrives.
TEST(McuSim, CameraModelAnswersFromItsState) {
  mcusim::config cfg;
  cfg.camera_model = true;
  mcusim::mcu sim(cfg);
  std::mutex mu;
  std::vector<std::string> states;
  sim.set_state_observer([&](const std::string &state) {
    std::lock_guard<std::mutex> lock(mu);
    states.push_back(state);
  });
  const int line = open_raw(sim);
  ASSERT_GE(line, 0);
  const mcusim::bytes zoom_inq = {0x81, 0x09, 0x04, 0x47, 0xFF};
  // 0x0400 at the direct speed, 0x2000 a second: 125 ms.
  const auto start = mcusim::clock::now();
  EXPECT_EQ(answer_to(line, {0x81, 0x01, 0x04, 0x47, 0, 4, 0, 0, 0xFF}),
            "90 41 FF");
  EXPECT_EQ(answer_to(line, {}), "90 51 FF");
  EXPECT_GE(mcusim::clock::now() - start, std::chrono::milliseconds(125));
  EXPECT_EQ(answer_to(line, zoom_inq), "90 50 00 04 00 00 FF");
  EXPECT_EQ(answer_to(line, {0x81, 0x09, 0x04, 0x4A, 0xFF}), "90 60 02 FF");
  EXPECT_EQ(answer_to(line, {0x81, 0x09, 0x7E, 0x7E, 0x16, 0xFF}),
            "90 50 00 00 00 00 00 00 00 00 00 00 00 00 16 FF")
      << "the probe's inquiry";
  // A cancel stops a pan where it is: to the right limit at the slowest
  // speed would take 30 s.
  const mcusim::bytes pan_inq = {0x81, 0x09, 0x06, 0x12, 0xFF};
  EXPECT_EQ(answer_to(line, {0x81, 0x01, 0x06, 0x02, 1, 1, 0, 9, 9, 0, 0, 0, 0,
                             0, 0xFF}),
            "90 41 FF");
  EXPECT_EQ(answer_to(line, {0x81, 0x21, 0xFF}), "90 61 04 FF");
  const std::string stopped = answer_to(line, pan_inq);
  EXPECT_NE(stopped, "90 50 00 09 09 00 00 00 00 00 FF");
  // Meanwhile a zoom of 125 ms: the pan stays where it stopped.
  EXPECT_EQ(answer_to(line, {0x81, 0x01, 0x04, 0x47, 0, 8, 0, 0, 0xFF}, 2),
            "90 41 FF 90 51 FF");
  EXPECT_EQ(answer_to(line, pan_inq), stopped);
  EXPECT_EQ(answer_to(line, {0x81, 0x01, 0x04, 0x00, 0x03, 0xFF}, 2),
            "90 41 FF 90 51 FF");
  EXPECT_EQ(answer_to(line, {0x81, 0x01, 0x04, 0x07, 0x02, 0xFF}),
            "90 60 41 FF")
      << "powered off";
  {
    // Each state is reported before the next message is answered.
    std::lock_guard<std::mutex> lock(mu);
    ASSERT_FALSE(states.empty());
    EXPECT_NE(std::find(states.begin(), states.end(),
                        "power on, zoom 0x0400, focus auto 0x1000, pan "
                        "0x0000, tilt 0x0000"),
              states.end())
        << "the zoom's arrival";
    EXPECT_EQ(states.back().rfind("power off, zoom 0x", 0), 0u)
        << states.back();
  }
  ::close(line);
}

} // namespace
