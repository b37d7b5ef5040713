// A scripted serial line on a virtual clock, installed under the
// controller's platform layer. Bytes become pending at chosen virtual
// times; every sleep advances the clock instead of waiting, so tests can
// count passes and reads exactly.
#pragma once

#include "visca.h"
#include "visca_port.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

namespace fake {

using bytes = std::vector<uint8_t>;

struct line {
  struct arrival {
    uint64_t at_us;
    bytes data;
  };
  struct sent {
    uint64_t at_us;
    bytes data;
  };
  struct read_event {
    size_t asked;          // bytes the caller asked for
    bytes got;             // bytes it received
    size_t pending_before; // bytes pending when it asked
    size_t writes_before;  // transmissions before this read
  };

  uint64_t now_us = 0;
  std::deque<arrival> future;  // not yet pending, in time order
  std::deque<uint8_t> pending; // what the driver holds
  std::vector<sent> writes;
  std::vector<read_event> read_log;
  size_t reads = 0; // read calls
  size_t sleeps = 0;
  bool fail_query = false; // the pending-byte query fails
  bool fail_write = false; // writes report an error
  // Called after each write, e.g. to schedule the answer to it.
  std::function<void(line &, const bytes &)> on_write;

  // Bytes that become pending delay_us from now.
  void arrive(const bytes &data, uint64_t delay_us = 0) {
    future.push_back({now_us + delay_us, data});
  }
  size_t pending_count() {
    settle();
    return pending.size();
  }
  void settle() {
    while (!future.empty() && future.front().at_us <= now_us) {
      pending.insert(pending.end(), future.front().data.begin(),
                     future.front().data.end());
      future.pop_front();
    }
  }
};

// The MCU's version reply: 90 50, 13 data bytes with v last, FF.
inline bytes version_reply(uint8_t v) {
  bytes r(16, 0x00);
  r[0] = 0x90;
  r[1] = 0x50;
  r[14] = v;
  r[15] = 0xFF;
  return r;
}

// Installs a line for the lifetime of the object; one at a time.
class installed {
public:
  explicit installed(line &l);
  ~installed();
  installed(const installed &) = delete;
  installed &operator=(const installed &) = delete;
};

// A controller on a scripted line installed for the life of the object.
struct rig {
  fake::line line;
  installed guard{line};
  visca ctl;
  rig() { ctl.cam_fd = 100; } // any descriptor: the line is fake
  ~rig() { ctl.cam_fd = -1; }
};

} // namespace fake
