// VISCA over IP as a camera receives it: Sony's datagram header, the test
// that a payload is exactly one VISCA message, and the framers that cut
// byte streams (a controller's TCP connection, the MCU's line) into
// messages. Plain code without I/O: tests and fuzzers drive it directly.
//
// Sony's header is 8 bytes, big-endian: payload type (2), payload length
// (2, 1 to 16) and sequence number (4), then the payload.
//
// Thread safety: none needed; the objects here belong to one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace viscaip {

using bytes = std::vector<uint8_t>;

enum payload_type : uint16_t {
  visca_command = 0x0100,
  visca_inquiry = 0x0110,
  visca_reply = 0x0111,
  device_setting = 0x0120,
  control_command = 0x0200,
  control_reply = 0x0201,
};

constexpr size_t kHeader = 8;
constexpr size_t kMaxMessage = 16; // a VISCA message, FF included
constexpr uint8_t kTerminator = 0xFF;

struct datagram {
  uint16_t type = 0;
  uint32_t sequence = 0;
  const uint8_t *payload = nullptr; // points into the parsed buffer
  size_t length = 0;
};

enum class header_fault {
  none,
  short_header, // fewer than 8 bytes: no sequence number to answer with
  bad_length,   // length field 0, or not what the datagram holds
};

// Reads the header of a datagram of size bytes. Only none fills every
// field; bad_length still fills type and sequence, for the error reply.
// A payload over 16 bytes is left to check_message, which calls it a
// message of the wrong length.
header_fault parse(const uint8_t *data, size_t size, datagram &out);

// Header and payload of one datagram.
bytes build(uint16_t type, uint32_t sequence, const uint8_t *payload,
            size_t length);
inline bytes build(uint16_t type, uint32_t sequence, const bytes &payload) {
  return build(type, sequence, payload.data(), payload.size());
}

// "81 01 04 07 02 FF": at most limit bytes, then " ..." when there are
// more.
std::string hex(const uint8_t *data, size_t size, size_t limit = SIZE_MAX);

// What a camera says of a message it will not take: the VISCA error
// codes 01 (message length) and 02 (syntax).
enum class message_fault { none, length = 0x01, syntax = 0x02 };

// None when data is exactly one VISCA message for one camera: address
// byte 0x81 to 0x87, at least one byte of content, a single FF at the
// end, 16 bytes at most. Broadcast (0x88) and everything else is a fault.
message_fault check_message(const uint8_t *data, size_t size);

// Cuts a byte stream into runs ending with FF. A run that reaches limit
// bytes without FF is reported once as overlong and then skipped up to
// and including its FF, so memory stays bounded whatever arrives.
//
// With sync_on_reply_address, bytes before a reply's address byte (0x90
// to 0xF0, low nibble 0) are skipped and counted as noise, so that line
// noise cannot glue itself to the next reply.
class framer {
public:
  explicit framer(size_t limit, bool sync_on_reply_address = false)
      : limit_(limit), sync_(sync_on_reply_address) {}

  enum class event { message, overlong };
  // Calls on_event(event, run) for each complete run (run holds it, FF
  // included) and each overlong start (run holds its first limit bytes).
  template <class F> void feed(const uint8_t *data, size_t size, F on_event) {
    for (size_t i = 0; i < size; ++i) {
      const uint8_t b = data[i];
      if (skipping_) {
        skipping_ = b != kTerminator;
        continue;
      }
      if (sync_ && run_.empty() && !is_reply_address(b)) {
        ++noise_;
        continue;
      }
      run_.push_back(b);
      if (b == kTerminator) {
        on_event(event::message, run_);
        run_.clear();
      } else if (run_.size() >= limit_) {
        on_event(event::overlong, run_);
        run_.clear();
        skipping_ = true;
      }
    }
  }
  // Bytes skipped while looking for a reply's address byte.
  size_t noise() const { return noise_; }
  // Drops a partial run: the stream's source went away.
  void reset() {
    run_.clear();
    skipping_ = false;
  }

  static bool is_reply_address(uint8_t b) {
    return b >= 0x90 && (b & 0x0F) == 0;
  }

private:
  size_t limit_;
  bool sync_;
  bytes run_;
  bool skipping_ = false;
  size_t noise_ = 0;
};

} // namespace viscaip
