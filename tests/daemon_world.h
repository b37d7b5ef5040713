// A simulated world under the daemon's real event loop: UDP controllers,
// TCP connections, the MCU's line and the clock, all behind the loop's
// system-call table. Each poll the loop makes is one wake-up: the world
// first lets the script act (new datagrams, bytes, ends, failures, the
// passing of time), then reports what is ready. No descriptor, socket or
// sleep is real, so every ordering can be made to happen, the same way
// every time.
//
// It checks, as the loop runs: no socket is read more than its batch in
// one wake-up; what is written to the line is whole VISCA messages for
// camera 1, each after the one before got a reply or had time to go
// unanswered; no more connections are open than the bound. With an honest
// MCU (see mcu_model) it also checks that no inquiry's answer reaches a
// controller other than the one that asked. A broken rule is a test
// failure (and an abort in the fuzz target): see on_violation.
//
// Thread safety: one world at a time, on the thread that runs serve().
#pragma once

#include "daemon.h"
#include "viscaip.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace daemon_world {

using viscaip::bytes;

constexpr int kSignals = 3, kLine = 4, kUdp = 10, kTcp = 11;
constexpr int kFirstConnection = 100;

// The MCU as a camera answers, one message at a time in arrival order,
// each answer `delay` ms after the later of its message's arrival and the
// previous answer: an inquiry 8x 09 .. id FF gets 90 50 id FF (so whose
// answer it is shows), IF_Clear 90 50 FF, a command 90 41 FF and 90 51 FF,
// anything else 90 60 02 FF.
struct mcu_model {
  bool on = true;     // off: the line only carries what the script puts
  int64_t delay = 1;  // ms, for the next answers
  bool honest = true; // nothing but its answers came from the line
  struct due {
    int64_t at;
    bytes data;
  };
  std::deque<due> answers;
  int64_t busy_until = 0;
};

struct connection {
  uint8_t id = 0;
  std::deque<uint8_t> in; // bytes the peer sent, not yet read
  bool fin = false;       // the peer closed its sending side
  bool reset = false;     // the peer reset the connection
  bool full = false;      // the daemon's sends would block
  bool closed = false;    // the daemon closed it
  bytes got;              // what the daemon sent to it
  size_t checked = 0;     // how much of got is checked
};

struct world {
  int64_t now = 1000000;
  bool stop = false; // the signal: the loop returns at the next poll

  // UDP: datagrams waiting on the daemon's socket, from controller ids
  // (the address 10.0.0.id, port 5000 + id).
  std::deque<std::pair<uint8_t, bytes>> datagrams;
  bool udp_full = false;        // sendto would block
  std::deque<int> udp_refusals; // errors for the next sendto calls
  std::vector<std::pair<uint8_t, bytes>> sent; // replies, by controller id

  // TCP: connections waiting to be accepted (their ids), one accept error
  // to give next (0: none), and the connections by descriptor.
  std::deque<uint8_t> connecting;
  int accept_error = 0;
  std::map<int, connection> conns;
  int next_fd = kFirstConnection;

  // The line: whether it opens, what the MCU sent, a read error to give,
  // how much one write takes (0: all), whether writes would block.
  bool line_openable = true;
  bool line_open = false;
  std::deque<uint8_t> line_in;
  int line_error = 0; // errno for the next read once line_in is empty; -1: end
  size_t write_limit = 0;
  bool line_full = false;
  bytes line_written;        // every byte the daemon wrote, in order
  std::vector<bytes> to_mcu; // the same, as messages
  mcu_model mcu;

  std::vector<std::string> log;
  // The line's traffic with its times, and the daemon's log, interleaved:
  // what a broken rule is explained with.
  std::vector<std::string> trace;
  // Counts per wake-up.
  std::map<int, int> reads;
  int polls = 0;
  int last_timeout = 0;

  // Called at the start of every wake-up; the loop stops when it returns
  // false (the world then raises the signal).
  std::function<bool(world &)> step = [](world &) { return false; };
  // Called with a description when a rule is broken.
  std::function<void(const std::string &)> on_violation;

  // Helpers for scripts.
  void datagram(uint8_t from, uint16_t type, uint32_t sequence,
                const bytes &payload);
  int connect(uint8_t id); // the descriptor the connection will have
  void advance(int64_t ms);
  // The replies controller id got over UDP, as VISCA payloads.
  std::vector<bytes> replies_to(uint8_t id) const;
  bool logged(const std::string &text) const;
};

// Runs the real loop over w until its script ends; serve()'s result.
int run(world &w, const ipd::options &o = {});

} // namespace daemon_world
