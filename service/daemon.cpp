#include "daemon.h"

#include "allow.h"
#include "relay.h"
#include "visca.h"
#include "visca_port.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <grp.h>
#include <map>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/un.h>
#include <unistd.h>

namespace ipd {
namespace {

using viscaip::bytes;
using viscaip::ms;

void real_say(const std::string &text) {
  std::fprintf(stderr, "quelmar-visca-ipd: %s\n", text.c_str());
}

int real_poll(pollfd *fds, nfds_t count, int timeout_ms) {
  return ::poll(fds, count, timeout_ms);
}
ssize_t real_read(int fd, void *buf, size_t len) {
  return ::read(fd, buf, len);
}
ssize_t real_write(int fd, const void *buf, size_t len) {
  return ::write(fd, buf, len);
}
ssize_t real_recvfrom(int fd, void *buf, size_t len, sockaddr *from,
                      socklen_t *from_len) {
  return ::recvfrom(fd, buf, len, 0, from, from_len);
}
ssize_t real_sendto(int fd, const void *buf, size_t len, const sockaddr *to,
                    socklen_t to_len) {
  return ::sendto(fd, buf, len, MSG_DONTWAIT, to, to_len);
}
ssize_t real_recv(int fd, void *buf, size_t len) {
  return ::recv(fd, buf, len, 0);
}
ssize_t real_send(int fd, const void *buf, size_t len) {
  return ::send(fd, buf, len, MSG_NOSIGNAL);
}

int real_accept(int listener, sockaddr_storage *peer, socklen_t *len) {
  const int c = ::accept4(listener, reinterpret_cast<sockaddr *>(peer), len,
                          SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (c < 0)
    return -1;
  const int one = 1;
  // Replies are small and latency is the point; a small send buffer
  // keeps what a peer that does not read costs the board small, and the
  // backlog bound does the rest. Neither failing changes what is sent.
  const int send_buffer = 16 * 1024;
  ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  ::setsockopt(c, SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer);
  return c;
}

int real_close(int fd) { return ::close(fd); }

int real_open_line(const std::string &path, unsigned speed) {
  visca line;
  line.camSerial = path.c_str();
  speed_t s = speed == 9600 ? B9600 : B115200;
  if (!line.init_visca(s))
    return -1;
  const int fd = line.cam_fd;
  line.cam_fd = -1; // the loop's now, not the controller's to close
  if (!::isatty(fd)) {
    real_say(path + " is not a terminal: its speed could not be set");
  } else if (::ioctl(fd, TIOCEXCL) != 0) {
    // The line is ours alone while we run: a later opener without
    // CAP_SYS_ADMIN (the probe's sandboxed unit, a terminal program) gets
    // EBUSY instead of mixing its bytes with the controllers' messages.
    real_say("cannot take " + path + " exclusively: " + std::strerror(errno));
  }
  return fd;
}

void real_close_line(int fd) {
  // Give the line up as it was taken: a tty that something else keeps open
  // (an emulator, a rival reader) keeps the exclusive flag past our close,
  // and the next daemon, started again, would get EBUSY. Not a tty: ENOTTY.
  [[maybe_unused]] int rc = ::ioctl(fd, TIOCNXCL);
  visca_port::close_line(fd);
}

int64_t real_now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// systemd's readiness protocol: one datagram to $NOTIFY_SOCKET, a path or,
// with a leading '@', an abstract name. Without the variable nobody waits.
void real_notify(const std::string &state) {
  const char *path = std::getenv("NOTIFY_SOCKET");
  sockaddr_un to{};
  if (path == nullptr || path[0] == '\0' ||
      std::strlen(path) >= sizeof to.sun_path)
    return;
  to.sun_family = AF_UNIX;
  std::strcpy(to.sun_path, path);
  if (to.sun_path[0] == '@')
    to.sun_path[0] = '\0';
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) +
                                          std::strlen(path));
  if (fd < 0 || ::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL,
                         reinterpret_cast<sockaddr *>(&to), len) < 0)
    real_say(std::string("cannot tell the service manager: ") +
             std::strerror(errno));
  ::close(fd); // harmless on -1
}

const system_calls kReal = {
    real_poll,       real_read,   real_write,  real_recvfrom, real_sendto,
    real_recv,       real_send,   real_accept, real_close,    real_open_line,
    real_close_line, real_now_ms, real_say,    real_notify};

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
    real_say("cannot listen on " + endpoint + ": " + ::gai_strerror(rc));
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
    real_say("cannot listen on " + endpoint + ": " + std::strerror(errno));
    ::close(fd); // harmless on -1
    return -1;
  }
  return fd;
}

bool same_peer(const viscaip::udp_peer &a, const viscaip::udp_peer &b) {
  return a.socket == b.socket && a.len == b.len &&
         std::memcmp(&a.addr, &b.addr, a.len) == 0;
}

bool would_block(int error) {
  // EWOULDBLOCK is EAGAIN on Linux.
  return error == EAGAIN || error == ENOBUFS;
}

struct connection {
  int fd;
  bytes out;                // replies not yet taken by the peer
  bool half_closed = false; // the peer sends no more
  ms half_closed_at = 0;
};

// The loop's own counts, beside the relay's.
struct loop_counters {
  uint64_t undeliverable = 0; // replies for connections gone or broken
  uint64_t unsent = 0;        // datagrams a socket would not take, dropped
  uint64_t denied = 0;        // datagrams and connections not allowed
  uint64_t refused = 0;       // connections beyond the bound
};

// Says a kind of fault at most once in 10 s.
class rate_limited {
public:
  template <class Text> void say(const system_calls &sys, ms now, Text text) {
    if (said_ && now - last_ < 10000)
      return;
    said_ = true;
    last_ = now;
    sys.say(text());
  }

private:
  bool said_ = false;
  ms last_ = 0;
};

class daemon_loop {
public:
  daemon_loop(const options &o, const descriptors &d, const system_calls &sys);
  ~daemon_loop();
  int run();

private:
  const options &opts_;
  const system_calls &sys_;
  descriptors fds_;
  allow_list allow_;
  viscaip::relay relay_;
  viscaip::outbox out_;
  int line_ = -1;
  ms reopen_at_ = 0;
  std::string line_fault_; // the last reason the line is closed, said once
  bytes line_out_;
  ms line_blocked_since_ = -1; // when line_out_ last stopped draining
  std::map<uint64_t, connection> conns_;
  uint64_t next_conn_ = 0;
  std::map<int, std::deque<viscaip::outbox::datagram_out>> unsent_;
  loop_counters counts_;
  rate_limited refused_said_, udp_denied_said_, tcp_denied_said_, unsent_said_,
      accept_said_;
  ms accept_paused_until_ = 0;
  std::vector<uint8_t> buf_ = std::vector<uint8_t>(65536);

  void open_line(ms now);
  void lose_line(ms now, const std::string &why);
  void read_line(ms now);
  void write_line(ms now);
  void read_udp(int fd, ms now);
  void send_datagram(const viscaip::outbox::datagram_out &d, ms now);
  void write_udp(int fd);
  void accept_tcp(int fd, ms now);
  void read_tcp(uint64_t id, ms now);
  bool write_tcp(connection &c);
  void close_tcp(uint64_t id);
  void collect(ms now);
  void close_finished(ms now);
  ms next_deadline(ms now) const;
  std::string status() const;
};

daemon_loop::daemon_loop(const options &o, const descriptors &d,
                         const system_calls &sys)
    : opts_(o), sys_(sys), fds_(d) {
  std::string error;
  // Checked when the options were parsed.
  for (const auto &n : o.allow)
    allow_.add(n, error);
}

daemon_loop::~daemon_loop() {
  if (line_ >= 0)
    sys_.close_line(line_);
  for (auto &c : conns_)
    sys_.close(c.second.fd);
  for (int fd : fds_.udp)
    sys_.close(fd);
  for (int fd : fds_.tcp)
    sys_.close(fd);
  sys_.close(fds_.signals);
}

std::string daemon_loop::status() const {
  return viscaip::describe(relay_.counters()) + "; connections " +
         std::to_string(conns_.size()) + ", undeliverable on closed ones " +
         std::to_string(counts_.undeliverable) + ", unsent datagrams " +
         std::to_string(counts_.unsent) + ", denied " +
         std::to_string(counts_.denied) + ", refused " +
         std::to_string(counts_.refused);
}

void daemon_loop::open_line(ms now) {
  line_ = sys_.open_line(opts_.line, opts_.speed);
  if (line_ < 0) {
    const std::string why = std::strerror(errno);
    if (why != line_fault_)
      sys_.say("cannot open the MCU's line " + opts_.line + ": " + why +
               "; trying again every second");
    line_fault_ = why;
    reopen_at_ = now + kReopenIntervalMs;
    return;
  }
  line_fault_.clear();
  sys_.say("line " + opts_.line + " open at " + std::to_string(opts_.speed) +
           " baud, 8N1");
  relay_.line_up(now, out_);
}

void daemon_loop::lose_line(ms now, const std::string &why) {
  sys_.say("lost the MCU's line " + opts_.line + ": " + why);
  line_fault_ = why;
  sys_.close_line(line_);
  line_ = -1;
  line_out_.clear();
  line_blocked_since_ = -1;
  reopen_at_ = now + kReopenIntervalMs;
  relay_.line_down(now, out_);
}

void daemon_loop::read_line(ms now) {
  // Bounded like the sockets' reads, though a UART's rate bounds it too.
  for (int i = 0; i < kUdpBatch && line_ >= 0; ++i) {
    const ssize_t n = sys_.read(line_, buf_.data(), buf_.size());
    if (n > 0) {
      relay_.line_bytes(buf_.data(), static_cast<size_t>(n), now, out_);
      collect(now);
      continue;
    }
    // Non-blocking, with no signal handlers: no EINTR.
    if (n < 0 && errno == EAGAIN)
      return;
    lose_line(now, n == 0 ? "end of file" : std::strerror(errno));
    collect(now);
  }
}

void daemon_loop::write_line(ms now) {
  const bool had = !line_out_.empty();
  while (line_ >= 0 && !line_out_.empty()) {
    const ssize_t n = sys_.write(line_, line_out_.data(), line_out_.size());
    if (n > 0) {
      line_out_.erase(line_out_.begin(), line_out_.begin() + n);
      continue;
    }
    // The driver's buffer is full (or, never for a tty, took nothing):
    // poll says when it drains.
    if (n == 0 || errno == EAGAIN) {
      if (line_blocked_since_ < 0)
        line_blocked_since_ = now;
      relay_.line_blocked();
      return;
    }
    lose_line(now, std::strerror(errno));
  }
  line_blocked_since_ = -1;
  if (had && line_ >= 0)
    relay_.line_flushed(now);
}

void daemon_loop::read_udp(int fd, ms now) {
  // A bounded batch, so that a flood on one socket cannot starve the rest.
  for (int i = 0; i < kUdpBatch; ++i) {
    viscaip::udp_peer from;
    from.socket = fd;
    from.len = sizeof from.addr;
    const ssize_t n =
        sys_.recvfrom(fd, buf_.data(), buf_.size(),
                      reinterpret_cast<sockaddr *>(&from.addr), &from.len);
    if (n < 0)
      return; // EAGAIN, or an error a datagram socket reports per packet
    if (!allow_.permits(from.addr)) {
      ++counts_.denied;
      udp_denied_said_.say(sys_, now, [&] {
        return "datagram from " + viscaip::describe(from) +
               ": not an allowed address, dropped";
      });
      continue;
    }
    relay_.datagram(from, buf_.data(), static_cast<size_t>(n), now, out_);
    collect(now);
  }
}

void daemon_loop::send_datagram(const viscaip::outbox::datagram_out &d,
                                ms now) {
  auto &waiting = unsent_[d.to.socket];
  size_t mine = 0;
  for (const auto &w : waiting)
    mine += same_peer(w.to, d.to);
  // Behind this controller's earlier replies, so they keep their order.
  if (mine == 0 && sys_.sendto(d.to.socket, d.data.data(), d.data.size(),
                               reinterpret_cast<const sockaddr *>(&d.to.addr),
                               d.to.len) >= 0)
    return;
  const int error = mine > 0 ? 0 : errno;
  if ((mine > 0 || would_block(error)) && mine < kUdpBacklog) {
    waiting.push_back(d);
    return;
  }
  // Refused outright, or this controller has too many waiting: as on any
  // UDP path, it is lost, and the controller asks again.
  ++counts_.unsent;
  const char *why = mine > 0 ? "too many wait" : std::strerror(error);
  unsent_said_.say(sys_, now, [&] {
    return "a reply to " + viscaip::describe(d.to) +
           " could not be sent: " + why;
  });
}

void daemon_loop::write_udp(int fd) {
  auto &waiting = unsent_[fd];
  while (!waiting.empty()) {
    const auto &d = waiting.front();
    if (sys_.sendto(fd, d.data.data(), d.data.size(),
                    reinterpret_cast<const sockaddr *>(&d.to.addr),
                    d.to.len) < 0 &&
        would_block(errno))
      return;
    // Sent, or refused for good: either way it leaves the queue.
    waiting.pop_front();
  }
}

void daemon_loop::accept_tcp(int fd, ms now) {
  for (;;) {
    sockaddr_storage peer{};
    socklen_t len = sizeof peer;
    const int c = sys_.accept(fd, &peer, &len);
    if (c < 0) {
      if (errno == EAGAIN)
        return;
      // Out of descriptors or memory: the listener stays readable, so
      // wait a moment rather than spin.
      accept_paused_until_ = now + 100;
      accept_said_.say(sys_, now, [&] {
        return std::string("cannot accept a TCP connection: ") +
               std::strerror(errno);
      });
      return;
    }
    if (!allow_.permits(peer)) {
      sys_.close(c);
      ++counts_.denied;
      tcp_denied_said_.say(sys_, now, [&] {
        viscaip::udp_peer p;
        p.addr = peer;
        p.len = len;
        return "TCP connection from " + viscaip::describe(p) +
               ": not an allowed address, closed";
      });
      continue;
    }
    if (conns_.size() >= kMaxConnections) {
      sys_.close(c);
      ++counts_.refused;
      refused_said_.say(sys_, now, [] {
        return "refusing TCP connections beyond " +
               std::to_string(kMaxConnections) + " at once";
      });
      continue;
    }
    conns_[++next_conn_] = connection{c, {}, false, 0};
  }
}

void daemon_loop::read_tcp(uint64_t id, ms now) {
  // Bounded too: a peer that keeps its socket full cannot hold the loop.
  for (int i = 0; i < kTcpBatch; ++i) {
    auto it = conns_.find(id);
    if (it == conns_.end())
      return;
    const ssize_t n = sys_.recv(it->second.fd, buf_.data(), kTcpRead);
    if (n > 0) {
      relay_.stream_bytes(id, buf_.data(), static_cast<size_t>(n), now, out_);
      collect(now);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
      return;
    if (n == 0 && (relay_.owes(id) || !it->second.out.empty())) {
      // Half-closed: the peer still reads what it is owed.
      it->second.half_closed = true;
      it->second.half_closed_at = now;
      return;
    }
    close_tcp(id); // the end, or a reset
    return;
  }
}

bool daemon_loop::write_tcp(connection &c) {
  while (!c.out.empty()) {
    const ssize_t n = sys_.send(c.fd, c.out.data(), c.out.size());
    if (n < 0)
      return errno == EAGAIN || errno == EINTR; // full, or broken
    c.out.erase(c.out.begin(), c.out.begin() + n);
  }
  return true;
}

void daemon_loop::close_tcp(uint64_t id) {
  // Callers have just found it open; were it not, closing is a no-op.
  auto it = conns_.find(id);
  if (it != conns_.end()) {
    sys_.close(it->second.fd);
    conns_.erase(it);
  }
  relay_.stream_closed(id);
}

void daemon_loop::collect(ms now) {
  // Everything the relay said goes out before anything else is read, so a
  // reply never waits on a connection that may be gone by then.
  std::vector<uint64_t> touched;
  while (!out_.empty()) {
    viscaip::outbox o;
    std::swap(o, out_);
    // The line first: the MCU, not the network, is the bottleneck, and
    // the next message goes out before the replies of the last one.
    line_out_.insert(line_out_.end(), o.line.begin(), o.line.end());
    write_line(now); // losing the line answers into out_: the next round
    for (const auto &line : o.log)
      sys_.say(line);
    for (const auto &d : o.datagrams)
      send_datagram(d, now);
    for (const auto &s : o.streams) {
      // The relay forgets a connection when it closes, so this finds it;
      // were it gone all the same, the reply is dropped and counted.
      auto it = conns_.find(s.conn);
      const bool open = it != conns_.end();
      counts_.undeliverable += !open;
      if (open) {
        touched.push_back(s.conn);
        it->second.out.insert(it->second.out.end(), s.data.begin(),
                              s.data.end());
      }
    }
  }
  // One send per connection for all its replies: a burst of small
  // replies is not split into as many segments.
  std::sort(touched.begin(), touched.end());
  touched.erase(std::unique(touched.begin(), touched.end()), touched.end());
  for (uint64_t id : touched) {
    connection &c = conns_.at(id); // nothing above closes a connection
    if (!write_tcp(c)) {
      ++counts_.undeliverable; // its replies, with the connection
      close_tcp(id);
    } else if (c.out.size() > kMaxStreamBacklog) {
      sys_.say("TCP connection " + std::to_string(id) +
               " does not read its replies: closed");
      close_tcp(id);
    }
  }
}

void daemon_loop::close_finished(ms now) {
  std::vector<uint64_t> done;
  for (const auto &c : conns_)
    if (c.second.half_closed &&
        ((c.second.out.empty() && !relay_.owes(c.first)) ||
         now - c.second.half_closed_at >= kHalfCloseLingerMs))
      done.push_back(c.first);
  for (uint64_t id : done)
    close_tcp(id);
}

int daemon_loop::run() {
  open_line(sys_.now_ms());
  collect(sys_.now_ms());
  sys_.notify(
      "READY=1\nSTATUS=" + std::string(line_ >= 0 ? "serving" : "no MCU line") +
      "\nMAINPID=" + std::to_string(::getpid()));

  std::vector<pollfd> fds;
  std::vector<uint64_t> conn_ids;
  for (;;) {
    const ms now = sys_.now_ms();
    const ms due = next_deadline(now);
    const bool accepting = now >= accept_paused_until_;
    const int timeout =
        due < 0 ? -1 : static_cast<int>(std::max<ms>(0, due - now));

    fds.clear();
    fds.push_back({fds_.signals, POLLIN, 0});
    fds.push_back(
        {line_, static_cast<short>(POLLIN | (line_out_.empty() ? 0 : POLLOUT)),
         0});
    for (int fd : fds_.udp)
      fds.push_back(
          {fd, static_cast<short>(POLLIN | (unsent_[fd].empty() ? 0 : POLLOUT)),
           0});
    for (int fd : fds_.tcp)
      fds.push_back({fd, static_cast<short>(accepting ? POLLIN : 0), 0});
    conn_ids.clear();
    for (const auto &c : conns_) {
      conn_ids.push_back(c.first);
      const short in = c.second.half_closed ? 0 : POLLIN;
      const short out = c.second.out.empty() ? 0 : POLLOUT;
      fds.push_back({c.second.fd, static_cast<short>(in | out), 0});
    }
    if (sys_.poll(fds.data(), fds.size(), timeout) < 0) {
      if (errno == EINTR)
        continue;
      sys_.say(std::string("poll failed: ") + std::strerror(errno));
      return 1;
    }
    const ms t = sys_.now_ms();
    if (fds[0].revents) {
      // Poll said a signal waits: the read takes it.
      signalfd_siginfo si{};
      [[maybe_unused]] ssize_t n = sys_.read(fds_.signals, &si, sizeof si);
      sys_.notify("STOPPING=1");
      sys_.say(std::string("stopping on ") + ::strsignal(int(si.ssi_signo)) +
               "; " + status());
      return 0;
    }
    if (line_ >= 0 && fds[1].revents) {
      // A hang-up or error shows as a read that fails or ends, after
      // whatever the MCU sent before it.
      if (fds[1].revents & ~POLLOUT)
        read_line(t);
      if (fds[1].revents & POLLOUT)
        write_line(t);
      collect(t);
    }
    size_t i = 2;
    for (int fd : fds_.udp) {
      const short ev = fds[i++].revents;
      if (ev & POLLOUT)
        write_udp(fd);
      if (ev & ~POLLOUT)
        read_udp(fd, t);
    }
    for (int fd : fds_.tcp)
      if (fds[i++].revents)
        accept_tcp(fd, t);
    for (uint64_t id : conn_ids) {
      const short ev = fds[i++].revents;
      auto it = conns_.find(id); // a reply's failure may have closed it
      if (it == conns_.end())
        continue;
      if ((ev & POLLOUT) && !write_tcp(it->second)) {
        close_tcp(id);
        continue;
      }
      if (it->second.half_closed && (ev & (POLLHUP | POLLERR)))
        close_tcp(id); // gone altogether: nobody reads what it is owed
      else if (ev & ~POLLOUT)
        read_tcp(id, t);
    }
    const ms later = sys_.now_ms();
    if (line_blocked_since_ < 0)
      relay_.tick(later, out_);
    else if (later - line_blocked_since_ >= kLineStuckMs)
      lose_line(later, "it has taken no byte for " +
                           std::to_string(kLineStuckMs) + " ms");
    if (line_ < 0 && later >= reopen_at_)
      open_line(later);
    collect(later);
    close_finished(later);
  }
}

ms daemon_loop::next_deadline(ms now) const {
  // Nothing is on the line, and so nothing due, while it is closed; and
  // nothing is overdue while the line has yet to take a message.
  std::vector<ms> due = {line_ < 0 ? reopen_at_
                         : line_blocked_since_ >= 0
                             ? line_blocked_since_ + kLineStuckMs
                             : relay_.deadline()};
  if (now < accept_paused_until_)
    due.push_back(accept_paused_until_);
  for (const auto &c : conns_)
    if (c.second.half_closed)
      due.push_back(c.second.half_closed_at + kHalfCloseLingerMs);
  ms first = -1;
  for (ms d : due)
    if (d >= 0 && (first < 0 || d < first))
      first = d;
  return first;
}

// Closes what run() opened before it could serve; status.
int give_up(const descriptors &d, int status) {
  std::vector<int> opened = d.udp;
  opened.insert(opened.end(), d.tcp.begin(), d.tcp.end());
  opened.push_back(d.signals);
  for (int s : opened)
    ::close(s);
  return status;
}

} // namespace

const identity_calls kRealIdentity = {::getpwnam, ::geteuid, ::initgroups,
                                      ::setgid,   ::setuid,  real_say};

int become(const std::string &user, const identity_calls &calls) {
  errno = 0;
  const passwd *pw = calls.getpwnam(user.c_str());
  if (pw == nullptr) {
    calls.say("cannot run as " + user + ": " +
              (errno ? std::strerror(errno) : "no such user"));
    return 2;
  }
  if (calls.geteuid() == pw->pw_uid)
    return 0;
  // Groups first, while still allowed to set them; then the user, which
  // must leave no way back.
  if (calls.initgroups(pw->pw_name, pw->pw_gid) != 0 ||
      calls.setgid(pw->pw_gid) != 0 || calls.setuid(pw->pw_uid) != 0 ||
      calls.setuid(0) == 0) {
    calls.say("cannot run as " + user + ": " +
              std::strerror(errno ? errno : EPERM));
    return 1;
  }
  calls.say("running as " + user + " (uid " + std::to_string(pw->pw_uid) +
            ", gid " + std::to_string(pw->pw_gid) + ")");
  return 0;
}

int serve(const options &o, const descriptors &d, const system_calls &sys) {
  daemon_loop loop(o, d, sys);
  return loop.run();
}

int run(const options &o) {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  // Fails only for a bad argument.
  ::sigprocmask(SIG_BLOCK, &stop, nullptr);
  descriptors d;
  d.signals = ::signalfd(-1, &stop, SFD_NONBLOCK | SFD_CLOEXEC);
  if (d.signals < 0) {
    real_say(std::string("cannot take signals: ") + std::strerror(errno));
    return 1;
  }
  struct transport {
    const std::vector<std::string> &addresses;
    int type;
    std::vector<int> &sockets;
    const char *what;
  };
  for (const transport &t :
       {transport{o.udp, SOCK_DGRAM, d.udp, "VISCA over IP on UDP "},
        transport{o.tcp, SOCK_STREAM, d.tcp, "raw VISCA on TCP "}}) {
    for (const auto &e : t.addresses) {
      const int fd = listen_on(e, t.type);
      if (fd < 0) {
        return give_up(d, 1);
      }
      t.sockets.push_back(fd);
      real_say(std::string("listening for ") + t.what + local_name(fd));
    }
  }
  if (!o.run_as.empty()) {
    // Once listening: ports below 1024 stay possible, and nothing the
    // network can reach runs as root.
    if (const int status = become(o.run_as, kRealIdentity))
      return give_up(d, status);
  }
  if (!o.allow.empty()) {
    std::string list;
    for (const auto &n : o.allow)
      list += " " + n;
    real_say("serving only controllers from" + list);
  }
  return serve(o, d, kReal);
}

} // namespace ipd
