// The network camera's relay against arbitrary traffic from controllers
// and the MCU: datagrams (the header parser), TCP streams, line bytes (the
// reply framer), time, and the line going and coming.
#include "relay.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void violated(const char *what) {
  std::fprintf(stderr, "invariant violated: %s\n", what);
  std::abort();
}
#define CHECK(cond)                                                            \
  do {                                                                         \
    if (!(cond))                                                               \
      violated(#cond);                                                         \
  } while (0)

using namespace viscaip;

udp_peer peer(uint8_t n) {
  udp_peer p;
  p.socket = 3 + (n & 1);
  auto *a = reinterpret_cast<sockaddr_in *>(&p.addr);
  a->sin_family = AF_INET;
  a->sin_port = htons(static_cast<uint16_t>(50000 + (n >> 1)));
  a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  p.len = sizeof(sockaddr_in);
  return p;
}

void check_out(const relay &r, const relay_limits &lim, const outbox &out) {
  // At most one message goes to the line per event, whole, for camera 1,
  // and only with a deadline for its answer.
  if (!out.line.empty()) {
    CHECK(check_message(out.line.data(), out.line.size()) ==
          message_fault::none);
    CHECK(out.line[0] == 0x81);
    CHECK(r.deadline() >= 0);
  }
  for (const auto &d : out.datagrams) {
    datagram g;
    CHECK(parse(d.data.data(), d.data.size(), g) == header_fault::none);
    CHECK(g.type == visca_reply || g.type == control_command ||
          g.type == control_reply);
    CHECK(g.length <= kMaxMessage);
    if (g.type == visca_reply)
      CHECK(framer::is_reply_address(g.payload[0]) &&
            g.payload[g.length - 1] == kTerminator);
  }
  for (const auto &s : out.streams) {
    CHECK(!s.data.empty() && s.data.size() <= kMaxMessage);
    CHECK(framer::is_reply_address(s.data[0]) && s.data.back() == 0xFF);
  }
  CHECK(r.queued() <= r.controllers() * lim.queue);
  CHECK(r.controllers() <= lim.udp_controllers + 4);
}

} // namespace

// Input: events of an opcode, an argument and, for those that carry
// bytes, a length and that many bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  relay_limits lim;
  lim.queue = 3;
  lim.udp_controllers = 4;
  relay r(lim);
  outbox out;
  ms now = 0;
  size_t i = 0;
  while (i + 2 <= size) {
    const uint8_t op = data[i] % 7, arg = data[i + 1];
    i += 2;
    size_t len = 0;
    if (op <= 2 && i < size) {
      len = data[i++];
      if (len > size - i)
        len = size - i;
    }
    const uint8_t *bytes_in = data + i;
    i += len;
    out.clear();
    switch (op) {
    case 0:
      r.datagram(peer(arg & 7), bytes_in, len, now, out);
      break;
    case 1:
      r.stream_bytes(arg & 3, bytes_in, len, now, out);
      break;
    case 2:
      r.line_bytes(bytes_in, len, now, out);
      break;
    case 3:
      now += arg * 4;
      r.tick(now, out);
      break;
    case 4:
      r.stream_closed(arg & 3);
      break;
    case 5:
      r.line_down(now, out);
      break;
    default:
      r.line_up(now, out);
    }
    check_out(r, lim, out);
  }
  return 0;
}
