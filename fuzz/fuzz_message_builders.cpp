// The message builders with any payload length, type, id and payload.
#include "harness.h"
#include "visca.h"

#include <cstring>

namespace {

template <typename T> T take(const uint8_t *&data, size_t &size) {
  T v{};
  size_t n = size < sizeof v ? size : sizeof v;
  std::memcpy(&v, data, n);
  data += n;
  size -= n;
  return v;
}

// Checks one built message against the layout, and that nothing past it
// or outside the builder's fields was touched.
void check(const uint8_t (&msg)[16], int32_t length, uint8_t kind,
           int cmd_bytes, int type, int id, uint64_t payload) {
  if (cmd_bytes < 0 || cmd_bytes > 11) {
    CHECK(length == 0);
    for (uint8_t b : msg)
      CHECK(b == 0xA5);
    return;
  }
  CHECK(length == cmd_bytes + 5);
  CHECK(msg[0] == 0x81 && msg[1] == kind);
  CHECK(msg[2] == static_cast<uint8_t>(type));
  CHECK(msg[3] == static_cast<uint8_t>(id));
  for (int i = 0; i < cmd_bytes; ++i) {
    int shift = 8 * (cmd_bytes - 1 - i);
    uint8_t want = shift < 64 ? static_cast<uint8_t>(payload >> shift) : 0;
    CHECK(msg[4 + i] == want);
  }
  CHECK(msg[4 + cmd_bytes] == 0xFF);
  for (int i = cmd_bytes + 5; i < 16; ++i)
    CHECK(msg[i] == 0xA5);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // Mostly lawful lengths, with any int now and then.
  int cmd_bytes = take<uint8_t>(data, size) % 13;
  if (cmd_bytes == 12)
    cmd_bytes = take<int>(data, size);
  const int type = take<int>(data, size);
  const int id = take<int>(data, size);
  const uint64_t payload = take<uint64_t>(data, size);

  visca ctl;
  visca_inq_command inq;
  std::memset(&inq, 0xA5, sizeof inq);
  inq.inq_fill = true;
  ctl.create_inqcommand(inq, cmd_bytes, type, id, payload);
  check(inq.cmd, inq.cmd_length, 0x09, cmd_bytes, type, id, payload);
  CHECK(!inq.inq_fill);
  for (uint8_t b : inq.inq)
    CHECK(b == 0xA5);

  visca_command cmd;
  std::memset(&cmd, 0xA5, sizeof cmd);
  ctl.create_command(cmd, cmd_bytes, type, id, payload);
  check(cmd.cmd, cmd.cmd_length, 0x01, cmd_bytes, type, id, payload);
  CHECK(!cmd.ack && !cmd.comp && !cmd.cmd_fill);
  CHECK(cmd.sockfd == static_cast<int32_t>(0xA5A5A5A5));
  return 0;
}
