// Runs the real quelmar-mcu-probe binary as on the board: in a private
// mount namespace where /dev/ttyPS1 is a pty and /tmp a private folder.
#pragma once

#include "mcu_sim.h"
#include "sandbox.h"
#include "support.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <future>
#include <gtest/gtest.h>
#include <unistd.h>

#include "probe_command.h" // QUELMAR_PROBE_COMMAND, emulator included

namespace probe_run {

using mcusim::bytes;
using std::chrono::milliseconds;

inline const bytes kInquiry = {0x81, 0x09, 0x7E, 0x7E, 0x16, 0xFF};

struct run_result {
  int status = -1;
  milliseconds elapsed{0};
  std::string output;  // stdout and stderr together
  bool killed = false; // still running at its limit, and killed there
};

// One run of the probe, started and not yet waited for.
struct started_run {
  pid_t pid = -1;
  mcusim::clock::time_point start;
  std::string out_path;
};

// Starts the probe on tty with tmp as its /tmp, its output to out_path.
// pid is -1, with the reason in why, when it could not be started.
inline started_run start_probe(const std::string &tty, const std::string &tmp,
                               const std::string &out_path,
                               const std::vector<std::string> &args,
                               bool tmp_read_only, std::string &why) {
  started_run s;
  s.out_path = out_path;
  int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  EXPECT_GE(out, 0);
  mcusim::sandbox_options opt;
  opt.tty = tty;
  opt.tmp = tmp;
  opt.argv = QUELMAR_PROBE_COMMAND;
  opt.argv.insert(opt.argv.end(), args.begin(), args.end());
  opt.out_fd = out;
  opt.err_fd = out;
  opt.tmp_read_only = tmp_read_only;
  s.start = mcusim::clock::now();
  s.pid = mcusim::sandbox_spawn(opt, why);
  ::close(out);
  return s;
}

// Waits for a started run. With a limit, a run still going then is
// killed, so that a probe that hangs fails the test instead of hanging it.
inline run_result finish(const started_run &s,
                         milliseconds limit = milliseconds::zero()) {
  run_result r;
  if (limit == milliseconds::zero()) {
    r.status = mcusim::sandbox_wait(s.pid);
  } else {
    auto status = std::async(std::launch::async, mcusim::sandbox_wait, s.pid);
    if (status.wait_until(s.start + limit) != std::future_status::ready) {
      ::kill(s.pid, SIGKILL);
      r.killed = true;
    }
    r.status = status.get();
  }
  r.elapsed =
      std::chrono::duration_cast<milliseconds>(mcusim::clock::now() - s.start);
  r.output = support::read_file(s.out_path).value_or("<missing>");
  return r;
}

struct ProbeRun : ::testing::Test {
  support::temp_dir tmp;
  support::temp_dir logs;

  std::string version_file() const { return tmp / "quelmar-mcu-version"; }

  // Runs the probe against sim; skips the test when no namespace can be
  // made here.
  run_result run(mcusim::mcu &sim, std::vector<std::string> args = {}) {
    return run(sim.slave_path(), std::move(args));
  }

  run_result run(const std::string &tty, std::vector<std::string> args = {}) {
    std::string why;
    auto s = start_probe(tty, tmp_path.empty() ? tmp.path() : tmp_path,
                         logs / "output", args, tmp_read_only, why);
    if (s.pid < 0) {
      skipped_because = why;
      return {};
    }
    return finish(s);
  }

  bool tmp_read_only = false;
  std::string tmp_path; // the probe's /tmp when not tmp
  std::string skipped_because;
};

// Where namespaces are not permitted the test is skipped, unless
// QUELMAR_REQUIRE_SANDBOX is set (as the test script does for root): there
// a skip would hide a broken sandbox.
#define SKIP_WITHOUT_SANDBOX(why)                                              \
  do {                                                                         \
    if (std::getenv("QUELMAR_REQUIRE_SANDBOX"))                                \
      FAIL() << "cannot run the probe in a private namespace: " << (why);      \
    GTEST_SKIP() << "cannot build a private mount namespace here (" << (why)   \
                 << "); run the tests as root";                                \
  } while (0)

#define RUN_OR_SKIP(var, ...)                                                  \
  auto var = run(__VA_ARGS__);                                                 \
  if (!skipped_because.empty())                                                \
  SKIP_WITHOUT_SANDBOX(skipped_because)

inline size_t count_at(const std::vector<mcusim::received> &log,
                       speed_t speed) {
  size_t n = 0;
  for (const auto &m : log) {
    EXPECT_EQ(m.data, kInquiry);
    n += m.frame.speed == speed ? 1 : 0;
  }
  return n;
}

// True when main() put the test process in a mount namespace of its own,
// so tests may mount filesystems without touching the host.
extern bool private_mounts;

} // namespace probe_run
