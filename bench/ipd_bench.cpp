// quelmar-ipd-bench: measures quelmar-visca-ipd against the simulated MCU,
// beside the controller's own exchange, ser2net and the wire, and prints
// a Markdown table of each figure beside its goal.
#include "mcu_sim.h"
#include "visca.h"
#include "viscaip.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

using mcusim::bytes;
using clk = std::chrono::steady_clock;
using std::chrono::milliseconds;

const bytes kZoom = {0x81, 0x01, 0x04, 0x07, 0x02, 0xFF};
// 10 bits a byte at 115200 baud, in ms.
constexpr double kByteMs = 10.0 * 1000.0 / 115200.0;

// The children running, stopped on the way out: a daemon left behind would
// keep trying the line's path and, as root, share the next run's pty.
std::vector<pid_t> g_children;

[[noreturn]] void die(const std::string &what) {
  std::fprintf(stderr, "quelmar-ipd-bench: %s\n", what.c_str());
  for (pid_t pid : g_children) {
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
  }
  std::exit(1);
}

double ms(clk::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

struct stats {
  double median = 0, p99 = 0;
  size_t n = 0;
};
stats summarise(std::vector<double> v) {
  stats s;
  if (v.empty())
    return s;
  std::sort(v.begin(), v.end());
  s.n = v.size();
  s.median = v[v.size() / 2];
  s.p99 = v[std::min(v.size() - 1, v.size() * 99 / 100)];
  return s;
}

// A child process with its standard error in a file.
struct child {
  pid_t pid = -1;
  std::string err;
  child(std::vector<std::string> args, const std::string &err_path)
      : err(err_path) {
    std::vector<char *> argv;
    for (auto &a : args)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 2, err_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    if (::posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0)
      pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    if (pid > 0)
      g_children.push_back(pid);
  }
  ~child() { stop(); }
  void stop() {
    if (pid > 0) {
      ::kill(pid, SIGTERM);
      ::waitpid(pid, nullptr, 0);
      g_children.erase(std::remove(g_children.begin(), g_children.end(), pid),
                       g_children.end());
      pid = -1;
    }
  }
  // Waits for text in standard error; the line holding it.
  std::string wait_for(const std::string &text) const {
    for (int i = 0; i < 1000; ++i) {
      std::ifstream in(err);
      std::string line;
      while (std::getline(in, line))
        if (line.find(text) != std::string::npos)
          return line;
      std::this_thread::sleep_for(milliseconds(10));
    }
    die("no '" + text + "' from " + err);
  }
};

int port_in(const std::string &line) {
  return std::stoi(line.substr(line.rfind(':') + 1));
}

sockaddr_in loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

bool readable(int fd, int ms_left) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, ms_left) > 0;
}

// Command datagram to ACK datagram, n times; each waits for its
// completion before the next.
std::vector<double> udp_latency(int port, int n) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to = loopback(port);
  ::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to);
  std::vector<double> v;
  uint8_t buf[64];
  for (int i = 0; i < n; ++i) {
    const auto d =
        viscaip::build(viscaip::visca_command, static_cast<uint32_t>(i), kZoom);
    const auto t0 = clk::now();
    if (::send(fd, d.data(), d.size(), 0) < 0)
      die("udp send");
    const ssize_t got =
        readable(fd, 2000) ? ::recv(fd, buf, sizeof buf, 0) : -1;
    if (got < 11)
      die("no ACK over UDP for sequence number " + std::to_string(i) + ": " +
          (got < 0 ? std::string("nothing")
                   : mcusim::hex(bytes(buf, buf + got))));
    v.push_back(ms(clk::now() - t0));
    if (!readable(fd, 2000) || ::recv(fd, buf, sizeof buf, 0) < 11)
      die("no completion over UDP");
  }
  ::close(fd);
  return v;
}

// Whether a command datagram from a new controller gets its ACK within
// ms_left.
bool acknowledged(int port, uint32_t seq, int ms_left) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to = loopback(port);
  ::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to);
  const auto d = viscaip::build(viscaip::visca_command, seq, kZoom);
  uint8_t buf[64];
  const bool ok =
      ::send(fd, d.data(), d.size(), 0) > 0 && readable(fd, ms_left) &&
      ::recv(fd, buf, sizeof buf, 0) >= 11 && (buf[9] & 0xF0) == 0x40;
  ::close(fd);
  return ok;
}

// Raw VISCA over TCP: message out, its ACK's three bytes back.
std::vector<double> tcp_latency(int port, int n) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in to = loopback(port);
  if (::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) < 0)
    die("tcp connect to " + std::to_string(port));
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  std::vector<double> v;
  uint8_t buf[64];
  for (int i = 0; i < n; ++i) {
    const auto t0 = clk::now();
    if (::send(fd, kZoom.data(), kZoom.size(), 0) < 0)
      die("tcp send");
    size_t got = 0;
    bool acked = false;
    while (got < 6) { // ACK and completion
      if (!readable(fd, 2000))
        die("no reply over TCP");
      const ssize_t r = ::recv(fd, buf + got, sizeof buf - got, 0);
      if (r <= 0)
        die("tcp closed");
      got += static_cast<size_t>(r);
      if (!acked && got >= 3) {
        v.push_back(ms(clk::now() - t0));
        acked = true;
      }
    }
  }
  ::close(fd);
  return v;
}

std::vector<double> controller_latency(const std::string &tty, int n) {
  visca ctl;
  ctl.camSerial = tty.c_str();
  speed_t speed = B115200;
  if (!ctl.init_visca(speed))
    die("cannot open " + tty);
  std::vector<double> v;
  for (int i = 0; i < n; ++i) {
    visca_command rec{};
    ctl.create_command(rec, 1, 0x04, 0x07, 0x02);
    const auto t0 = clk::now();
    ctl.visca_exec_cmd(rec);
    v.push_back(ms(clk::now() - t0));
    if (!rec.ack)
      die("no ACK for the controller");
  }
  ctl.deinit_visca();
  return v;
}

long status_kib(pid_t pid, const char *key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string k;
  long v = -1;
  while (in >> k) {
    if (k == key) {
      in >> v;
      return v;
    }
    in.ignore(1 << 20, '\n');
  }
  return -1;
}

double cpu_seconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string s((std::istreambuf_iterator<char>(in)), {});
  std::istringstream rest(s.substr(s.rfind(')') + 2));
  std::string f;
  unsigned long long ut = 0, st = 0;
  for (int i = 3; i <= 15 && rest >> f; ++i) {
    if (i == 14)
      ut = std::stoull(f);
    if (i == 15)
      st = std::stoull(f);
  }
  return double(ut + st) / double(::sysconf(_SC_CLK_TCK));
}

// Four controllers, each sending its next command once the last one
// completed, for the given time: commands per second.
double throughput(int port, milliseconds span) {
  int fds[4];
  for (int &fd : fds) {
    fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to = loopback(port);
    ::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to);
  }
  uint32_t seq[4] = {0, 0, 0, 0};
  auto send_next = [&](int i) {
    const auto d = viscaip::build(viscaip::visca_command, ++seq[i], kZoom);
    ::send(fds[i], d.data(), d.size(), 0);
  };
  for (int i = 0; i < 4; ++i)
    send_next(i);
  size_t completed = 0;
  const auto start = clk::now();
  const auto until = start + span;
  uint8_t buf[64];
  while (clk::now() < until) {
    pollfd p[4];
    for (int i = 0; i < 4; ++i)
      p[i] = {fds[i], POLLIN, 0};
    if (::poll(p, 4, 1000) <= 0)
      die("throughput stalled");
    for (int i = 0; i < 4; ++i) {
      if (!(p[i].revents & POLLIN))
        continue;
      const ssize_t n = ::recv(fds[i], buf, sizeof buf, 0);
      if (n >= 11 && (buf[9] & 0xF0) == 0x50) {
        ++completed;
        send_next(i);
      } else if (n >= 11 && (buf[9] & 0xF0) == 0x60) {
        send_next(i); // refused (both sockets busy): try again
      }
    }
  }
  const double secs = ms(clk::now() - start) / 1000.0;
  for (int fd : fds)
    ::close(fd);
  return double(completed) / secs;
}

// The fastest any relay could be on this pty and simulator: a loop on the
// line itself that writes the next command as soon as the last one's
// acknowledgement is read, for the given time. Commands per second.
double ideal_relay(const std::string &tty, milliseconds span) {
  const int fd = ::open(tty.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios t{};
  if (fd < 0 || ::tcgetattr(fd, &t) != 0)
    die("cannot open " + tty);
  ::cfmakeraw(&t);
  ::cfsetspeed(&t, B115200);
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  if (::tcsetattr(fd, TCSANOW, &t) != 0)
    die("cannot set up " + tty);
  size_t acked = 0;
  bytes msg;
  uint8_t buf[64];
  const auto start = clk::now();
  const auto until = start + span;
  if (::write(fd, kZoom.data(), kZoom.size()) != ssize_t(kZoom.size()))
    die("write to " + tty);
  while (clk::now() < until) {
    if (!readable(fd, 1000))
      die("the ideal relay stalled");
    const ssize_t n = ::read(fd, buf, sizeof buf);
    for (ssize_t i = 0; i < n; ++i) {
      msg.push_back(buf[i]);
      if (buf[i] != 0xFF)
        continue;
      if (msg.size() == 3 && (msg[1] & 0xF0) == 0x40) {
        ++acked;
        if (::write(fd, kZoom.data(), kZoom.size()) != ssize_t(kZoom.size()))
          die("write to " + tty);
      }
      msg.clear();
    }
  }
  const double secs = ms(clk::now() - start) / 1000.0;
  ::close(fd);
  return double(acked) / secs;
}

// A raw-VISCA TCP controller that sends commands as fast as its socket
// takes them, reading (and dropping) its replies so that the daemon keeps
// it, until told to stop or 30 s pass.
class tcp_flooder {
public:
  explicit tcp_flooder(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to = loopback(port);
    if (::connect(fd_, reinterpret_cast<sockaddr *>(&to), sizeof to) < 0)
      die("tcp connect to " + std::to_string(port));
    ::fcntl(fd_, F_SETFL, O_NONBLOCK);
    thread_ = std::thread([this] { run(); });
  }
  ~tcp_flooder() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
  }
  size_t sent() const { return sent_; }
  bool closed() const { return closed_; }

private:
  void run() {
    bytes burst;
    for (int i = 0; i < 16; ++i)
      burst.insert(burst.end(), kZoom.begin(), kZoom.end());
    uint8_t buf[4096];
    const auto until = clk::now() + std::chrono::seconds(30);
    while (!stop_ && clk::now() < until) {
      pollfd p{fd_, POLLIN | POLLOUT, 0};
      if (::poll(&p, 1, 100) <= 0)
        continue;
      if (p.revents & POLLIN)
        while (::recv(fd_, buf, sizeof buf, 0) > 0) {
        }
      if (p.revents & POLLOUT) {
        const ssize_t n = ::send(fd_, burst.data(), burst.size(), MSG_NOSIGNAL);
        if (n > 0)
          sent_ += size_t(n) / kZoom.size();
      }
      if (p.revents & (POLLERR | POLLHUP)) {
        closed_ = true; // for not reading its replies fast enough
        return;
      }
    }
  }
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<size_t> sent_{0};
  std::atomic<bool> closed_{false};
  std::thread thread_;
};

std::string fmt(double v, const char *f = "%.3f") {
  char b[64];
  std::snprintf(b, sizeof b, f, v);
  return b;
}

} // namespace

int main(int argc, char **argv) {
  std::string ipd, ser2net;
  int runs = 2000;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--ipd")
      ipd = argv[i + 1];
    else if (a == "--ser2net")
      ser2net = argv[i + 1];
    else if (a == "--runs")
      runs = std::atoi(argv[i + 1]);
    else
      die("usage: quelmar-ipd-bench --ipd PATH [--ser2net PATH] [--runs N]");
  }
  if (ipd.empty() || runs <= 0)
    die("need --ipd and a positive --runs");
  char tmpl[] = "/tmp/quelmar-ipd-bench-XXXXXX";
  if (!::mkdtemp(tmpl))
    die("mkdtemp");
  const std::string dir = tmpl;

  std::vector<std::string> rows;
  auto row = [&](const std::string &figure, const std::string &goal,
                 const std::string &value) {
    rows.push_back("| " + figure + " | " + goal + " | " + value + " |");
  };
  auto lat = [](const stats &s) {
    return fmt(s.median) + " / " + fmt(s.p99) + " (" + std::to_string(s.n) +
           " runs)";
  };

  // 1. Latency against an MCU that answers at once.
  stats udp, tcp, own, relay, relay_tuned, udp_flooded;
  size_t flooded_sent = 0;
  bool flood_closed = false;
  double idle_calls = -1, idle_cpu = -1;
  long rss_idle = -1, hwm_flood = -1, rss_flood = -1;
  std::string idle_detail;
  {
    mcusim::mcu sim;
    {
      child d({ipd, "--config", "/dev/null", "--line", sim.slave_path(),
               "--udp", "127.0.0.1:0", "--tcp", "127.0.0.1:0"},
              dir + "/ipd.err");
      d.wait_for("baud, 8N1");
      const int up = port_in(d.wait_for("UDP 127.0.0.1:"));
      const int tp = port_in(d.wait_for("TCP 127.0.0.1:"));
      udp = summarise(udp_latency(up, runs));
      tcp = summarise(tcp_latency(tp, runs));
      rss_idle = status_kib(d.pid, "VmRSS:");

      // Idle: 10 s with the line open, under strace's count.
      const double cpu0 = cpu_seconds(d.pid);
      const std::string out = dir + "/idle.strace";
      const std::string cmd = "timeout -s INT 10 strace -c -f -p " +
                              std::to_string(d.pid) + " -o " + out +
                              " 2>/dev/null";
      const auto t0 = clk::now();
      if (std::system(cmd.c_str()) < 0)
        die("strace");
      const double wall = ms(clk::now() - t0) / 1000.0;
      idle_cpu = 100.0 * (cpu_seconds(d.pid) - cpu0) / wall;
      std::ifstream in(out);
      std::string line;
      idle_calls = 0;
      while (std::getline(in, line)) {
        if (line.find("total") != std::string::npos) {
          std::istringstream f(line);
          std::string a, b, c;
          long calls = 0;
          f >> a >> b >> c >> calls;
          idle_calls = double(calls);
        } else if (line.find('%') == std::string::npos &&
                   line.find("---") == std::string::npos && !line.empty()) {
          idle_detail += (idle_detail.empty() ? "" : "; ") + line;
        }
      }

      // Flood: one controller, 20000 datagrams as fast as it can, 5 s at
      // most; then the daemon's memory.
      const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
      sockaddr_in to = loopback(up);
      const auto until = clk::now() + std::chrono::seconds(5);
      for (uint32_t i = 0; i < 20000 && clk::now() < until; ++i) {
        const auto dg = viscaip::build(viscaip::visca_command, i, kZoom);
        ::sendto(fd, dg.data(), dg.size(), 0, reinterpret_cast<sockaddr *>(&to),
                 sizeof to);
      }
      ::close(fd);
      // The flood has been taken in once a new controller is answered. The
      // kernel drops what finds the daemon's socket full, so, as a
      // controller does, it asks again (with a new number) until it is.
      bool answered = false;
      for (uint32_t seq = 0; seq < 20 && !answered; ++seq)
        answered = acknowledged(up, seq, 500);
      if (!answered) {
        d.stop();
        std::ifstream log(d.err);
        std::fprintf(
            stderr, "%s\n",
            std::string(std::istreambuf_iterator<char>(log), {}).c_str());
        die("no ACK over UDP after the flood");
      }
      hwm_flood = status_kib(d.pid, "VmHWM:");
      rss_flood = status_kib(d.pid, "VmRSS:");

      // Last, as what the flooder left in its socket keeps the daemon busy
      // a while after it stops.
      tcp_flooder flood(tp);
      udp_flooded = summarise(udp_latency(up, runs / 4));
      flooded_sent = flood.sent();
      flood_closed = flood.closed();
    }
    // The daemon has let go of the line: the controller's own exchange.
    own = summarise(controller_latency(sim.slave_path(), runs / 4));

    // ser2net as installed, and as a user tuning it for latency runs it:
    // without its character delay, which holds data back for a
    // character's time or more in case more comes.
    for (bool tuned : {false, true}) {
      if (ser2net.empty())
        break;
      const int port = 20000 + ::getpid() % 20000 + tuned;
      const std::string conf = dir + "/ser2net.yaml";
      std::ofstream(conf) << "connection: &visca\n  accepter: tcp,127.0.0.1,"
                          << port << "\n  connector: serialdev,"
                          << sim.slave_path() << ",115200n81,local\n"
                          << (tuned ? "  options:\n    chardelay: false\n"
                                    : "");
      child s({ser2net, "-n", "-d", "-c", conf}, dir + "/ser2net.err");
      int fd = -1;
      for (int i = 0; i < 200 && fd < 0; ++i) {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to = loopback(port);
        if (::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) < 0) {
          ::close(fd);
          fd = -1;
          std::this_thread::sleep_for(milliseconds(10));
        }
      }
      if (fd < 0)
        die("ser2net did not listen");
      ::close(fd);
      (tuned ? relay_tuned : relay) = summarise(tcp_latency(port, runs));
    }
  }

  // 2. Throughput against an MCU that takes the wire time of 115200 baud
  // to receive each message and to send each reply; through the daemon,
  // and with no daemon, in turns, so that both meet the same moods of a
  // shared machine. The median of each.
  auto wire_paced = [](mcusim::mcu &sim) {
    sim.set_pacing(mcusim::pacing::line_rate);
    sim.set_hold(
        std::chrono::microseconds(static_cast<long>(6 * kByteMs * 1000.0)));
  };
  std::vector<double> rates, ideal_rates;
  for (int round = 0; round < 5; ++round) {
    {
      mcusim::mcu sim;
      wire_paced(sim);
      child d({ipd, "--config", "/dev/null", "--line", sim.slave_path(),
               "--udp", "127.0.0.1:0", "--tcp", "127.0.0.1:0"},
              dir + "/ipd2.err");
      d.wait_for("baud, 8N1");
      rates.push_back(throughput(port_in(d.wait_for("UDP 127.0.0.1:")),
                                 std::chrono::seconds(2)));
    }
    mcusim::mcu sim;
    wire_paced(sim);
    ideal_rates.push_back(
        ideal_relay(sim.slave_path(), std::chrono::seconds(2)));
  }
  std::sort(rates.begin(), rates.end());
  std::sort(ideal_rates.begin(), ideal_rates.end());
  const double rate = rates[rates.size() / 2];
  const double ideal_rate = ideal_rates[ideal_rates.size() / 2];
  const double wire_ms = (6 + 3) * kByteMs; // the message, its ACK
  const double max_rate = 1000.0 / wire_ms;
  std::string rm = "rm -rf " + dir;
  if (std::system(rm.c_str()) != 0)
    std::fprintf(stderr, "quelmar-ipd-bench: could not remove %s\n",
                 dir.c_str());

  std::printf("| Figure | Goal | Measured |\n|---|---|---|\n");
  row("Wire time of 81 01 04 07 02 FF out and 90 41 FF back at 115200 baud "
      "(ms)",
      "—", fmt(wire_ms));
  // The MCU answers at once over a pty: all of it is what the daemon (and
  // the kernel's loopback and pty) add.
  row("Datagram to ACK datagram, UDP, median / 99th percentile (ms)",
      "≤ 0.2 / ≤ 1 added", lat(udp));
  row("Message to ACK, raw VISCA over TCP, median / 99th percentile (ms)",
      "≤ 0.2 / ≤ 1 added, no slower than ser2net", lat(tcp));
  row("Datagram to ACK datagram, UDP, while a TCP controller floods (" +
          std::to_string(flooded_sent) + " commands sent" +
          (flood_closed ? ", closed for not reading its replies" : "") +
          "), median / 99th percentile (ms)",
      "the TCP controller's message, at most, goes first", lat(udp_flooded));
  if (!ser2net.empty()) {
    row("Message to ACK through ser2net (TCP, its default settings), median "
        "/ 99th percentile (ms)",
        "—", lat(relay));
    row("Message to ACK through ser2net (TCP, chardelay: false), median / "
        "99th percentile (ms)",
        "—", lat(relay_tuned));
  }
  row("The controller's own visca_exec_cmd on the same line, to its return "
      "after ACK and completion, median / 99th percentile (ms)",
      "—", lat(own));
  row("Commands per second, 4 UDP controllers, MCU at 115200 baud wire time "
      "(median of 5 runs of 2 s)",
      "≥ 90 % of " + fmt(max_rate, "%.0f") +
          " = 1000 / ((6 + 3) bytes × 10 bits / 115.2 bits per ms)",
      fmt(rate, "%.0f") + " = " + fmt(100.0 * rate / max_rate, "%.1f") + " %");
  row("Commands per second with no daemon: a loop on the line that writes "
      "the next command as each ACK is read",
      "what this simulator and pty allow",
      fmt(ideal_rate, "%.0f") + " = " +
          fmt(100.0 * ideal_rate / max_rate, "%.1f") + " %; the daemon " +
          fmt(100.0 * rate / ideal_rate, "%.1f") + " % of it");
  row("System calls in 10 s idle, line open (strace -c -f -p)", "0",
      fmt(idle_calls, "%.0f") +
          (idle_detail.empty() ? "" : " (" + idle_detail + ")"));
  row("CPU in those 10 s, % of one core", "0", fmt(idle_cpu, "%.2f"));
  row("Resident memory idle / after a flood of 20000 datagrams / peak (KiB)",
      "< 4096 under the flood",
      std::to_string(rss_idle) + " / " + std::to_string(rss_flood) + " / " +
          std::to_string(hwm_flood));
  for (const auto &r : rows)
    std::printf("%s\n", r.c_str());
  return 0;
}
