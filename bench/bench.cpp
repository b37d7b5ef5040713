// quelmar-bench: runs the real probe binaries against the simulated MCU,
// in the end-to-end tests' private namespace, and prints a Markdown table
// of each figure beside its floor and goal.
#include "mcu_sim.h"
#include "sandbox.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <map>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using mcusim::clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;

// Bit time at 115200 baud, 10 bits a byte.
constexpr double kByteMs115200 = 10.0 * 1000.0 / 115200.0;
constexpr double kTimeToVersionFloorMs = 100.0 + 22 * kByteMs115200;
constexpr double kSilentFloorMs = 3300.0;
constexpr int kIdlePasses = 12 * 200;

[[noreturn]] void die(const std::string &what) {
  std::fprintf(stderr, "quelmar-bench: %s\n", what.c_str());
  std::exit(1);
}

double ms_between(clock::time_point a, clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

int remove_entry(const char *path, const struct stat *, int, FTW *) {
  return ::remove(path);
}

struct scratch_dir {
  std::string path;
  scratch_dir() {
    char tmpl[] = "/tmp/quelmar-bench-XXXXXX";
    if (!::mkdtemp(tmpl))
      die("mkdtemp failed");
    path = tmpl;
  }
  ~scratch_dir() {
    ::nftw(path.c_str(), remove_entry, 8, FTW_DEPTH | FTW_PHYS);
  }
};

struct run_result {
  double open_to_file_ms = -1; // line opened to version file in place
  double open_to_exit_ms = -1;
  double wall_ms = 0;
  double cpu_ms = 0;  // user + system of the probe
  long peak_kib = 0;  // highest VmHWM seen while it ran
  std::string strace; // strace -c summary, when asked for
};

// Watches the pty slave for the probe's first open and the folder for the
// version file's rename into place.
class watcher {
public:
  watcher(const std::string &tty, const std::string &dir) {
    fd_ = ::inotify_init1(IN_CLOEXEC);
    if (fd_ < 0 || ::inotify_add_watch(fd_, tty.c_str(), IN_OPEN) < 0 ||
        ::inotify_add_watch(fd_, dir.c_str(), IN_MOVED_TO) < 0)
      die(std::string("inotify: ") + std::strerror(errno));
    ::pipe2(stop_, O_CLOEXEC);
    thread_ = std::thread([this] { loop(); });
  }
  ~watcher() {
    [[maybe_unused]] ssize_t w = ::write(stop_[1], "x", 1);
    thread_.join();
    ::close(fd_);
    ::close(stop_[0]);
    ::close(stop_[1]);
  }
  clock::time_point opened, filed;
  bool saw_open = false, saw_file = false;

private:
  int fd_ = -1;
  int stop_[2] = {-1, -1};
  std::thread thread_;

  void loop() {
    alignas(inotify_event) char buf[4096];
    for (;;) {
      pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0 && errno != EINTR)
        return;
      if (fds[1].revents)
        return;
      ssize_t n = ::read(fd_, buf, sizeof buf);
      const auto now = clock::now();
      for (ssize_t i = 0; i < n;) {
        auto *ev = reinterpret_cast<inotify_event *>(buf + i);
        if ((ev->mask & IN_OPEN) && !saw_open) {
          opened = now;
          saw_open = true;
        }
        if ((ev->mask & IN_MOVED_TO) && ev->len &&
            std::strcmp(ev->name, "quelmar-mcu-version") == 0 && !saw_file) {
          filed = now;
          saw_file = true;
        }
        i += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
      }
    }
  }
};

long vm_hwm_kib(pid_t pid) {
  std::string path = "/proc/" + std::to_string(pid) + "/status";
  FILE *f = std::fopen(path.c_str(), "r");
  if (!f)
    return 0;
  char line[256];
  long kib = 0;
  bool probe = false;
  while (std::fgets(line, sizeof line, f)) {
    // Before exec the child is still a copy of this benchmark.
    if (std::strncmp(line, "Name:", 5) == 0)
      probe = std::strstr(line, "quelmar-mcu-pro") != nullptr;
    if (std::strncmp(line, "VmHWM:", 6) == 0)
      kib = std::atol(line + 6);
  }
  std::fclose(f);
  return probe ? kib : 0;
}

run_result run_probe(const std::string &probe, mcusim::mcu &sim,
                     bool with_strace = false) {
  scratch_dir tmp;
  run_result r;
  mcusim::sandbox_options opt;
  opt.tty = sim.slave_path();
  opt.tmp = tmp.path;
  opt.argv = {probe};
  if (with_strace)
    opt.argv = {"strace", "-f", "-c", "-o", "/tmp/strace.txt", probe};
  std::string why;
  pid_t pid;
  {
    watcher w(sim.slave_path(), tmp.path);
    const auto start = clock::now();
    pid = mcusim::sandbox_spawn(opt, why);
    if (pid < 0)
      die("cannot run the probe in a private namespace (run as root): " + why);
    rusage ru{};
    int status = 0;
    for (;;) {
      r.peak_kib = std::max(r.peak_kib, vm_hwm_kib(pid));
      pid_t done = ::wait4(pid, &status, WNOHANG, &ru);
      if (done == pid)
        break;
      if (done < 0)
        die("wait4 failed");
      std::this_thread::sleep_for(milliseconds(2));
    }
    const auto end = clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
      die("the probe did not exit with status 0");
    r.wall_ms = ms_between(start, end);
    r.cpu_ms =
        static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000.0 +
        static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1000.0;
    std::this_thread::sleep_for(milliseconds(5)); // let the events land
    if (w.saw_open) {
      r.open_to_exit_ms = ms_between(w.opened, end);
      if (w.saw_file)
        r.open_to_file_ms = ms_between(w.opened, w.filed);
    }
  }
  if (with_strace) {
    std::FILE *f = std::fopen((tmp.path + "/strace.txt").c_str(), "r");
    if (f) {
      char buf[8192];
      size_t n = std::fread(buf, 1, sizeof buf - 1, f);
      r.strace.assign(buf, n);
      std::fclose(f);
    }
  }
  return r;
}

struct stats {
  double median = 0, lo = 0, hi = 0;
};

stats summarise(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  stats s;
  if (v.empty())
    return s;
  size_t n = v.size();
  s.median = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
  s.lo = v.front();
  s.hi = v.back();
  return s;
}

std::string fmt(const char *f, double a) {
  char buf[64];
  std::snprintf(buf, sizeof buf, f, a);
  return buf;
}

std::string show(const stats &s, const char *f) {
  return fmt(f, s.median) + " (" + fmt(f, s.lo) + "–" + fmt(f, s.hi) + ")";
}

// Calls of the named system calls in an strace -c summary.
long calls_of(const std::string &summary,
              std::initializer_list<const char *> names) {
  long total = 0;
  std::istringstream in(summary);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::vector<std::string> f;
    std::string w;
    while (fields >> w)
      f.push_back(w);
    if (f.size() < 5)
      continue;
    for (const char *name : names)
      if (f.back() == name)
        total += std::atol(f[3].c_str());
  }
  return total;
}

struct variant {
  std::string name, path;
  stats to_version, silent, cpu_pct, peak_kib;
  double syscalls_per_pass = 0;
  long ioctl_calls = 0, sleep_calls = 0, other_calls = 0;
};

void measure(variant &v, int fast_runs, int silent_runs) {
  std::vector<double> to_version, peak;
  for (int i = 0; i < fast_runs; ++i) {
    mcusim::mcu sim;
    // The inquiry's own six bytes on the wire, then the reply at the line
    // rate: what a real MCU answering at once would cost.
    sim.set_hold(microseconds(static_cast<long>(6 * kByteMs115200 * 1000)));
    sim.set_pacing(mcusim::pacing::line_rate);
    auto r = run_probe(v.path, sim);
    if (r.open_to_file_ms < 0)
      die(v.name + ": no version file");
    to_version.push_back(r.open_to_file_ms);
    peak.push_back(static_cast<double>(r.peak_kib));
  }
  std::vector<double> silent, cpu;
  for (int i = 0; i < silent_runs; ++i) {
    mcusim::mcu sim;
    sim.set_default(mcusim::answer::silence());
    auto r = run_probe(v.path, sim);
    silent.push_back(r.open_to_exit_ms);
    cpu.push_back(100.0 * r.cpu_ms / r.wall_ms);
    peak.push_back(static_cast<double>(r.peak_kib));
  }
  {
    mcusim::mcu sim;
    sim.set_default(mcusim::answer::silence());
    auto r = run_probe(v.path, sim, true);
    v.ioctl_calls = calls_of(r.strace, {"ioctl"});
    v.sleep_calls = calls_of(r.strace, {"nanosleep", "clock_nanosleep"});
    v.other_calls =
        calls_of(r.strace, {"total"}) - v.ioctl_calls - v.sleep_calls;
    v.syscalls_per_pass =
        static_cast<double>(v.ioctl_calls + v.sleep_calls) / kIdlePasses;
  }
  v.to_version = summarise(to_version);
  v.silent = summarise(silent);
  v.cpu_pct = summarise(cpu);
  v.peak_kib = summarise(peak);
}

} // namespace

int main(int argc, char **argv) {
  std::string tuned, plain, plain_label = "Plain";
  int fast_runs = 20, silent_runs = 5;
  std::vector<std::pair<std::string, std::string>> sizes; // label, bytes
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc)
        die("missing value after " + a);
      return argv[++i];
    };
    if (a == "--probe")
      tuned = next();
    else if (a == "--plain")
      plain = next();
    else if (a == "--plain-label") // the baseline's column, e.g. an older probe
      plain_label = next();
    else if (a == "--runs")
      fast_runs = std::atoi(next().c_str());
    else if (a == "--silent-runs")
      silent_runs = std::atoi(next().c_str());
    else if (a == "--size") {
      std::string kv = next();
      auto eq = kv.find('=');
      if (eq == std::string::npos)
        die("--size wants LABEL=BYTES");
      sizes.emplace_back(kv.substr(0, eq), kv.substr(eq + 1));
    } else
      die("unknown argument " + a +
          "; usage: quelmar-bench --probe PATH --plain PATH [--runs N] "
          "[--silent-runs N] [--plain-label NAME] [--size LABEL=BYTES]...");
  }
  if (tuned.empty() || plain.empty() || fast_runs < 1 || silent_runs < 1)
    die("need --probe and --plain, and positive run counts");

  variant t{"tuned", tuned, {}, {}, {}, {}, 0, 0, 0, 0};
  variant p{"plain", plain, {}, {}, {}, {}, 0, 0, 0, 0};
  measure(t, fast_runs, silent_runs);
  measure(p, fast_runs, silent_runs);

  auto ratio = [](const stats &s, double floor) {
    return fmt("%.3f×", s.median / floor);
  };
  std::printf("Medians over %d runs (time to version, peak memory) and %d "
              "runs (silent MCU), with the range in brackets.\n\n",
              fast_runs, silent_runs);
  std::printf("| Figure | Floor | Goal | Tuned | %s |\n|---|---|---|---|---|\n",
              plain_label.c_str());
  std::printf(
      "| Time to version, line opened at 115200 to version file in "
      "place (ms) | %.2f | ≤ %.2f (1.02 × floor) | %s = %s | %s = %s |\n",
      kTimeToVersionFloorMs, 1.02 * kTimeToVersionFloorMs,
      show(t.to_version, "%.2f").c_str(),
      ratio(t.to_version, kTimeToVersionFloorMs).c_str(),
      show(p.to_version, "%.2f").c_str(),
      ratio(p.to_version, kTimeToVersionFloorMs).c_str());
  std::printf(
      "| Silent MCU, line first opened to exit (ms) | %.0f | ≤ %.0f "
      "(1.05 × floor) | %s = %s | %s = %s |\n",
      kSilentFloorMs, 1.05 * kSilentFloorMs, show(t.silent, "%.1f").c_str(),
      ratio(t.silent, kSilentFloorMs).c_str(), show(p.silent, "%.1f").c_str(),
      ratio(p.silent, kSilentFloorMs).c_str());
  std::printf("| CPU time (user+sys) in the silent run, %% of wall | 0 | ≤ "
              "plain | %s | %s |\n",
              show(t.cpu_pct, "%.3f").c_str(), show(p.cpu_pct, "%.3f").c_str());
  std::printf("| System calls per idle poll pass, silent run: (ioctl + "
              "sleeps) / %d passes | 2 | 2.0 | %.3f (%ld ioctl, %ld sleeps; "
              "%ld other calls in the run) | %.3f (%ld ioctl, %ld sleeps; %ld "
              "other) |\n",
              kIdlePasses, t.syscalls_per_pass, t.ioctl_calls, t.sleep_calls,
              t.other_calls, p.syscalls_per_pass, p.ioctl_calls, p.sleep_calls,
              p.other_calls);
  std::printf("| Peak resident memory of the probe (KiB, VmHWM) | — | ≤ 3072 "
              "| %s | %s |\n",
              show(t.peak_kib, "%.0f").c_str(),
              show(p.peak_kib, "%.0f").c_str());
  for (const auto &[label, bytes] : sizes)
    std::printf(
        "| Stripped probe size, %s (bytes) | — | %s | %s | |\n", label.c_str(),
        label.find("armhf dynamic") != std::string::npos ? "< 24576" : "—",
        bytes.c_str());
  return 0;
}
