// The real probe with another reader on its line, as a getty or modem
// prober on the wrong port, a camera application opened too early or a
// developer's terminal program would be. The rival takes some or all of
// the MCU's bytes, so the probe may well miss the version; it must never
// wait for bytes the rival took, and must leave the version file absent,
// as it was, or right.
#include "probe_run.h"

#include <atomic>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

extern char **environ;

namespace {

using namespace probe_run;

// cat reading the tty, opened before the probe starts (posix_spawn returns
// once cat runs, with the tty already its standard input).
class rival_reader {
public:
  explicit rival_reader(const std::string &tty) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, tty.c_str(), O_RDONLY | O_NOCTTY,
                                     0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    char *argv[] = {const_cast<char *>("cat"), nullptr};
    if (posix_spawnp(&pid_, "cat", &fa, nullptr, argv, environ) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
  }
  ~rival_reader() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  bool running() const { return pid_ > 0; }

private:
  pid_t pid_ = -1;
};

// Keeps every core busy while it lives: the race between the two readers
// is won by whichever the scheduler runs first, and a busy board is where
// a boot runs.
class busy_cores {
public:
  busy_cores() {
    for (unsigned i = 0; i < std::max(1u, std::thread::hardware_concurrency());
         ++i)
      spinners_.emplace_back([this] {
        while (!stop_.load(std::memory_order_relaxed)) {
        }
      });
  }
  ~busy_cores() {
    stop_ = true;
    for (auto &t : spinners_)
      t.join();
  }

private:
  std::atomic<bool> stop_{false};
  std::vector<std::thread> spinners_;
};

// One probe on its own simulated MCU, with its own /tmp.
struct contender {
  mcusim::mcu sim;
  support::temp_dir tmp;
  support::temp_dir logs;
  std::string old_content; // left by an earlier boot, or empty for none
  std::string file() const { return tmp / "quelmar-mcu-version"; }
};

TEST(RivalReader, ProbeNeverWaitsForBytesAnotherReaderTook) {
  // The bound: a silent MCU's whole run, as long as any run can be, and
  // a margin as long again.
  milliseconds silent;
  {
    contender ref;
    ref.sim.set_default(mcusim::answer::silence());
    std::string why;
    auto s = start_probe(ref.sim.slave_path(), ref.tmp.path(),
                         ref.logs / "output", {}, false, why);
    if (s.pid < 0)
      SKIP_WITHOUT_SANDBOX(why);
    auto r = finish(s);
    ASSERT_EQ(r.status, 0);
    silent = r.elapsed;
  }
  const milliseconds limit = 2 * silent + milliseconds(1000);

  // Without this fix a run hung in about one in five under load; 20 runs
  // miss that with a chance of about 1 %.
  constexpr int kWaves = 5, kAtOnce = 4;
  busy_cores load;
  for (int wave = 0; wave < kWaves; ++wave) {
    std::vector<std::unique_ptr<contender>> runs;
    std::vector<std::unique_ptr<rival_reader>> rivals;
    std::vector<started_run> started;
    for (int i = 0; i < kAtOnce; ++i) {
      auto c = std::make_unique<contender>();
      if (i % 2 == 1) {
        c->old_content = "-7";
        support::write_file(c->file(), c->old_content);
      }
      rivals.push_back(std::make_unique<rival_reader>(c->sim.slave_path()));
      ASSERT_TRUE(rivals.back()->running());
      std::string why;
      started.push_back(start_probe(c->sim.slave_path(), c->tmp.path(),
                                    c->logs / "output", {}, false, why));
      ASSERT_GE(started.back().pid, 0) << why;
      runs.push_back(std::move(c));
    }
    for (int i = 0; i < kAtOnce; ++i) {
      SCOPED_TRACE("wave " + std::to_string(wave) + ", run " +
                   std::to_string(i));
      auto r = finish(started[i], limit);
      const contender &c = *runs[i];
      EXPECT_FALSE(r.killed)
          << "still running after " << limit.count()
          << " ms (a silent run takes " << silent.count() << " ms)";
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(r.output, "");
      auto content = support::read_file(c.file());
      if (content != "22") {
        if (c.old_content.empty())
          EXPECT_FALSE(content) << *content;
        else
          EXPECT_EQ(content, c.old_content);
      }
      if (content)
        EXPECT_EQ(c.tmp.entries(),
                  std::vector<std::string>{"quelmar-mcu-version"});
      else
        EXPECT_EQ(c.tmp.entries(), std::vector<std::string>{});
    }
  }
}

} // namespace
