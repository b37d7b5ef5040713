// The camera behind the simulated MCU: power, zoom, focus, pan-tilt and
// presets, as state that commands change and inquiries read. It does no
// I/O and keeps no clock of its own: every call is given the time, so a
// test can ask where a move is at any moment.
//
// Messages are whole VISCA messages (address byte, body, FF); the address
// byte is not looked at. Ranges, in the units the inquiries report:
//   zoom   0x0000 (wide) to 0x4000 (tele)
//   focus  0x1000 (far) to 0xF000 (near)
//   pan    -0x0990 (left) to +0x0990 (right), sent as 16-bit two's complement
//   tilt   -0x01B0 (down) to +0x0510 (up), the same
// Speeds, in those units a second: zoom and focus (p + 1) * 0x400 and
// (p + 1) * 0x800 for speed p = 0 to 7 (standard: 3; direct moves at 7);
// pan VV * 80 for VV = 0x01 to 0x18, tilt WW * 80 for WW = 0x01 to 0x17
// (home and preset recalls move at the top speeds).
//
// Thread safety: none; the MCU calls it with its own lock held.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace mcusim {

using bytes = std::vector<uint8_t>;
using clock = std::chrono::steady_clock;

// One position that moves toward a target at a steady rate, and stops
// there or at the end of its range.
class axis {
public:
  axis(int lo, int hi, int at) : lo_(lo), hi_(hi), from_(at), target_(at) {}
  int lo() const { return lo_; }
  int hi() const { return hi_; }
  int at(clock::time_point now) const;
  // Starts toward target (clamped to the range) at rate units a second;
  // returns how long the move takes.
  clock::duration move(int target, double rate, clock::time_point now);
  void stop(clock::time_point now) { move(at(now), 1, now); }

private:
  int lo_, hi_;
  int from_, target_;
  double rate_ = 1; // units a second, > 0
  clock::time_point start_{};
};

class camera {
public:
  // Which parts a command moves, so that a cancel or IF_Clear stops them.
  enum part : unsigned {
    zoom_part = 1,
    focus_part = 2,
    pan_tilt_part = 4,
    all_parts = 7
  };

  struct outcome {
    enum kind { done, syntax_error, not_executable } status = done;
    // How long until the command is carried out: its completion is due
    // then. Zero for commands that take effect at once, continuous moves
    // included (they go on after their completion).
    clock::duration takes{};
    unsigned moves = 0; // parts set moving
  };

  camera();
  // An inquiry's reply (90 50 .. FF), or nothing when it is not modelled.
  std::optional<bytes> inquire(const bytes &msg, clock::time_point now) const;
  // Carries out a command (8x 01 ..); a command it does not model is a
  // syntax error. While the power is off, every command but power on is
  // not executable.
  outcome command(const bytes &msg, clock::time_point now);
  // Stops the parts in the mask where they are.
  void stop(unsigned parts, clock::time_point now);
  // "power on, zoom 0x1A00, focus auto 0x1000, pan 0x0100, tilt 0xFFE0"
  std::string describe(clock::time_point now) const;

private:
  struct preset {
    int zoom, focus, pan, tilt;
    bool auto_focus;
  };
  static constexpr size_t kPresets = 128; // memory numbers 0x00 to 0x7F

  bool power_ = true;
  bool auto_focus_ = true;
  axis zoom_, focus_, pan_, tilt_;
  std::array<std::optional<preset>, kPresets> presets_{};

  // A handler takes the message and returns the outcome; the table in the
  // source picks it by the message's leading bytes and length.
  using handler = outcome (camera::*)(const bytes &, clock::time_point);
  struct rule {
    bytes prefix; // after the address byte
    size_t size;  // the whole message's
    handler run;
  };
  static const std::vector<rule> &rules();

  outcome power(const bytes &m, clock::time_point now);
  outcome zoom_drive(const bytes &m, clock::time_point now);
  outcome zoom_direct(const bytes &m, clock::time_point now);
  outcome focus_mode(const bytes &m, clock::time_point now);
  outcome focus_drive(const bytes &m, clock::time_point now);
  outcome focus_direct(const bytes &m, clock::time_point now);
  outcome pan_tilt_drive(const bytes &m, clock::time_point now);
  outcome pan_tilt_absolute(const bytes &m, clock::time_point now);
  outcome pan_tilt_relative(const bytes &m, clock::time_point now);
  outcome pan_tilt_home(const bytes &m, clock::time_point now);
  outcome memory(const bytes &m, clock::time_point now);

  // Moves to a stored (or the power-on) position at the top speeds.
  outcome go_to(const preset &p, clock::time_point now);
  outcome pan_tilt_to(int pan, int tilt, int pan_speed, int tilt_speed,
                      clock::time_point now);
};

} // namespace mcusim
