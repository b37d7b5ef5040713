// The network camera's logic: controllers' messages in, the MCU's line
// out, and every reply routed back to the controller it belongs to.
// Plain code without I/O: datagrams, stream bytes, line bytes and the time
// go in; datagrams, stream bytes, line writes, log lines and the next
// deadline come out. The event loop (daemon.h) does the system calls.
//
// Rules, as a camera keeps them:
// - One message is on the line at a time, until its first reply (an
//   acknowledgement 90 4y FF, an inquiry reply 90 50 .. FF, a completion
//   without acknowledgement, or an error 90 6y .. FF), or until
//   answer_timeout passes; then it gets 90 60 41 FF (not executable).
// - A late MCU: after that timeout the MCU may still carry the message
//   out, so nothing else goes to the line until the MCU has answered an
//   IF_Clear (81 01 00 01 FF) sent behind it. Every reply before that
//   answer is the late message's and goes to its controller only; an
//   acknowledgement or a completion there marks it performed, so that its
//   retransmission (one already waiting included) gets the control error
//   0F 01 instead of running twice. Messages meanwhile wait in their
//   queues. Without an answer to IF_Clear within resync_timeout, what
//   waits gets 90 60 41 FF and IF_Clear goes again; the MCU is in step
//   once it has answered every IF_Clear, or once it answered one and then
//   said nothing for resync_timeout (the rest were lost). So a message
//   waits at most answer_timeout + resync_timeout for a reply of some kind.
// - Controllers take turns: the next message comes from the controller
//   after the one served last. Each has a queue of `queue` messages; a
//   message that finds it full gets 90 60 03 FF (buffer full) at once.
// - An acknowledgement gives socket y to the controller whose message it
//   answered; later completions and errors of socket y go to that
//   controller, whatever is on the line meanwhile. Replies nobody asked
//   for are dropped and logged.
// - A message is forwarded only when it is exactly one VISCA message to
//   one camera (0x81 to 0x87, rewritten to 0x81); replies carry the
//   address the controller used (0x90 for 0x81, 0xA0 for 0x82, ...).
//   Others get 90 60 01 FF (length) or 90 60 02 FF (syntax).
// - UDP sequence numbers are kept per controller: the same number and
//   message again, after the first got an acknowledgement or a reply, is
//   not executed twice and gets the control error 0F 01; again while the
//   first still waits, it is ignored (the first one's reply is coming);
//   again after an error, it is executed. Any other number, older, newer
//   or wrapped past 0xFFFFFFFF, is a new message: controllers restart
//   their count, or keep it fixed, without a RESET.
// - While the line is down, VISCA messages get 90 60 41 FF at once and
//   RESET still works.
//
// Thread safety: none; one thread owns a relay.
#pragma once

#include "viscaip.h"

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace viscaip {

using ms = int64_t; // milliseconds of a monotonic clock

// A UDP controller: which of the daemon's sockets it wrote to, and from
// where.
struct udp_peer {
  int socket = -1;
  sockaddr_storage addr{};
  socklen_t len = 0;
};

// "192.0.2.7:52381", "[2001:db8::1]:1234".
std::string describe(const udp_peer &peer);

struct outbox {
  struct datagram_out {
    udp_peer to;
    bytes data;
  };
  struct stream_out {
    uint64_t conn;
    bytes data;
  };
  std::vector<datagram_out> datagrams;
  std::vector<stream_out> streams;
  bytes line;                   // to be written to the MCU, in order
  std::vector<std::string> log; // lines for the operator
  void clear() {
    datagrams.clear();
    streams.clear();
    line.clear();
    log.clear();
  }
  bool empty() const {
    return datagrams.empty() && streams.empty() && line.empty() && log.empty();
  }
};

struct relay_limits {
  size_t queue = 8;            // messages waiting, per controller
  size_t udp_controllers = 64; // UDP peers whose sequence numbers are kept
  ms answer_timeout = 500;     // for the MCU's first reply to a message
  ms resync_timeout = 5000;    // for the answer to IF_Clear after a late one
  ms log_interval = 10000;     // one line per kind of fault per interval
};

struct relay_counters {
  uint64_t forwarded = 0;     // messages written to the line
  uint64_t replies = 0;       // replies delivered to controllers
  uint64_t rejected = 0;      // bad datagrams and messages
  uint64_t busy = 0;          // messages refused with 90 60 03 FF
  uint64_t duplicates = 0;    // retransmissions not executed again
  uint64_t timeouts = 0;      // messages the MCU did not answer in time
  uint64_t unsolicited = 0;   // MCU replies nobody was waiting for
  uint64_t undeliverable = 0; // replies for controllers that are gone
  uint64_t resyncs = 0;       // IF_Clears sent to get back in step
};

// "forwarded 3, replies 5, ...": every counter, for a status line.
std::string describe(const relay_counters &c);

class relay {
public:
  explicit relay(relay_limits limits = {});

  // One datagram from a UDP controller.
  void datagram(const udp_peer &from, const uint8_t *data, size_t size, ms now,
                outbox &out);
  // Bytes from TCP connection conn, and its end. Connection numbers are
  // never reused.
  void stream_bytes(uint64_t conn, const uint8_t *data, size_t size, ms now,
                    outbox &out);
  void stream_closed(uint64_t conn);

  // Bytes the MCU sent.
  void line_bytes(const uint8_t *data, size_t size, ms now, outbox &out);
  // The line was opened, or went away: messages waiting or on the line
  // then get 90 60 41 FF.
  void line_up(ms now, outbox &out);
  void line_down(ms now, outbox &out);

  // What was put out for the line could not all be written yet: until
  // line_flushed(), no reply read is the answer of what has not left.
  void line_blocked();
  // Everything put out for the line so far has been written to it: the
  // wait for the answer counts from now. (Until then the caller holds
  // tick(), so that nothing is given up on before it left.)
  void line_flushed(ms now);

  // Acts on the time: a message whose answer is overdue.
  void tick(ms now, outbox &out);
  // When tick() has work next; -1 when it has none.
  ms deadline() const;

  const relay_counters &counters() const { return counters_; }
  size_t controllers() const { return controllers_.size(); }
  size_t queued() const;
  // Whether TCP connection conn may still be sent a reply: it has
  // messages waiting or on the line, or owns a socket of the MCU.
  bool owes(uint64_t conn) const;

private:
  enum class outcome { pending, performed, failed };

  struct message {
    bytes data; // as forwarded, address byte 0x81
    uint32_t sequence;
    uint8_t reply_address;
  };

  // Where a reply goes.
  struct route {
    std::string key;
    uint32_t sequence;
    uint8_t reply_address;
  };

  struct controller {
    bool udp = false;
    udp_peer peer;
    uint64_t conn = 0;
    framer stream{kMaxMessage};
    std::deque<message> queue;
    bool in_ring = false;
    ms last_seen = 0;
    // UDP: the last message taken, for retransmissions.
    bool has_last = false;
    uint16_t last_type = 0;
    uint32_t last_sequence = 0;
    bytes last_payload;
    outcome last = outcome::pending;
  };

  struct in_flight {
    route to;
    bytes data; // as written to the line; data[1] 0x2y is a cancel
    ms due;
    uint64_t sent_in; // the event whose handling sent it
    bool written;     // false while the caller still holds it back
  };

  // A message whose answer was overdue, until the MCU answers IF_Clear.
  struct late {
    route to;
    bytes data;
    ms due;           // when IF_Clear's answer is given up on
    uint64_t sent_in; // the event whose handling sent the last IF_Clear
    bool own_clear;   // the late message is an IF_Clear: its answer is its
    unsigned clears;  // IF_Clears sent and not answered, its own included
    bool heard;       // an IF_Clear was answered since the last was sent
    bool written;     // false while the caller still holds IF_Clear back
  };

  enum fault : size_t {
    bad_datagram,
    bad_message,
    queue_full,
    duplicate,
    line_gone,
    no_answer,
    mcu_noise,
    unsolicited,
    too_many,
    resync,
    fault_kinds
  };
  struct fault_log {
    bool seen = false;
    ms last = 0;
    uint64_t suppressed = 0;
  };

  relay_limits limits_;
  relay_counters counters_;
  std::map<std::string, controller> controllers_;
  size_t udp_count_ = 0;
  std::deque<std::string> ring_; // controllers with messages, in turn
  std::optional<in_flight> in_flight_;
  std::optional<late> late_;
  std::array<std::optional<route>, 16> sockets_; // by socket number
  framer line_{kMaxMessage, true};
  size_t line_noise_seen_ = 0;
  bool line_up_ = false;
  // Counts the calls that bring line bytes: replies read in the same call
  // that sent a message left the MCU before the message reached it.
  uint64_t event_ = 0;
  std::array<fault_log, fault_kinds> faults_{};

  static std::string name_of(const controller &c);
  controller *udp_controller(const udp_peer &from, ms now);
  void take(const std::string &key, controller &c, const uint8_t *data,
            size_t size, uint32_t sequence, ms now, outbox &out);
  void dispatch(ms now, outbox &out);
  void reply(const std::string &key, uint32_t sequence, uint8_t address,
             const bytes &msg, outbox &out);
  void deliver(const route &to, const bytes &msg, outbox &out);
  void fail(const route &to, uint8_t code, outbox &out);
  void settle(const route &to, outcome result);
  void answered(const route &to, outcome result, ms now, outbox &out);
  void performed_late(outbox &out);
  void send_clear(ms now, outbox &out);
  void back_in_step(ms now, outbox &out);
  void fail_waiting(outbox &out);
  void finish(ms now, outbox &out);
  void on_reply(const bytes &msg, ms now, outbox &out);
  void control(const udp_peer &to, uint16_t type, uint32_t sequence,
               const bytes &payload, outbox &out);
  // Logs what text() says, unless the rate limit drops it: a flood of bad
  // input then costs no formatting.
  template <class Text> void note(fault kind, ms now, Text text, outbox &out);
  bool referenced(const std::string &key) const;
};

} // namespace viscaip
