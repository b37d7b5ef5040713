// Runs the real quelmar-mcu-probe binary as on the board: in a private
// mount namespace where /dev/ttyPS1 is a pty and /tmp a private folder.
#pragma once

#include "mcu_sim.h"
#include "sandbox.h"
#include "support.h"

#include <cstdlib>
#include <fcntl.h>
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
  std::string output; // stdout and stderr together
};

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
    run_result r;
    const std::string out_path = logs / "output";
    int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    EXPECT_GE(out, 0);
    mcusim::sandbox_options opt;
    opt.tty = tty;
    opt.tmp = tmp_path.empty() ? tmp.path() : tmp_path;
    opt.argv = QUELMAR_PROBE_COMMAND;
    opt.argv.insert(opt.argv.end(), args.begin(), args.end());
    opt.out_fd = out;
    opt.err_fd = out;
    opt.tmp_read_only = tmp_read_only;
    std::string why;
    auto start = mcusim::clock::now();
    pid_t pid = mcusim::sandbox_spawn(opt, why);
    ::close(out);
    if (pid < 0) {
      skipped_because = why;
      return r;
    }
    r.status = mcusim::sandbox_wait(pid);
    r.elapsed =
        std::chrono::duration_cast<milliseconds>(mcusim::clock::now() - start);
    r.output = support::read_file(out_path).value_or("<missing>");
    return r;
  }

  bool tmp_read_only = false;
  std::string tmp_path; // the probe's /tmp when not tmp
  std::string skipped_because;
};

// Where namespaces are not permitted the test is skipped, unless
// QUELMAR_REQUIRE_SANDBOX is set (as the test script does for root): there
// a skip would hide a broken sandbox.
#define RUN_OR_SKIP(var, ...)                                                  \
  auto var = run(__VA_ARGS__);                                                 \
  if (!skipped_because.empty()) {                                              \
    if (std::getenv("QUELMAR_REQUIRE_SANDBOX"))                                \
      FAIL() << "cannot run the probe in a private namespace: "                \
             << skipped_because;                                               \
    GTEST_SKIP() << "cannot build a private mount namespace here ("            \
                 << skipped_because << "); run the tests as root";             \
  }

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
