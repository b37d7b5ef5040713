// visca-send's network side: one message to a camera over VISCA over IP
// (UDP, Sony's framing) or raw VISCA (TCP), and every reply printed on
// standard output as it comes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace net {

struct target {
  bool udp = true;
  std::string where;     // HOST, HOST:PORT, [IPV6] or [IPV6]:PORT
  uint32_t sequence = 1; // the datagram's sequence number (UDP)
  int timeout_ms = 5000; // for the last reply, from the sending
  bool inquiry = false;  // a reply ends it; for a command, the completion
  bool reset = false;    // a RESET of the sequence numbers instead (UDP)
  bool times = false;    // each reply says how long after the sending
};

// Sends msg and prints the replies until the completion, the inquiry's
// reply, an error or the timeout. Returns 0 when the command completed,
// the inquiry was answered or the RESET acknowledged, 1 otherwise; error says
// why the camera could not be reached, when it could not.
int send(const target &t, const std::vector<uint8_t> &msg, std::string &error);

} // namespace net
