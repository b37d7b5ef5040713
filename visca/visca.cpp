// The VISCA controller's behaviour: the message builders, the line's
// set-up and drain, the inquiry exchange with its reply reader, the command
// exchange with its acknowledgement and completion waits, and the version
// file. Every platform call goes through visca_port, so tests can drive
// all of this on a scripted line.
#include "visca.h"

#include "visca_port.h"

#include <algorithm>
#include <charconv>
#include <limits>

namespace {

constexpr unsigned kReplyPolls = 200;
constexpr unsigned kAckPolls = 100;
constexpr unsigned kCompletionPolls = 200;
constexpr unsigned kPollSleepUs = 1000;
constexpr unsigned kCommandToInquiryUs = 100000;
constexpr int kMaxPayload = 11; // 16-byte message: 4 header bytes + FF
constexpr int kVersionIndex = 14;

constexpr uint8_t kReplyAddress = 0x90;
constexpr uint8_t kInquiryAnswer = 0x50;
constexpr uint8_t kTerminator = 0xFF;
constexpr uint8_t kAck[3] = {0x90, 0x41, 0xFF};
constexpr uint8_t kCompletion[3] = {0x90, 0x51, 0xFF};

// A failed query yields no count; treating it as "nothing pending" keeps
// every caller from reading or blocking on a dead descriptor.
int pending(int fd) {
  int n = visca_port::ops().pending(fd);
  return n < 0 ? 0 : n;
}

void poll_sleep() { visca_port::ops().sleep_us(kPollSleepUs); }

// Lays out 81 kind tt ii <payload> FF. Returns the message length, or 0 for
// a payload length the 16-byte buffer cannot hold.
int32_t build_message(uint8_t (&msg)[16], uint8_t kind, int cmd_bytes,
                      int cmd_type, int cmd_id, uint64_t prefil) {
  if (cmd_bytes < 0 || cmd_bytes > kMaxPayload)
    return 0;
  msg[0] = 0x81;
  msg[1] = kind;
  msg[2] = static_cast<uint8_t>(cmd_type);
  msg[3] = static_cast<uint8_t>(cmd_id);
  for (int i = 3 + cmd_bytes; i >= 4; --i) {
    msg[i] = static_cast<uint8_t>(prefil);
    prefil >>= 8; // past eight bytes this leaves zeros, as it should
  }
  msg[4 + cmd_bytes] = kTerminator;
  return cmd_bytes + 5;
}

bool valid_length(int32_t len) { return len >= 5 && len <= 16; }

// Waits for one three-byte answer. Nothing is read while fewer than three
// bytes are pending, so answers are consumed whole. With alone set, the
// answer must be the only thing pending.
bool wait_for_answer(visca &v, unsigned polls, const uint8_t (&want)[3],
                     bool alone) {
  for (unsigned timeout_ms = polls; timeout_ms > 0;) {
    --timeout_ms;
    int n = pending(v.cam_fd);
    if (n < 3) {
      poll_sleep();
      continue;
    }
    uint8_t got[3] = {0, 0, 0};
    // The count is a hint: another reader of the tty may have taken the
    // bytes since. A read that brings nothing is a pass with nothing
    // pending; part of an answer is not that answer.
    if (visca_port::ops().read(v.cam_fd, got, sizeof got) <= 0) {
      poll_sleep();
      continue;
    }
    if (std::equal(got, got + 3, want) && (!alone || n == 3))
      return true;
    v.visca_cls_rx();
    return false;
  }
  v.visca_cls_rx();
  return false;
}

} // namespace

visca_ndi_event::visca_ndi_event() : m_notified(false) {}

visca_ndi_event::~visca_ndi_event() = default;

void visca_ndi_event::wait() {
  std::unique_lock<std::mutex> lock(m_mutex);
  m_condVar.wait(lock, [this] { return m_notified; });
  m_notified = false;
}

void visca_ndi_event::signal() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_notified = true;
  }
  m_condVar.notify_one();
}

visca::visca()
    : camSerial("/dev/ttyPS1"), cam_fd(-1), camAddress(1),
      vid_fmt_switch(false), cap_cmd_index(0), exe_cmd_index(0),
      m_visca_ndi_event_cond(false),
      exec_visca_Running(true), before2{}, after2{}, camOptions{},
      MCUVersion(0) {}

visca::~visca() { deinit_visca(); }

bool visca::init_visca(speed_t &camBr) {
  deinit_visca();
  cam_fd = visca_port::open_line(camSerial);
  if (cam_fd == -1)
    return false;
  visca_port::configure_line(cam_fd, camBr, camOptions);
  visca_cls_rx();
  return true;
}

void visca::deinit_visca() {
  if (cam_fd != -1) {
    visca_port::close_line(cam_fd);
    cam_fd = -1;
  }
}

void visca::visca_cls_rx() {
  int n = pending(cam_fd);
  if (n <= 0)
    return;
  // Only what was pending when asked: a line that never stops talking must
  // not keep the drain going for ever.
  size_t remaining = static_cast<size_t>(n);
  uint8_t scratch[256];
  while (remaining > 0) {
    ssize_t got = visca_port::ops().read(cam_fd, scratch,
                                         std::min(remaining, sizeof scratch));
    if (got <= 0) // the count overstated, or another reader took them
      break;
    remaining -= static_cast<size_t>(got);
  }
}

void visca::create_inqcommand(visca_inq_command &cmd, int cmd_bytes,
                              int cmd_type, int cmd_id, uint64_t prefil) {
  cmd.cmd_length =
      build_message(cmd.cmd, 0x09, cmd_bytes, cmd_type, cmd_id, prefil);
  cmd.inq_fill = false;
}

bool visca::send_inq_cmd(int cmd_bytes, int cmd_type, int cmd_id,
                         uint64_t prefil) {
  visca_inq_command rec{};
  create_inqcommand(rec, cmd_bytes, cmd_type, cmd_id, prefil);
  return visca_exec_inq_cmd(rec);
}

bool visca::visca_exec_inq_cmd(visca_inq_command &exec_cmd) {
  bool result = false;
  std::lock_guard<std::mutex> lock(visca_uart_mutex);
  const auto &io = visca_port::ops();
  exec_cmd.cmd_fill = false;
  exec_cmd.inq_fill = false;
  visca_cls_rx();
  if (!valid_length(exec_cmd.cmd_length))
    return false;
  const size_t len = static_cast<size_t>(exec_cmd.cmd_length);
  if (io.write(cam_fd, exec_cmd.cmd, len) < 0)
    return false;
  exec_cmd.cmd_fill = false;
  exec_cmd.inq_fill = false;
  result = visca_wait_for_res(exec_cmd);
  if (!result) {
    visca_cls_rx();
    if (io.write(cam_fd, exec_cmd.cmd, len) >= 0)
      result = visca_wait_for_res(exec_cmd);
  }
  return result;
}

bool visca::visca_wait_for_res(visca_inq_command &res_cmd) {
  int index = 0;
  for (unsigned timeout_ms = kReplyPolls; timeout_ms > 0;) {
    --timeout_ms;
    int n = pending(cam_fd);
    uint8_t byte = 0;
    // A failed read brings no byte (another reader of the tty may have
    // taken it since the count); judging the stale buffer instead could
    // accept a reply that never came.
    if (n <= 0 || visca_port::ops().read(cam_fd, &byte, 1) != 1) {
      poll_sleep();
      continue;
    }
    res_cmd.inq[index] = byte;
    if (res_cmd.inq[0] != kReplyAddress)
      break;
    if (byte == kTerminator && n == 1) {
      if (res_cmd.inq[1] != kInquiryAnswer)
        break;
      res_cmd.inq_fill = true;
      res_cmd.inq_length = index + 1;
      // A short answer carries no version: keep the one we had rather than
      // report a byte the MCU never sent.
      if (res_cmd.inq_length > kVersionIndex) {
        MCUVersion = static_cast<int8_t>(res_cmd.inq[kVersionIndex]);
        DumpMCUVersion();
      }
      visca_cls_rx();
      return true;
    }
    // A run that fills the buffer without ending is not a reply.
    if (++index == static_cast<int>(sizeof res_cmd.inq))
      break;
  }
  res_cmd.inq_fill = false;
  res_cmd.inq_length = 0;
  visca_cls_rx();
  return false;
}

void visca::create_command(visca_command &cmd, int cmd_bytes, int cmd_type,
                           int cmd_id, uint64_t prefil) {
  cmd.cmd_length =
      build_message(cmd.cmd, 0x01, cmd_bytes, cmd_type, cmd_id, prefil);
  cmd.ack = false;
  cmd.comp = false;
  cmd.cmd_fill = false;
}

void visca::send_cmd(int cmd_bytes, int cmd_type, int cmd_id, uint64_t prefil) {
  visca_command rec{};
  create_command(rec, cmd_bytes, cmd_type, cmd_id, prefil);
  visca_exec_cmd(rec);
}

void visca::send_cmd_n_inq(int cmd_bytes, int inq_bytes, int cmd_type,
                           int cmd_id, uint64_t prefil, uint64_t prefilinq) {
  send_cmd(cmd_bytes, cmd_type, cmd_id, prefil);
  visca_port::ops().sleep_us(kCommandToInquiryUs);
  send_inq_cmd(inq_bytes, cmd_type, cmd_id, prefilinq);
}

void visca::visca_exec_cmd(visca_command &exec_cmd) {
  std::lock_guard<std::mutex> lock(visca_uart_mutex);
  const auto &io = visca_port::ops();
  exec_cmd.cmd_fill = false;
  exec_cmd.ack = false;
  exec_cmd.comp = false;
  visca_cls_rx();
  if (!valid_length(exec_cmd.cmd_length))
    return;
  const size_t len = static_cast<size_t>(exec_cmd.cmd_length);
  // A failed write shows up as a missing acknowledgement.
  for (int transmission = 0; transmission < 2; ++transmission) {
    io.write(cam_fd, exec_cmd.cmd, len);
    if (visca_wait_for_ack()) {
      exec_cmd.ack = true;
      exec_cmd.comp = visca_wait_for_cmp();
      return;
    }
  }
}

bool visca::visca_wait_for_ack() {
  return wait_for_answer(*this, kAckPolls, kAck, false);
}

bool visca::visca_wait_for_cmp() {
  return wait_for_answer(*this, kCompletionPolls, kCompletion, true);
}

void visca::DumpMCUVersion() {
  // Signed decimal without a line end: "-128" to "127".
  char text[4];
  // A sign and the digits of the widest value, "-128": to_chars cannot
  // run out of room.
  static_assert(sizeof text >= 1 + std::numeric_limits<int8_t>::digits10 + 1);
  const char *end =
      std::to_chars(text, text + sizeof text, int{MCUVersion}).ptr;
  saveFile(visca_port::version_path(), text, static_cast<size_t>(end - text));
}

void visca::saveFile(const char *filename, const void *buf, size_t bufSize) {
  visca_port::replace_file(filename, buf, bufSize);
}
