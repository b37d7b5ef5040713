#include "daemon.h"

#include "relay.h"
#include "visca.h"
#include "visca_port.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace ipd {
namespace {

using viscaip::bytes;
using viscaip::ms;

void say(const std::string &text) {
  std::fprintf(stderr, "quelmar-visca-ipd: %s\n", text.c_str());
}

ms now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string local_name(int fd) {
  viscaip::udp_peer p;
  p.len = sizeof p.addr;
  // Only for the log: a bound socket has a name, and failing that the
  // address reads as "[?]:0".
  [[maybe_unused]] int rc =
      ::getsockname(fd, reinterpret_cast<sockaddr *>(&p.addr), &p.len);
  return viscaip::describe(p);
}

// A bound socket for "ADDR:PORT", or -1 with the reason said.
int listen_on(const std::string &endpoint, int type) {
  std::string host, port;
  split_endpoint(endpoint, host, port); // checked when parsed
  addrinfo hints{};
  hints.ai_socktype = type;
  // Numeric only: a daemon started at boot must not wait for a resolver.
  hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
  addrinfo *res = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &res);
  if (rc != 0) {
    say("cannot listen on " + endpoint + ": " + ::gai_strerror(rc));
    return -1;
  }
  const int fd =
      ::socket(res->ai_family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const int one = 1;
  const bool stream = type == SOCK_STREAM;
  // [::] and 0.0.0.0 can then both be listened on.
  const bool failed =
      fd < 0 ||
      (res->ai_family == AF_INET6 &&
       ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one) < 0) ||
      (stream &&
       ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0) ||
      ::bind(fd, res->ai_addr, res->ai_addrlen) < 0 ||
      (stream && ::listen(fd, 16) < 0);
  ::freeaddrinfo(res);
  if (failed) {
    say("cannot listen on " + endpoint + ": " + std::strerror(errno));
    ::close(fd); // harmless on -1
    return -1;
  }
  return fd;
}

struct connection {
  int fd;
  bytes out; // replies not yet taken by the peer
};

class daemon_loop {
public:
  explicit daemon_loop(const options &o) : opts_(o) {}
  ~daemon_loop();
  int run();

private:
  const options &opts_;
  viscaip::relay relay_;
  viscaip::outbox out_;
  visca line_;
  bool line_open_ = false;
  ms reopen_at_ = 0;
  std::string line_fault_; // the last reason the line is closed, said once
  bytes line_out_;
  int signals_ = -1;
  std::vector<int> udp_, tcp_;
  std::map<uint64_t, connection> conns_;
  uint64_t next_conn_ = 0;
  ms refused_said_ = -kReopenIntervalMs * 10;
  std::vector<uint8_t> buf_ = std::vector<uint8_t>(65536);

  void open_line(ms now);
  void lose_line(ms now, const std::string &why);
  void read_line(ms now);
  void write_line(ms now);
  void read_udp(int fd, ms now);
  void accept_tcp(int fd, ms now);
  void read_tcp(uint64_t id, ms now);
  void write_tcp(connection &c);
  void close_tcp(uint64_t id);
  void emit(); // sends and says what the relay put out for the network
  void flush(ms now);
};

daemon_loop::~daemon_loop() {
  line_.deinit_visca();
  for (auto &c : conns_)
    ::close(c.second.fd);
  for (int fd : udp_)
    ::close(fd);
  for (int fd : tcp_)
    ::close(fd);
  if (signals_ >= 0)
    ::close(signals_);
}

void daemon_loop::open_line(ms now) {
  speed_t speed = opts_.speed == 9600 ? B9600 : B115200;
  line_.camSerial = opts_.line.c_str();
  if (!line_.init_visca(speed)) {
    const std::string why = std::strerror(errno);
    if (why != line_fault_)
      say("cannot open the MCU's line " + opts_.line + ": " + why +
          "; trying again every second");
    line_fault_ = why;
    reopen_at_ = now + kReopenIntervalMs;
    return;
  }
  if (!::isatty(line_.cam_fd)) {
    say(opts_.line + " is not a terminal: its speed could not be set");
  } else if (::ioctl(line_.cam_fd, TIOCEXCL) != 0) {
    // The line is ours alone while we run: a later opener without
    // CAP_SYS_ADMIN (the probe's sandboxed unit, a terminal program) gets
    // EBUSY instead of mixing its bytes with the controllers' messages.
    say("cannot take " + opts_.line + " exclusively: " + std::strerror(errno));
  }
  line_open_ = true;
  line_fault_.clear();
  say("line " + opts_.line + " open at " + std::to_string(opts_.speed) +
      " baud, 8N1");
  relay_.line_up(now, out_);
}

void daemon_loop::lose_line(ms now, const std::string &why) {
  say("lost the MCU's line " + opts_.line + ": " + why);
  line_fault_ = why;
  line_.deinit_visca();
  line_open_ = false;
  line_out_.clear();
  reopen_at_ = now + kReopenIntervalMs;
  relay_.line_down(now, out_);
}

void daemon_loop::read_line(ms now) {
  for (;;) {
    const ssize_t n =
        visca_port::ops().read(line_.cam_fd, buf_.data(), buf_.size());
    if (n > 0) {
      relay_.line_bytes(buf_.data(), static_cast<size_t>(n), now, out_);
      continue;
    }
    // Non-blocking, with no signal handlers: no EINTR.
    if (n < 0 && errno == EAGAIN)
      return;
    lose_line(now, n == 0 ? "end of file" : std::strerror(errno));
    return;
  }
}

void daemon_loop::write_line(ms now) {
  while (line_open_ && !line_out_.empty()) {
    const ssize_t n = visca_port::ops().write(line_.cam_fd, line_out_.data(),
                                              line_out_.size());
    if (n > 0) {
      line_out_.erase(line_out_.begin(), line_out_.begin() + n);
      continue;
    }
    // The driver's buffer is full (or, never for a tty, took nothing):
    // poll says when it drains.
    if (n == 0 || errno == EAGAIN)
      return;
    lose_line(now, std::strerror(errno));
  }
}

void daemon_loop::read_udp(int fd, ms now) {
  // A bounded batch, so that a flood on one socket cannot starve the rest.
  for (int i = 0; i < 64; ++i) {
    viscaip::udp_peer from;
    from.socket = fd;
    from.len = sizeof from.addr;
    const ssize_t n =
        ::recvfrom(fd, buf_.data(), buf_.size(), 0,
                   reinterpret_cast<sockaddr *>(&from.addr), &from.len);
    if (n < 0)
      return; // EAGAIN, or an error a datagram socket reports per packet
    relay_.datagram(from, buf_.data(), static_cast<size_t>(n), now, out_);
    flush(now);
  }
}

void daemon_loop::accept_tcp(int fd, ms now) {
  for (;;) {
    const int c = ::accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (c < 0)
      return;
    if (conns_.size() >= kMaxConnections) {
      ::close(c);
      if (now - refused_said_ >= 10000) {
        say("refusing TCP connections beyond " +
            std::to_string(kMaxConnections) + " at once");
        refused_said_ = now;
      }
      continue;
    }
    const int one = 1;
    // Replies are small and latency is the point; a small send buffer
    // keeps what a peer that does not read costs the board small, and
    // the backlog bound below does the rest.
    const int send_buffer = 16 * 1024;
    ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(c, SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer);
    conns_[++next_conn_] = connection{c, {}};
  }
}

void daemon_loop::read_tcp(uint64_t id, ms now) {
  for (;;) {
    auto it = conns_.find(id);
    if (it == conns_.end())
      return;
    const ssize_t n = ::recv(it->second.fd, buf_.data(), 4096, 0);
    if (n > 0) {
      relay_.stream_bytes(id, buf_.data(), static_cast<size_t>(n), now, out_);
      flush(now);
      continue;
    }
    if (n < 0 && errno == EAGAIN)
      return;
    close_tcp(id); // the end, or a reset
    return;
  }
}

void daemon_loop::write_tcp(connection &c) {
  while (!c.out.empty()) {
    const ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
    if (n <= 0)
      return; // full, or broken: the next read says which
    c.out.erase(c.out.begin(), c.out.begin() + n);
  }
}

// Only for open connections.
void daemon_loop::close_tcp(uint64_t id) {
  ::close(conns_.at(id).fd);
  conns_.erase(id);
  relay_.stream_closed(id);
}

void daemon_loop::emit() {
  for (const auto &line : out_.log)
    say(line);
  for (const auto &d : out_.datagrams) {
    // A reply that does not fit the socket's buffer is lost, as on any
    // UDP path; the controller retransmits.
    [[maybe_unused]] ssize_t n =
        ::sendto(d.to.socket, d.data.data(), d.data.size(), MSG_DONTWAIT,
                 reinterpret_cast<const sockaddr *>(&d.to.addr), d.to.len);
  }
  // One send per connection for all its replies: a burst of small
  // replies is not split into as many segments.
  std::vector<uint64_t> touched, overrun;
  for (const auto &s : out_.streams) {
    // The relay answers only connections that are open.
    connection &c = conns_.at(s.conn);
    touched.push_back(s.conn);
    c.out.insert(c.out.end(), s.data.begin(), s.data.end());
  }
  std::sort(touched.begin(), touched.end());
  touched.erase(std::unique(touched.begin(), touched.end()), touched.end());
  for (uint64_t id : touched) {
    connection &c = conns_.at(id);
    write_tcp(c);
    if (c.out.size() > kMaxStreamBacklog)
      overrun.push_back(id);
  }
  out_.clear();
  for (uint64_t id : overrun) {
    say("TCP connection " + std::to_string(id) +
        " does not read its replies: closed");
    close_tcp(id);
  }
}

void daemon_loop::flush(ms now) {
  // The line first: the MCU, not the network, is the bottleneck, and the
  // next message goes out before the replies of the last one.
  line_out_.insert(line_out_.end(), out_.line.begin(), out_.line.end());
  out_.line.clear();
  write_line(now);
  // With what losing the line answered, if it was lost.
  emit();
}

int daemon_loop::run() {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  // Fails only for a bad argument.
  ::sigprocmask(SIG_BLOCK, &stop, nullptr);
  signals_ = ::signalfd(-1, &stop, SFD_NONBLOCK | SFD_CLOEXEC);
  if (signals_ < 0) {
    say(std::string("cannot take signals: ") + std::strerror(errno));
    return 1;
  }
  struct transport {
    const std::vector<std::string> &addresses;
    int type;
    std::vector<int> &sockets;
    const char *what;
  };
  for (const transport &t :
       {transport{opts_.udp, SOCK_DGRAM, udp_, "VISCA over IP on UDP "},
        transport{opts_.tcp, SOCK_STREAM, tcp_, "raw VISCA on TCP "}}) {
    for (const auto &e : t.addresses) {
      const int fd = listen_on(e, t.type);
      if (fd < 0)
        return 1;
      t.sockets.push_back(fd);
      say(std::string("listening for ") + t.what + local_name(fd));
    }
  }
  open_line(now_ms());
  flush(now_ms());

  std::vector<pollfd> fds;
  std::vector<uint64_t> conn_ids;
  for (;;) {
    const ms now = now_ms();
    // Nothing is on the line, and so nothing due, while it is closed.
    const ms due = line_open_ ? relay_.deadline() : reopen_at_;
    const int timeout =
        due < 0 ? -1 : static_cast<int>(std::max<ms>(0, due - now));

    fds.clear();
    fds.push_back({signals_, POLLIN, 0});
    fds.push_back(
        {line_open_ ? line_.cam_fd : -1,
         static_cast<short>(POLLIN | (line_out_.empty() ? 0 : POLLOUT)), 0});
    for (int fd : udp_)
      fds.push_back({fd, POLLIN, 0});
    for (int fd : tcp_)
      fds.push_back({fd, POLLIN, 0});
    conn_ids.clear();
    for (const auto &c : conns_) {
      conn_ids.push_back(c.first);
      fds.push_back(
          {c.second.fd,
           static_cast<short>(POLLIN | (c.second.out.empty() ? 0 : POLLOUT)),
           0});
    }
    if (::poll(fds.data(), fds.size(), timeout) < 0) {
      if (errno == EINTR)
        continue;
      say(std::string("poll failed: ") + std::strerror(errno));
      return 1;
    }
    const ms t = now_ms();
    if (fds[0].revents) {
      // Poll said a signal waits: the read takes it.
      signalfd_siginfo si{};
      [[maybe_unused]] ssize_t n = ::read(signals_, &si, sizeof si);
      say(std::string("stopping on ") + ::strsignal(int(si.ssi_signo)));
      return 0;
    }
    if (line_open_ && fds[1].revents) {
      // A hang-up or error shows as a read that fails or ends, after
      // whatever the MCU sent before it.
      if (fds[1].revents & ~POLLOUT)
        read_line(t);
      if (fds[1].revents & POLLOUT)
        write_line(t);
    }
    size_t i = 2;
    for (int fd : udp_)
      if (fds[i++].revents)
        read_udp(fd, t);
    for (int fd : tcp_)
      if (fds[i++].revents)
        accept_tcp(fd, t);
    for (uint64_t id : conn_ids) {
      const short ev = fds[i++].revents;
      auto it = conns_.find(id); // an earlier one's reply may have closed it
      if ((ev & POLLOUT) && it != conns_.end())
        write_tcp(it->second);
      if (ev & ~POLLOUT)
        read_tcp(id, t);
    }
    const ms later = now_ms();
    relay_.tick(later, out_);
    if (!line_open_ && later >= reopen_at_)
      open_line(later);
    flush(later);
  }
}

} // namespace

int run(const options &o) {
  daemon_loop loop(o);
  return loop.run();
}

} // namespace ipd
