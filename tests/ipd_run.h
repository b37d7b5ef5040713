// Runs the real quelmar-visca-ipd binary against a simulated MCU, and
// talks to it as controllers do, over loopback UDP and TCP.
#pragma once

#include "mcu_sim.h"
#include "viscaip.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace ipd_run {

using mcusim::bytes;
using std::chrono::milliseconds;
using clock = std::chrono::steady_clock;

// Generous: the daemon and the tests may run under an emulator on a
// loaded machine. Only a fault makes a wait take this long.
constexpr milliseconds kPatience{10000};

// The daemon, started with --config /dev/null, listening on loopback
// ports of the kernel's choice, its standard error collected line by line.
class ipd_daemon {
public:
  // extra: further arguments (--line PATH, --speed, ...).
  explicit ipd_daemon(std::vector<std::string> extra);
  ~ipd_daemon(); // stop(), if not stopped yet
  ipd_daemon(const ipd_daemon &) = delete;
  ipd_daemon &operator=(const ipd_daemon &) = delete;

  pid_t pid() const { return pid_; }
  int udp_port() const { return udp_port_; }
  int tcp_port() const { return tcp_port_; }
  // Waits until a line of standard error contains text, counting only
  // lines after the first `skip`; the index of that line, or -1.
  int wait_for_log(const std::string &text, size_t skip = 0,
                   milliseconds patience = kPatience);
  std::vector<std::string> log() const;
  // Stops the daemon's process (SIGSTOP) and returns once it is stopped,
  // so that what arrives meanwhile meets it in one wake-up; and lets it go
  // on.
  void pause();
  void resume();
  // SIGTERM, then the exit status (-1 if it had to be killed, or was
  // stopped already).
  int stop();

private:
  pid_t pid_ = -1;
  int err_ = -1;
  int udp_port_ = 0, tcp_port_ = 0;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> lines_;
  bool eof_ = false;
  std::thread reader_;
};

struct reply {
  uint16_t type = 0;
  uint32_t sequence = 0;
  bytes payload;
};

// A UDP controller on a loopback address and port of its own.
class udp_controller {
public:
  explicit udp_controller(int daemon_port, const char *address = "127.0.0.1",
                          int port = 0);
  ~udp_controller();
  udp_controller(const udp_controller &) = delete;
  udp_controller &operator=(const udp_controller &) = delete;
  void send_raw(const bytes &datagram);
  void send(uint16_t type, uint32_t sequence, const bytes &payload);
  // The next datagram, or nothing within patience.
  std::optional<reply> receive(milliseconds patience = kPatience);
  int port() const { return port_; }

private:
  int fd_ = -1;
  int port_ = 0;
  int daemon_port_;
};

// A raw-VISCA TCP controller.
class tcp_controller {
public:
  explicit tcp_controller(int daemon_port);
  ~tcp_controller();
  tcp_controller(const tcp_controller &) = delete;
  tcp_controller &operator=(const tcp_controller &) = delete;
  void send(const bytes &data);
  // As send, for a connection the daemon may have closed already.
  void send_unchecked(const bytes &data);
  // Bytes up to and including the next FF, or nothing within patience.
  std::optional<bytes> receive(milliseconds patience = kPatience);
  // Closes the connection and waits until the daemon's end has its FIN
  // (the kernel lists it in CLOSE_WAIT).
  void close_and_wait();
  // After close_and_wait: until the daemon has closed its end too.
  void wait_until_daemon_closes();
  // Sends no more (shutdown SHUT_WR), and reads on.
  void half_close();
  // True when the daemon closed the connection, with nothing unread.
  bool closed_by_daemon(milliseconds patience = kPatience);
  void close();

private:
  int fd_ = -1;
  bytes pending_;
  uint16_t closed_port_ = 0;
};

// Resident memory of a process in KiB (VmRSS), or -1.
long resident_kib(pid_t pid);
// The kernel's UDP drops so far: datagrams refused for a full receive or
// send buffer (this network namespace's /proc/net/snmp), and packets the
// backlog dropped (every CPU's /proc/net/softnet_stat).
struct udp_drops {
  long rcvbuf = 0, sndbuf = 0, backlog = 0;
};
udp_drops kernel_udp_drops();
// Datagrams the kernel dropped at the IPv4 UDP socket bound to local_port,
// for a full receive buffer (/proc/net/udp's last column).
long socket_drops(int local_port);
// Runs visca-send, or the daemon, with args to its end; its standard
// output (and for the daemon, standard error) and exit status.
std::string run_send(const std::vector<std::string> &args, int &status);
// prefix: words before the daemon's command (setpriv ..., say).
std::string run_daemon(const std::vector<std::string> &args, int &status,
                       const std::vector<std::string> &prefix = {});

// True when the daemon runs under an emulator, whose memory is not its.
bool emulated();

} // namespace ipd_run
