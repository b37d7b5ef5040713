// A simulated camera MCU on the master side of a pseudo-terminal.
//
// The controller opens the slave like the board's UART, so termios, the
// pending-byte count and the drain all run against the real tty driver.
// The slave is left as the kernel makes it, cooked (canonical, echo, CR/NL
// mapping, output processing), like a board's UART after boot: a controller
// that does not set up its own side of the line sees the effects itself.
//
// The wire framing (speed, data bits, parity, hardware flow control) is
// what a real MCU would notice. The MCU reads it from the line's settings
// when a message arrives and answers only at its own: 8N1 at its speed,
// without flow control. Otherwise it stays silent or sends noise, as a
// real UART with mismatched framing would. (A Linux pty carries the speed,
// stop bits and flow control, but always reports 8 data bits and no
// parity.) Whoever holds the slave (the controller, or an
// emulator's serial backend) only the framing decides.
//
// Only runs that start with a VISCA address byte (0x80 to 0x8F) and end
// with FF are messages; anything else, such as its own answers echoed back
// by a cooked line, is counted as stray and otherwise ignored. Every
// message is logged with the time and the framing. Answers can be scripted
// message by message.
//
// Unscripted, it answers like a camera with two command sockets. With
// config::camera_model it answers from the state of the camera model
// behind it (camera_model.h): a command
// (8x 01 ..) the model carries out gets 90 4y FF on a free socket y and
// its completion 90 5y FF when the model has carried it out (no sooner
// than set_completion_gap; set_completion_delay replaces both); 90 60 03 FF
// when both sockets are busy; 90 60 41 FF when the camera cannot carry it
// out now (powered off, or a manual focus command in auto focus). A cancel
// (8x 2y FF) ends the command in socket y with 90 6y 04 FF and stops what
// it moved, or gets 90 6y 05 FF when y is idle; IF_Clear (8x 01 00 01 FF)
// gets 90 50 FF and stops every move; the version inquiry (8x 09 00 02 FF)
// gets its 10-byte reply; the probe's inquiry (8x 09 7E 7E ..) a 16-byte
// reply with the version at byte 14; the model's inquiries their state;
// anything else gets 90 60 02 FF, as a camera answers what it does not
// know. Without the model it is a bare MCU, for tests of the line itself:
// every command (8x 01 ..) is carried out at once (its completion comes
// after the command's delay) and every inquiry other than the version
// inquiry gets the probe's 16-byte reply.
//
// Thread safety: all public operations may be called from any thread while
// the MCU serves the line on its own thread, also while it hangs up.
#pragma once

#include "camera_model.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <termios.h>
#include <thread>
#include <vector>

namespace mcusim {

using std::chrono::microseconds;
using std::chrono::milliseconds;

enum class pacing {
  burst,     // all bytes in one write
  trickle,   // one byte at a time, a couple of milliseconds apart
  line_rate, // one byte every 10 bit times at the line's speed
};

// Part of an answer: bytes sent after a delay, with a pacing.
struct segment {
  bytes data;
  microseconds delay{0};
  pacing pace = pacing::burst;
};

// What the MCU sends back for one message. No segments means silence.
struct answer {
  std::vector<segment> segments;
  // Closes the line (the pty master) after this many bytes of the answer;
  // negative: never.
  int hangup_after = -1;
  // Holds the answer back until the next message arrives (its delays then
  // count from that arrival): a reply that comes only after the
  // controller gave up and retransmitted.
  bool held_for_next = false;

  static answer silence();
  static answer raw(bytes data);
  // 90 50, 13 data bytes with the version last (reply byte 14), FF.
  static answer version(uint8_t v);
  static answer ack();        // 90 41 FF
  static answer completion(); // 90 51 FF
  // Acknowledgement, then the completion after gap (both in one burst when
  // gap is zero).
  static answer ack_and_completion(milliseconds gap = milliseconds{0});
  static answer error();   // 90 60 02 FF, syntax error
  static answer garbage(); // bytes that are no reply at all
  // 90 followed by 31 bytes and never a terminator.
  static answer overlong();

  answer &after(microseconds delay); // delays the first segment
  answer &paced(pacing pace);        // sets every segment's pacing
  answer &then(const answer &next);  // appends next's segments
  answer &hang_up_after(int count);
  answer &until_next_message();
};

// The framing a UART puts on the wire, as the line's termios give it.
struct framing {
  speed_t speed = 0;      // termios B* value
  unsigned data_bits = 8; // 5 to 8
  char parity = 'N';      // 'N', 'E' or 'O'
  unsigned stop_bits = 1; // 1 or 2
  bool rtscts = false;    // hardware flow control
  static framing of(const termios &t);
  // True when a UART set to 8N1 at speed without flow control, like the
  // MCU's, reads these frames: same speed, 8 data bits, no parity, no flow
  // control. Stop bits do not count: a receiver samples only the first,
  // and a second reads as idle line. (QEMU's Cadence UART model also
  // reports a guest's one stop bit as two.)
  bool readable_at(speed_t speed) const;
};

// "115200 8N1", "9600 7E2 rtscts".
std::string describe(const framing &f);

// Owns one descriptor and closes it when destroyed or reset, so that no
// path, an exception in a constructor included, leaks one.
class unique_fd {
public:
  unique_fd() = default;
  explicit unique_fd(int fd) : fd_(fd) {}
  ~unique_fd() { reset(); }
  unique_fd(unique_fd &&other) noexcept : fd_(other.release()) {}
  unique_fd &operator=(unique_fd &&other) noexcept {
    if (this != &other)
      reset(other.release());
    return *this;
  }
  unique_fd(const unique_fd &) = delete;
  unique_fd &operator=(const unique_fd &) = delete;

  int get() const { return fd_; } // -1 when none is held
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the held descriptor, if any, and takes fd.
  void reset(int fd = -1);

private:
  int fd_ = -1;
};

struct received {
  bytes data; // one message, up to and including its FF
  clock::time_point at;
  framing frame;    // the line's speed and framing on arrival
  bool interleaved; // arrived while an answer was still held back
};

struct config {
  speed_t speed = B115200; // the only speed the MCU answers at (8N1)
  uint8_t version = 22;
  bool noise_at_wrong_speed = false;
  bool camera_model = false; // answer as the camera model's state says
};

// Observer of the traffic, called on the MCU's thread: to_mcu is true for
// bytes the controller sent (one whole message), false for an answer.
using traffic_fn =
    std::function<void(bool to_mcu, const bytes &data, const framing &line)>;
// Observer of the camera's state, called on the MCU's thread after each
// change (a command carried out, a move arrived, a stop) with a one-line
// description (camera::describe).
using state_fn = std::function<void(const std::string &state)>;

class mcu {
public:
  explicit mcu(config cfg = {});
  ~mcu(); // stops serving and closes the pty
  mcu(const mcu &) = delete;
  mcu &operator=(const mcu &) = delete;

  // Path of the pty slave, e.g. "/dev/pts/3".
  const std::string &slave_path() const { return slave_name_; }

  // Queues the answer to the next message received at the right speed.
  // When the queue is empty, messages get the unscripted answers above.
  void script(answer a);
  // Replaces the answer used once the script is spent.
  void set_default(answer a);
  // Held back before every answer, scripted or not.
  void set_hold(microseconds hold);
  // Pacing of the default answers (scripted ones carry their own).
  void set_pacing(pacing pace);
  // Gap between the default acknowledgement and completion of a command.
  // While a completion is due, the command holds its socket.
  void set_completion_gap(milliseconds gap);
  // Gap for the commands that start with prefix (the address byte
  // included), in place of the one above; the first matching prefix set
  // counts. A long move takes seconds.
  void set_completion_delay(bytes prefix, milliseconds gap);
  void set_observer(traffic_fn fn);
  void set_state_observer(state_fn fn);

  // Sends bytes now, unasked, as line noise would. Like a UART whose
  // receiver overruns, what the line cannot hold is lost: returns how many
  // bytes went in. Call it while the MCU is not answering.
  size_t inject(const bytes &data);

  std::vector<received> log() const;
  // Messages that arrived while an answer was being held back: a sign that
  // two exchanges interleaved on the wire.
  size_t interleaved() const;
  // True once the MCU closed the line (a scripted hang-up).
  bool hung_up() const;
  // Bytes received that belonged to no message: line noise, or echo from a
  // controller that left its tty cooked.
  size_t stray() const;

private:
  config cfg_;
  // The line's descriptors. Lock discipline: only the serving thread
  // closes them (a scripted hang-up), and only while holding mu_; it may
  // use them without the lock, being the only thread that changes them.
  // Every other thread uses them only while holding mu_, so none can write
  // to a descriptor that is being closed or whose number was reused.
  unique_fd master_;
  unique_fd slave_;   // kept open so the tty survives the controller's close
  unique_fd wake_[2]; // read end, write end: stops the serving thread
  std::string slave_name_;

  mutable std::mutex mu_;
  std::deque<answer> script_;
  answer default_;
  bool has_default_ = false;
  microseconds hold_{0};
  pacing pace_ = pacing::burst;
  milliseconds gap_{0};
  traffic_fn observer_;
  state_fn state_observer_;
  camera camera_;
  bool state_changed_ = false; // not yet reported to state_observer_
  std::vector<received> log_;
  size_t interleaved_ = 0;
  size_t stray_ = 0;
  bool hung_up_ = false;
  bool stop_ = false;

  // Camera sockets 1 and 2: when the completion of the command in each is
  // due (time_point{} when idle).
  clock::time_point socket_due_[2]{};
  unsigned socket_parts_[2]{}; // what the command in each moves
  std::vector<std::pair<bytes, milliseconds>> delays_;

  std::deque<received> pending_; // logged, not yet answered
  bytes inbox_;                  // bytes read but not yet a whole message
  bool skipping_ = false;        // inside a run that is no message
  std::thread thread_;

  void serve();
  void take_input(bool holding);
  void take_byte(uint8_t b, const framing &line, bool holding);
  answer pick(const bytes &msg, const framing &line);
  answer camera_answer(const bytes &msg); // with mu_ held
  // Sends the completions whose time has come; false as send().
  bool complete_due(const framing &line);
  // Time until the next completion is due, for poll; -1 when none.
  int next_completion_ms() const;
  // False when the MCU must stop serving (stopped or hung up).
  bool send(const answer &a, const framing &line, clock::time_point arrived);
  bool write_all(const uint8_t *data, size_t len);
  bool wait_quietly(clock::time_point until);
  framing line_framing() const;
  void hang_up();
  void notify(bool to_mcu, const bytes &data, const framing &line);
  void report_state();
  // The answer to a command (8x 01 ..) that is not IF_Clear, with mu_ held.
  answer command_answer(const bytes &msg, clock::time_point now);
};

// Bits per second of a termios speed constant; 0 if unknown.
unsigned baud_of(speed_t speed);
// Termios constant for a rate in bits per second; 0 if unsupported.
speed_t speed_of(unsigned baud);
// "81 09 7E 7E 16 FF".
std::string hex(const bytes &data);

} // namespace mcusim
