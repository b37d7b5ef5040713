#include "sandbox.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace mcusim {
namespace {

const char *const kNodes[] = {"null", "zero", "urandom", "tty", "ptmx"};
constexpr size_t kNodeCount = sizeof kNodes / sizeof kNodes[0];

// Everything the child needs, laid out before fork: after it only
// async-signal-safe calls are allowed.
struct plan {
  std::string scratch;
  std::string host_nodes[kNodeCount];
  std::string dev_nodes[kNodeCount];
  std::string host_pts;
  std::vector<char *> argv;
};

// Reports which step failed, through the close-on-exec pipe, and exits.
[[noreturn]] void child_fail(int report, const char *step) {
  int err = errno;
  [[maybe_unused]] ssize_t w = ::write(report, &err, sizeof err);
  w = ::write(report, step, std::strlen(step));
  ::_exit(127);
}

[[noreturn]] void child(const plan &p, const sandbox_options &opt, int report) {
  if (::unshare(CLONE_NEWNS) < 0)
    child_fail(report, "unshare(CLONE_NEWNS)");
  if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0)
    child_fail(report, "make / private");
  // Keep the host's /dev reachable before covering it.
  if (::mount("/dev", p.scratch.c_str(), nullptr, MS_BIND | MS_REC, nullptr) <
      0)
    child_fail(report, "bind /dev");
  if (::mount("tmpfs", "/dev", "tmpfs", MS_NOSUID, "mode=0755") < 0)
    child_fail(report, "tmpfs on /dev");
  for (size_t i = 0; i < kNodeCount; ++i) {
    int fd = ::open(p.dev_nodes[i].c_str(), O_CREAT | O_WRONLY, 0666);
    if (fd < 0)
      child_fail(report, "create device node");
    ::close(fd);
    if (::mount(p.host_nodes[i].c_str(), p.dev_nodes[i].c_str(), nullptr,
                MS_BIND, nullptr) < 0)
      child_fail(report, "bind device node");
  }
  if (::mkdir("/dev/pts", 0755) < 0 ||
      ::mount(p.host_pts.c_str(), "/dev/pts", nullptr, MS_BIND | MS_REC,
              nullptr) < 0)
    child_fail(report, "bind /dev/pts");
  // The host's /dev is no longer needed once its nodes are bound.
  if (::umount2(p.scratch.c_str(), MNT_DETACH) < 0)
    child_fail(report, "detach host /dev");
  // Bound, not linked: a pty that is closed and whose number is reused by
  // another must look gone, as a vanished UART would, not lead elsewhere.
  // A path that does not exist is linked, to stand for a missing device.
  struct stat st {};
  if (::stat(opt.tty.c_str(), &st) == 0) {
    int fd = ::open("/dev/ttyPS1", O_CREAT | O_WRONLY, 0666);
    if (fd < 0)
      child_fail(report, "create /dev/ttyPS1");
    ::close(fd);
    if (::mount(opt.tty.c_str(), "/dev/ttyPS1", nullptr, MS_BIND, nullptr) < 0)
      child_fail(report, "bind /dev/ttyPS1");
  } else if (::symlink(opt.tty.c_str(), "/dev/ttyPS1") < 0) {
    child_fail(report, "link /dev/ttyPS1");
  }
  if (::mount(opt.tmp.c_str(), "/tmp", nullptr, MS_BIND, nullptr) < 0)
    child_fail(report, "bind /tmp");
  if (opt.tmp_read_only &&
      ::mount(nullptr, "/tmp", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY,
              nullptr) < 0)
    child_fail(report, "make /tmp read-only");
  if (opt.out_fd >= 0 && ::dup2(opt.out_fd, 1) < 0)
    child_fail(report, "dup2 stdout");
  if (opt.err_fd >= 0 && ::dup2(opt.err_fd, 2) < 0)
    child_fail(report, "dup2 stderr");
  ::execv(p.argv[0], p.argv.data());
  child_fail(report, "execv");
}

// The program's path, searched in PATH when it names no folder: the
// child may only call execv, which does no search.
std::string find_program(const std::string &name) {
  if (name.find('/') != std::string::npos)
    return name;
  const char *path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  for (;;) {
    size_t colon = dirs.find(':', start);
    std::string dir = dirs.substr(start, colon - start);
    std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0)
      return candidate;
    if (colon == std::string::npos)
      return name;
    start = colon + 1;
  }
}

} // namespace

pid_t sandbox_spawn(const sandbox_options &opt, std::string &why) {
  if (opt.argv.empty()) {
    why = "no program given";
    return -1;
  }
  plan p;
  char scratch[] = "/tmp/visca-sandbox-XXXXXX";
  if (!::mkdtemp(scratch)) {
    why = std::string("mkdtemp: ") + std::strerror(errno);
    return -1;
  }
  p.scratch = scratch;
  for (size_t i = 0; i < kNodeCount; ++i) {
    p.host_nodes[i] = p.scratch + "/" + kNodes[i];
    p.dev_nodes[i] = std::string("/dev/") + kNodes[i];
  }
  p.host_pts = p.scratch + "/pts";
  // Files under /tmp vanish behind the private /tmp: hand them over as
  // descriptors opened now, named through /proc. The program itself may be
  // close-on-exec (exec resolves it first); its arguments must survive.
  std::vector<std::string> args = opt.argv;
  args[0] = find_program(args[0]);
  std::vector<int> kept;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i].rfind("/tmp/", 0) != 0)
      continue;
    int fd = ::open(args[i].c_str(), O_RDONLY | (i == 0 ? O_CLOEXEC : 0));
    if (fd < 0)
      continue;
    kept.push_back(fd);
    args[i] = "/proc/self/fd/" + std::to_string(fd);
  }
  for (auto &a : args)
    p.argv.push_back(a.data());
  p.argv.push_back(nullptr);
  auto close_kept = [&kept] {
    for (int fd : kept)
      ::close(fd);
  };

  int report[2];
  if (::pipe2(report, O_CLOEXEC) < 0) {
    why = std::string("pipe2: ") + std::strerror(errno);
    close_kept();
    ::rmdir(scratch);
    return -1;
  }
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(report[0]);
    child(p, opt, report[1]);
  }
  ::close(report[1]);
  close_kept();
  if (pid < 0) {
    why = std::string("fork: ") + std::strerror(errno);
    ::close(report[0]);
    ::rmdir(scratch);
    return -1;
  }
  // Nothing comes through the pipe once exec succeeded.
  int err = 0;
  char step[128] = {};
  ssize_t got = ::read(report[0], &err, sizeof err);
  if (got == static_cast<ssize_t>(sizeof err)) {
    ssize_t n = ::read(report[0], step, sizeof step - 1);
    step[n > 0 ? n : 0] = '\0';
  }
  ::close(report[0]);
  // The bind of /dev lived only in the child's namespace.
  ::rmdir(scratch);
  if (got == static_cast<ssize_t>(sizeof err)) {
    ::waitpid(pid, nullptr, 0);
    why = std::string(step) + ": " + std::strerror(err);
    return -1;
  }
  return pid;
}

int sandbox_wait(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0)
    if (errno != EINTR)
      return -1;
  if (WIFEXITED(status))
    return WEXITSTATUS(status);
  if (WIFSIGNALED(status))
    return 128 + WTERMSIG(status);
  return -1;
}

} // namespace mcusim
