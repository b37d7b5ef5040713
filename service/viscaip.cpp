#include "viscaip.h"

#include <cstdio>

namespace viscaip {

header_fault parse(const uint8_t *data, size_t size, datagram &out) {
  if (size < kHeader)
    return header_fault::short_header;
  out.type = static_cast<uint16_t>(data[0] << 8 | data[1]);
  const size_t length = static_cast<size_t>(data[2] << 8 | data[3]);
  out.sequence = uint32_t{data[4]} << 24 | uint32_t{data[5]} << 16 |
                 uint32_t{data[6]} << 8 | uint32_t{data[7]};
  if (length == 0 || length != size - kHeader)
    return header_fault::bad_length;
  out.payload = data + kHeader;
  out.length = length;
  return header_fault::none;
}

bytes build(uint16_t type, uint32_t sequence, const uint8_t *payload,
            size_t length) {
  bytes out(kHeader + length);
  out[0] = static_cast<uint8_t>(type >> 8);
  out[1] = static_cast<uint8_t>(type);
  out[2] = static_cast<uint8_t>(length >> 8);
  out[3] = static_cast<uint8_t>(length);
  out[4] = static_cast<uint8_t>(sequence >> 24);
  out[5] = static_cast<uint8_t>(sequence >> 16);
  out[6] = static_cast<uint8_t>(sequence >> 8);
  out[7] = static_cast<uint8_t>(sequence);
  for (size_t i = 0; i < length; ++i)
    out[kHeader + i] = payload[i];
  return out;
}

std::string hex(const uint8_t *data, size_t size, size_t limit) {
  std::string out;
  char buf[4];
  for (size_t i = 0; i < size && i < limit; ++i) {
    std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", data[i]);
    out += buf;
  }
  if (size > limit)
    out += " ...";
  return out;
}

message_fault check_message(const uint8_t *data, size_t size) {
  if (size < 3 || size > kMaxMessage)
    return message_fault::length;
  if (data[0] < 0x81 || data[0] > 0x87 || data[size - 1] != kTerminator)
    return message_fault::syntax;
  for (size_t i = 1; i + 1 < size; ++i)
    if (data[i] == kTerminator)
      return message_fault::syntax;
  return message_fault::none;
}

} // namespace viscaip
