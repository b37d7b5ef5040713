#include "net_client.h"

#include "viscaip.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace net {
namespace {

const char *error_name(uint8_t code) {
  switch (code) {
  case 0x01:
    return "message length";
  case 0x02:
    return "syntax";
  case 0x03:
    return "command buffer full";
  case 0x04:
    return "command cancelled";
  case 0x05:
    return "no socket";
  case 0x41:
    return "command not executable";
  default:
    return "unknown";
  }
}

// What a VISCA reply says; sets done when nothing more will come for the
// message, and ok when it succeeded.
std::string meaning(const std::vector<uint8_t> &r, bool inquiry, bool &done,
                    bool &ok) {
  const uint8_t kind = r.size() >= 3 ? r[1] & 0xF0 : 0;
  const unsigned socket = r.size() >= 3 ? r[1] & 0x0F : 0;
  char buf[64];
  done = true;
  ok = false;
  if (kind == 0x40) {
    done = inquiry;
    std::snprintf(buf, sizeof buf, "acknowledged, socket %u", socket);
  } else if (kind == 0x50) {
    ok = true;
    if (inquiry)
      return "inquiry reply";
    std::snprintf(buf, sizeof buf, "completed, socket %u", socket);
  } else if (kind == 0x60 && r.size() >= 4) {
    std::snprintf(buf, sizeof buf, "error %02X: %s, socket %u", r[2],
                  error_name(r[2]), socket);
  } else {
    return "not a reply";
  }
  return buf;
}

// HOST, HOST:PORT, [IPV6], [IPV6]:PORT; a bare IPv6 address has no port.
void split(const std::string &where, const char *default_port,
           std::string &host, std::string &port) {
  port = default_port;
  if (!where.empty() && where[0] == '[') {
    const size_t close = where.find(']');
    host = where.substr(1, close == std::string::npos ? std::string::npos
                                                      : close - 1);
    if (close != std::string::npos && close + 1 < where.size() &&
        where[close + 1] == ':')
      port = where.substr(close + 2);
    return;
  }
  const size_t colon = where.find(':');
  if (colon != std::string::npos &&
      where.find(':', colon + 1) == std::string::npos) {
    host = where.substr(0, colon);
    port = where.substr(colon + 1);
  } else {
    host = where;
  }
}

int connect_to(const target &t, std::string &label, std::string &error) {
  std::string host, port;
  split(t.where, t.udp ? "52381" : "5678", host, port);
  addrinfo hints{};
  hints.ai_socktype = t.udp ? SOCK_DGRAM : SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo *res = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &res);
  if (rc != 0) {
    error = "cannot resolve " + t.where + ": " + ::gai_strerror(rc);
    return -1;
  }
  int fd = -1;
  for (addrinfo *a = res; a != nullptr && fd < 0; a = a->ai_next) {
    fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, a->ai_addr, a->ai_addrlen) < 0) {
      error = "cannot reach " + t.where + ": " + std::strerror(errno);
      ::close(fd);
      fd = -1;
    }
  }
  ::freeaddrinfo(res);
  if (fd < 0)
    return -1;
  error.clear();
  const int one = 1;
  if (!t.udp)
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  const bool v6 = host.find(':') != std::string::npos;
  label = std::string(t.udp ? "UDP " : "TCP ") + (v6 ? "[" : "") + host +
          (v6 ? "]:" : ":") + port;
  return fd;
}

} // namespace

int send(const target &t, const std::vector<uint8_t> &msg, std::string &error) {
  std::string label;
  const int fd = connect_to(t, label, error);
  if (fd < 0)
    return 1;
  const auto type = t.reset     ? viscaip::control_command
                    : t.inquiry ? viscaip::visca_inquiry
                                : viscaip::visca_command;
  const auto out = t.udp ? viscaip::build(type, t.sequence, msg) : msg;
  if (::send(fd, out.data(), out.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(out.size())) {
    error = "cannot send to " + t.where + ": " + std::strerror(errno);
    ::close(fd);
    return 1;
  }
  std::printf("sent: %s (%s", viscaip::hex(msg.data(), msg.size()).c_str(),
              label.c_str());
  if (t.udp)
    std::printf(", sequence %u", t.sequence);
  std::printf(")\n");

  const auto sent = std::chrono::steady_clock::now();
  const auto until = sent + std::chrono::milliseconds(t.timeout_ms);
  // " after 0.812 ms" with --times: from the sending to the reading.
  const auto after = [&] {
    if (!t.times)
      return std::string();
    const std::chrono::duration<double, std::milli> d =
        std::chrono::steady_clock::now() - sent;
    char text[48];
    std::snprintf(text, sizeof text, " after %.3f ms", d.count());
    return std::string(text);
  };
  viscaip::framer stream(viscaip::kMaxMessage);
  bool done = false, ok = false;
  uint8_t buf[2048];
  while (!done) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 ||
        ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
      std::printf("no further reply within %d ms\n", t.timeout_ms);
      break;
    }
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      // A UDP socket reports the ICMP answer of a port nobody listens on.
      std::printf("%s\n", n == 0 ? "the camera closed the connection"
                                 : std::strerror(errno));
      break;
    }
    if (!t.udp) {
      stream.feed(buf, static_cast<size_t>(n),
                  [&](viscaip::framer::event, const viscaip::bytes &r) {
                    if (done)
                      return;
                    std::printf("reply: %s (%s)%s\n",
                                viscaip::hex(r.data(), r.size()).c_str(),
                                meaning(r, t.inquiry, done, ok).c_str(),
                                after().c_str());
                  });
      continue;
    }
    viscaip::datagram d;
    if (viscaip::parse(buf, static_cast<size_t>(n), d) !=
        viscaip::header_fault::none) {
      std::printf("datagram that is no VISCA over IP: %s\n",
                  viscaip::hex(buf, static_cast<size_t>(n)).c_str());
      continue;
    }
    const std::vector<uint8_t> payload(d.payload, d.payload + d.length);
    if (d.type == viscaip::visca_reply) {
      std::printf("reply: %s (sequence %u, %s)%s\n",
                  viscaip::hex(payload.data(), payload.size()).c_str(),
                  d.sequence, meaning(payload, t.inquiry, done, ok).c_str(),
                  after().c_str());
    } else if (t.reset && d.type == viscaip::control_reply &&
               payload == std::vector<uint8_t>{0x01}) {
      std::printf("control: 01 (sequence %u, RESET acknowledged)\n",
                  d.sequence);
      done = ok = true;
    } else {
      const bool seq_error = payload == std::vector<uint8_t>{0x0F, 0x01};
      std::printf("control: %s (sequence %u, %s)\n",
                  viscaip::hex(payload.data(), payload.size()).c_str(),
                  d.sequence,
                  seq_error ? "error: sequence number, already performed"
                            : "error: message type");
      done = true;
    }
  }
  ::close(fd);
  return ok ? 0 : 1;
}

} // namespace net
