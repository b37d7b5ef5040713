// The daemon's real event loop over a simulated world (tests/daemon_world.h)
// under arbitrary orderings: datagrams, connections, stream bytes, FIN and
// RST, line bytes, line loss and return, failing accepts, full sockets,
// short writes, an MCU that answers late, and the passing of time, any of
// them in the same wake-up. The world aborts on a broken rule: a socket
// read beyond its batch, a malformed message or two at once on the line,
// too many connections, an answer given to a controller that did not ask.
// The loop must end only when told to.
#include "daemon_world.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

using daemon_world::bytes;
using daemon_world::world;

[[noreturn]] void violated(const std::string &what) {
  std::fprintf(stderr, "invariant violated: %s\n", what.c_str());
  std::abort();
}

struct input {
  const uint8_t *data;
  size_t size;
  size_t at = 0;
  bool more() const { return at < size; }
  uint8_t next() { return at < size ? data[at++] : 0; }
  bytes take() {
    size_t n = next() % 24;
    n = std::min(n, size - at);
    bytes b(data + at, data + at + n);
    at += n;
    return b;
  }
};

// The connection an argument picks, or nothing when none is open.
daemon_world::connection *pick(world &w, uint8_t arg) {
  std::vector<daemon_world::connection *> open;
  for (auto &c : w.conns)
    if (!c.second.closed)
      open.push_back(&c.second);
  return open.empty() ? nullptr : open[arg % open.size()];
}

void append(std::deque<uint8_t> &to, const bytes &b) {
  to.insert(to.end(), b.begin(), b.end());
}

// One event; the top bit of its opcode joins the next one to the same
// wake-up.
void event(world &w, input &in, uint8_t op) {
  const uint8_t arg = in.next();
  const uint8_t who = arg & 7; // UDP controllers 0 to 7
  switch (op % 16) {
  case 0: // an inquiry that carries its controller's number
    w.datagram(who, viscaip::visca_inquiry, in.next(),
               {0x81, 0x09, 0x04, who, 0xFF});
    break;
  case 1: // a command, or a RESET
    if (arg & 0x80)
      w.datagram(who, viscaip::control_command, in.next(), {0x01});
    else
      w.datagram(who, viscaip::visca_command, in.next(),
                 {0x81, 0x01, 0x04, 0x07, 0x02, 0xFF});
    break;
  case 2: // anything at all
    w.mcu.honest = false;
    w.datagrams.push_back({who, in.take()});
    break;
  case 3: // connections get numbers of their own, 0x40 up
    w.connect(static_cast<uint8_t>(0x40 + (w.next_fd & 0x3F)));
    break;
  case 4:
    if (auto *c = pick(w, arg))
      append(c->in, {0x81, 0x09, 0x04, c->id, 0xFF});
    break;
  case 5:
    if (auto *c = pick(w, arg)) {
      w.mcu.honest = false;
      append(c->in, in.take());
    }
    break;
  case 6:
    if (auto *c = pick(w, arg))
      (arg & 0x80 ? c->reset : c->fin) = true;
    break;
  case 7:
    if (auto *c = pick(w, arg))
      c->full = !c->full;
    break;
  case 8: // the MCU says something of its own
    w.mcu.honest = false;
    if (w.line_open)
      append(w.line_in, in.take());
    break;
  case 9: // the line fails, or comes and goes
    if (arg & 1)
      w.line_error = arg & 2 ? -1 : EIO;
    else
      w.line_openable = !w.line_openable;
    break;
  case 10:
    w.advance(arg * 16);
    break;
  case 11:
    w.write_limit = arg % 4;
    w.line_full = arg & 0x80;
    break;
  case 12:
    w.udp_full = !w.udp_full;
    break;
  case 13:
    w.accept_error = arg & 1 ? EMFILE : ECONNABORTED;
    break;
  case 14: // how late the MCU answers: up to 4 s
    w.mcu.delay = arg * 16;
    break;
  default:
    w.mcu.on = !w.mcu.on;
    break;
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  world w;
  input in{data, size};
  w.on_violation = [&w](const std::string &what) {
    for (const auto &line : w.trace)
      std::fprintf(stderr, "trace: %s\n", line.c_str());
    violated(what);
  };
  w.step = [&in](world &x) {
    if (!in.more())
      return false;
    uint8_t op;
    do {
      op = in.next();
      event(x, in, op);
    } while ((op & 0x80) && in.more());
    return true;
  };
  if (daemon_world::run(w) != 0 || !w.logged("stopping on"))
    violated("the loop ended before it was told to");
  return 0;
}
