#include "daemon_world.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <netinet/in.h>
#include <sys/signalfd.h>

namespace daemon_world {
namespace {

world *the_world = nullptr;

void violated(const std::string &what) {
  if (the_world->on_violation)
    the_world->on_violation(what);
}

sockaddr_in address_of(uint8_t id) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(5000 + id));
  a.sin_addr.s_addr = htonl(0x0A000000u | id);
  return a;
}

uint8_t id_of(const sockaddr *a) {
  return static_cast<uint8_t>(
      ntohl(reinterpret_cast<const sockaddr_in *>(a)->sin_addr.s_addr) & 0xFF);
}

// Counts a read of fd in this wake-up against its bound.
void count_read(int fd, int bound) {
  if (++the_world->reads[fd] > bound + 1) // the last read finds nothing
    violated("descriptor " + std::to_string(fd) + " read more than " +
             std::to_string(bound) + " times in one wake-up");
}

// The MCU takes a whole message: checks it, and answers as a camera.
void mcu_takes(world &w, const bytes &m) {
  if (viscaip::check_message(m.data(), m.size()) !=
          viscaip::message_fault::none ||
      m[0] != 0x81)
    violated("not one VISCA message for camera 1 on the line: " +
             viscaip::hex(m.data(), m.size()));
  w.to_mcu.push_back(m);
  if (!w.mcu.on)
    return;
  bytes first = {0x90, 0x60, 0x02, 0xFF}, second;
  if (m.size() >= 4 && m[1] == 0x09)
    first = {0x90, 0x50, m[m.size() - 2], 0xFF};
  else if (m == bytes{0x81, 0x01, 0x00, 0x01, 0xFF})
    first = {0x90, 0x50, 0xFF};
  else if (m[1] == 0x01) {
    first = {0x90, 0x41, 0xFF};
    second = {0x90, 0x51, 0xFF};
  }
  w.mcu.busy_until = std::max(w.mcu.busy_until, w.now) + w.mcu.delay;
  w.mcu.answers.push_back({w.mcu.busy_until, first});
  if (!second.empty())
    w.mcu.answers.push_back({w.mcu.busy_until, second});
}

// What the MCU has said by now reaches the line.
void mcu_speaks(world &w) {
  while (!w.mcu.answers.empty() && w.mcu.answers.front().at <= w.now) {
    const bytes &a = w.mcu.answers.front().data;
    if (w.line_open)
      w.line_in.insert(w.line_in.end(), a.begin(), a.end());
    w.mcu.answers.pop_front();
  }
}

// The rule for a message that reaches the line: the one before it was
// answered (the daemon read bytes from the line since) or had its time.
int64_t last_message_at = -1;
bool read_since_last = false;
bytes partial; // of a message written in pieces

void line_message(world &w, const bytes &m) {
  if (last_message_at >= 0 && !read_since_last && w.now - last_message_at < 500)
    violated(viscaip::hex(m.data(), m.size()) + " reached the line " +
             std::to_string(w.now - last_message_at) +
             " ms after the one before, which nothing answered");
  last_message_at = w.now;
  read_since_last = false;
  w.trace.push_back(std::to_string(w.now) +
                    " to the MCU: " + viscaip::hex(m.data(), m.size()));
  mcu_takes(w, m);
}

// Sets each descriptor's revents from the world; how many are ready.
int readiness(world &w, pollfd *fds, nfds_t count) {
  int ready = 0;
  for (nfds_t i = 0; i < count; ++i) {
    pollfd &p = fds[i];
    int r = 0;
    if (p.fd == kSignals) {
      r = w.stop ? POLLIN : 0;
    } else if (p.fd == kLine && w.line_open) {
      r |= (!w.line_in.empty() || w.line_error) ? POLLIN : 0;
      r |= w.line_full ? 0 : POLLOUT;
    } else if (p.fd == kUdp) {
      r |= w.datagrams.empty() ? 0 : POLLIN;
      r |= w.udp_full ? 0 : POLLOUT;
    } else if (p.fd == kTcp) {
      r |= (!w.connecting.empty() || w.accept_error) ? POLLIN : 0;
    } else if (w.conns.count(p.fd)) {
      const connection &c = w.conns[p.fd];
      if (c.closed)
        violated("poll on a closed connection");
      r |= (!c.in.empty() || c.fin || c.reset) ? POLLIN : 0;
      r |= c.full ? 0 : POLLOUT;
      r |= c.reset ? (POLLERR | POLLHUP) : 0;
    }
    p.revents = static_cast<short>(r & (p.events | POLLERR | POLLHUP));
    ready += p.revents != 0;
  }
  return ready;
}

int fake_poll(pollfd *fds, nfds_t count, int timeout_ms) {
  world &w = *the_world;
  w.reads.clear();
  ++w.polls;
  w.last_timeout = timeout_ms;
  // The timeout counts from the call, whatever time the script lets pass.
  const int64_t until = w.now + timeout_ms;
  if (!w.stop && !w.step(w))
    w.stop = true;
  mcu_speaks(w);
  int ready = readiness(w, fds, count);
  if (ready > 0 || timeout_ms == 0)
    return ready;
  // Nothing yet: the time passes until the MCU's next answer, or the
  // timeout, whichever comes first (without either, the script goes on).
  if (!w.mcu.answers.empty() &&
      (timeout_ms < 0 || w.mcu.answers.front().at < until)) {
    w.advance(w.mcu.answers.front().at - w.now);
    return readiness(w, fds, count);
  }
  if (timeout_ms > 0 && until > w.now)
    w.advance(until - w.now);
  return 0;
}

ssize_t fake_read(int fd, void *buf, size_t len) {
  world &w = *the_world;
  if (fd == kSignals) {
    signalfd_siginfo si{};
    si.ssi_signo = SIGTERM;
    std::memcpy(buf, &si, std::min(len, sizeof si));
    return static_cast<ssize_t>(std::min(len, sizeof si));
  }
  count_read(fd, ipd::kUdpBatch);
  if (!w.line_open) {
    violated("read from a closed line");
    errno = EBADF;
    return -1;
  }
  if (!w.line_in.empty()) {
    const size_t n = std::min(len, w.line_in.size());
    std::copy(w.line_in.begin(), w.line_in.begin() + long(n),
              static_cast<uint8_t *>(buf));
    w.trace.push_back(std::to_string(w.now) + " from the MCU: " +
                      viscaip::hex(static_cast<uint8_t *>(buf), n));
    w.line_in.erase(w.line_in.begin(), w.line_in.begin() + long(n));
    read_since_last = true;
    return static_cast<ssize_t>(n);
  }
  if (w.line_error == -1)
    return 0; // end of file
  if (w.line_error) {
    errno = w.line_error;
    return -1;
  }
  errno = EAGAIN;
  return -1;
}

ssize_t fake_write(int fd, const void *buf, size_t len) {
  world &w = *the_world;
  if (fd != kLine || !w.line_open) {
    violated("write to a line that is not open");
    errno = EBADF;
    return -1;
  }
  if (w.line_full) {
    errno = EAGAIN;
    return -1;
  }
  const size_t n = w.write_limit ? std::min(len, w.write_limit) : len;
  const auto *b = static_cast<const uint8_t *>(buf);
  for (size_t i = 0; i < n; ++i) {
    w.line_written.push_back(b[i]);
    partial.push_back(b[i]);
    if (b[i] == 0xFF) {
      line_message(w, partial);
      partial.clear();
    }
  }
  return static_cast<ssize_t>(n);
}

ssize_t fake_recvfrom(int fd, void *buf, size_t len, sockaddr *from,
                      socklen_t *from_len) {
  world &w = *the_world;
  count_read(fd, ipd::kUdpBatch);
  if (w.datagrams.empty()) {
    errno = EAGAIN;
    return -1;
  }
  auto d = std::move(w.datagrams.front());
  w.datagrams.pop_front();
  const sockaddr_in a = address_of(d.first);
  std::memcpy(from, &a, sizeof a);
  *from_len = sizeof a;
  const size_t n = std::min(len, d.second.size());
  std::copy(d.second.begin(), d.second.begin() + long(n),
            static_cast<uint8_t *>(buf));
  return static_cast<ssize_t>(n);
}

// The answers a controller got must be to its own inquiries.
void check_answer(world &w, uint8_t id, const uint8_t *msg, size_t size,
                  const std::string &who) {
  if (!w.mcu.honest || size < 3 || msg[1] != 0x50)
    return;
  if (size != 4 || msg[2] != id)
    violated(who +
             " got an answer that is not its own: " + viscaip::hex(msg, size));
}

ssize_t fake_sendto(int, const void *buf, size_t len, const sockaddr *to,
                    socklen_t) {
  world &w = *the_world;
  if (w.udp_full || !w.udp_refusals.empty()) {
    errno = w.udp_full ? EAGAIN : w.udp_refusals.front();
    if (!w.udp_full)
      w.udp_refusals.pop_front();
    return -1;
  }
  const uint8_t id = id_of(to);
  const auto *b = static_cast<const uint8_t *>(buf);
  w.sent.push_back({id, bytes(b, b + len)});
  viscaip::datagram d;
  if (viscaip::parse(b, len, d) != viscaip::header_fault::none)
    violated("a datagram the daemon sent does not parse");
  else if (d.type == viscaip::visca_reply)
    check_answer(w, id, d.payload, d.length,
                 "UDP controller " + std::to_string(id));
  return static_cast<ssize_t>(len);
}

connection *open_connection(int fd) {
  auto it = the_world->conns.find(fd);
  if (it == the_world->conns.end() || it->second.closed) {
    violated("I/O on a connection that is not open: " + std::to_string(fd));
    return nullptr;
  }
  return &it->second;
}

ssize_t fake_recv(int fd, void *buf, size_t len) {
  count_read(fd, ipd::kTcpBatch);
  connection *c = open_connection(fd);
  if (c == nullptr) {
    errno = EBADF;
    return -1;
  }
  if (c->reset) {
    errno = ECONNRESET;
    return -1;
  }
  if (!c->in.empty()) {
    const size_t n = std::min(len, c->in.size());
    std::copy(c->in.begin(), c->in.begin() + long(n),
              static_cast<uint8_t *>(buf));
    c->in.erase(c->in.begin(), c->in.begin() + long(n));
    return static_cast<ssize_t>(n);
  }
  if (c->fin)
    return 0;
  errno = EAGAIN;
  return -1;
}

ssize_t fake_send(int fd, const void *buf, size_t len) {
  connection *c = open_connection(fd);
  if (c == nullptr || c->reset) {
    errno = c == nullptr ? EBADF : EPIPE;
    return -1;
  }
  if (c->full) {
    errno = EAGAIN;
    return -1;
  }
  const auto *b = static_cast<const uint8_t *>(buf);
  c->got.insert(c->got.end(), b, b + len);
  // Whole replies: the stream is cut at FF.
  for (size_t i = c->checked; i < c->got.size(); ++i)
    if (c->got[i] == 0xFF) {
      check_answer(*the_world, c->id, c->got.data() + c->checked,
                   i - c->checked + 1, "TCP connection " + std::to_string(fd));
      c->checked = i + 1;
    }
  return static_cast<ssize_t>(len);
}

int fake_accept(int, sockaddr_storage *peer, socklen_t *len) {
  world &w = *the_world;
  if (w.accept_error) {
    errno = w.accept_error;
    w.accept_error = 0;
    return -1;
  }
  if (w.connecting.empty()) {
    errno = EAGAIN;
    return -1;
  }
  const uint8_t id = w.connecting.front();
  w.connecting.pop_front();
  const sockaddr_in a = address_of(id);
  std::memcpy(peer, &a, sizeof a);
  *len = sizeof a;
  const int fd = w.next_fd++;
  w.conns[fd].id = id;
  size_t open = 0;
  for (const auto &c : w.conns)
    open += !c.second.closed;
  if (open > ipd::kMaxConnections + 1) // the one over is closed at once
    violated("more connections open than the bound");
  return fd;
}

int fake_close(int fd) {
  if (fd >= kFirstConnection) {
    connection *c = open_connection(fd);
    if (c != nullptr)
      c->closed = true;
  }
  return 0;
}

int fake_open_line(const std::string &, unsigned) {
  world &w = *the_world;
  if (!w.line_openable) {
    errno = ENOENT;
    return -1;
  }
  w.line_open = true;
  w.line_error = 0;
  return kLine;
}

void fake_close_line(int) {
  world &w = *the_world;
  w.line_open = false;
  w.line_in.clear();
  // An MCU whose line went away answers nothing it was sent before.
  w.mcu.answers.clear();
  w.mcu.busy_until = 0;
}

int64_t fake_now() { return the_world->now; }
void fake_say(const std::string &text) {
  the_world->log.push_back(text);
  the_world->trace.push_back(std::to_string(the_world->now) + " " + text);
}
void fake_notify(const std::string &) {}

const ipd::system_calls kCalls = {
    fake_poll,       fake_read, fake_write,  fake_recvfrom, fake_sendto,
    fake_recv,       fake_send, fake_accept, fake_close,    fake_open_line,
    fake_close_line, fake_now,  fake_say,    fake_notify};

} // namespace

void world::datagram(uint8_t from, uint16_t type, uint32_t sequence,
                     const bytes &payload) {
  datagrams.push_back({from, viscaip::build(type, sequence, payload)});
}

int world::connect(uint8_t id) {
  connecting.push_back(id);
  return next_fd + static_cast<int>(connecting.size()) - 1;
}

void world::advance(int64_t ms) {
  now += ms;
  mcu_speaks(*this);
}

std::vector<bytes> world::replies_to(uint8_t id) const {
  std::vector<bytes> v;
  for (const auto &s : sent) {
    viscaip::datagram d;
    if (s.first == id && viscaip::parse(s.second.data(), s.second.size(), d) ==
                             viscaip::header_fault::none)
      v.emplace_back(d.payload, d.payload + d.length);
  }
  return v;
}

bool world::logged(const std::string &text) const {
  for (const auto &l : log)
    if (l.find(text) != std::string::npos)
      return true;
  return false;
}

int run(world &w, const ipd::options &o) {
  the_world = &w;
  last_message_at = -1;
  read_since_last = false;
  partial.clear();
  ipd::descriptors d;
  d.signals = kSignals;
  d.udp = {kUdp};
  d.tcp = {kTcp};
  const int status = ipd::serve(o, d, kCalls);
  the_world = nullptr;
  return status;
}

} // namespace daemon_world
