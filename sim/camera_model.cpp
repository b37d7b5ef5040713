#include "camera_model.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace mcusim {
namespace {

constexpr int kZoomWide = 0x0000, kZoomTele = 0x4000;
constexpr int kFocusFar = 0x1000, kFocusNear = 0xF000;
constexpr int kPanLeft = -0x0990, kPanRight = 0x0990;
constexpr int kTiltDown = -0x01B0, kTiltUp = 0x0510;
constexpr int kPanTop = 0x18, kTiltTop = 0x17, kLensTop = 7, kLensStandard = 3;
constexpr double kPanTiltUnit = 80; // units a second for each step of speed

double zoom_rate(int p) { return (p + 1) * 0x400; }
double focus_rate(int p) { return (p + 1) * 0x800; }

// The value of count bytes from m[at] that each carry a nibble (0p 0q ..),
// high first; -1 when one of them carries more.
int nibbles(const bytes &m, size_t at, size_t count) {
  int v = 0;
  for (size_t i = at; i < at + count; ++i) {
    if (m[i] > 0x0F)
      return -1;
    v = v << 4 | m[i];
  }
  return v;
}

// A 16-bit position as the wire carries it, two's complement.
int signed16(int v) { return v >= 0x8000 ? v - 0x10000 : v; }

void put_nibbles(bytes &out, int v, int count) {
  for (int shift = 4 * (count - 1); shift >= 0; shift -= 4)
    out.push_back(static_cast<uint8_t>((v >> shift) & 0x0F));
}

// 90 50 02 FF when on is true, 90 50 03 FF otherwise.
bytes mode_reply(bool on) {
  return {0x90, 0x50, static_cast<uint8_t>(on ? 0x02 : 0x03), 0xFF};
}

// 90 50, each position as four nibbles (16-bit two's complement), FF.
bytes position_reply(std::initializer_list<int> positions) {
  bytes out;
  out.reserve(11);
  out.push_back(0x90);
  out.push_back(0x50);
  for (int v : positions)
    put_nibbles(out, v & 0xFFFF, 4);
  out.push_back(0xFF);
  return out;
}

camera::outcome syntax() { return {camera::outcome::syntax_error, {}, 0}; }
camera::outcome not_executable() {
  return {camera::outcome::not_executable, {}, 0};
}
camera::outcome carried_out(clock::duration takes, unsigned parts) {
  return {camera::outcome::done, takes, parts};
}

} // namespace

int axis::at(clock::time_point now) const {
  const double s = std::chrono::duration<double>(now - start_).count();
  const double travelled = std::max(0.0, s) * rate_;
  const int gap = target_ - from_;
  if (travelled >= std::abs(gap))
    return target_;
  return from_ + static_cast<int>(gap < 0 ? -travelled : travelled);
}

clock::duration axis::move(int target, double rate, clock::time_point now) {
  from_ = at(now);
  target_ = std::clamp(target, lo_, hi_);
  rate_ = rate;
  start_ = now;
  return std::chrono::duration_cast<clock::duration>(
      std::chrono::duration<double>(std::abs(target_ - from_) / rate));
}

camera::camera()
    : zoom_(kZoomWide, kZoomTele, kZoomWide),
      focus_(kFocusFar, kFocusNear, kFocusFar), pan_(kPanLeft, kPanRight, 0),
      tilt_(kTiltDown, kTiltUp, 0) {}

const std::vector<camera::rule> &camera::rules() {
  static const std::vector<rule> table = {
      {{0x01, 0x04, 0x00}, 6, &camera::power},
      {{0x01, 0x04, 0x07}, 6, &camera::zoom_drive},
      {{0x01, 0x04, 0x47}, 9, &camera::zoom_direct},
      {{0x01, 0x04, 0x38}, 6, &camera::focus_mode},
      {{0x01, 0x04, 0x08}, 6, &camera::focus_drive},
      {{0x01, 0x04, 0x48}, 9, &camera::focus_direct},
      {{0x01, 0x04, 0x3F}, 7, &camera::memory},
      {{0x01, 0x06, 0x01}, 9, &camera::pan_tilt_drive},
      {{0x01, 0x06, 0x02}, 15, &camera::pan_tilt_absolute},
      {{0x01, 0x06, 0x03}, 15, &camera::pan_tilt_relative},
      {{0x01, 0x06, 0x04}, 5, &camera::pan_tilt_home},
  };
  return table;
}

std::optional<bytes> camera::inquire(const bytes &m,
                                     clock::time_point now) const {
  if (m.size() != 5 || m[1] != 0x09)
    return std::nullopt;
  const int what = m[2] << 8 | m[3];
  switch (what) {
  case 0x0400:
    return mode_reply(power_);
  case 0x0447:
    return position_reply({zoom_.at(now)});
  case 0x0438:
    return mode_reply(auto_focus_);
  case 0x0448:
    return position_reply({focus_.at(now)});
  case 0x0612:
    return position_reply({pan_.at(now), tilt_.at(now)});
  default:
    return std::nullopt;
  }
}

camera::outcome camera::command(const bytes &m, clock::time_point now) {
  for (const auto &r : rules()) {
    if (m.size() != r.size ||
        !std::equal(r.prefix.begin(), r.prefix.end(), m.begin() + 1))
      continue;
    if (!power_ && r.run != &camera::power)
      return not_executable();
    return (this->*r.run)(m, now);
  }
  return syntax();
}

void camera::stop(unsigned parts, clock::time_point now) {
  if (parts & zoom_part)
    zoom_.stop(now);
  if (parts & focus_part)
    focus_.stop(now);
  if (parts & pan_tilt_part) {
    pan_.stop(now);
    tilt_.stop(now);
  }
}

std::string camera::describe(clock::time_point now) const {
  char buf[96];
  std::snprintf(buf, sizeof buf,
                "power %s, zoom 0x%04X, focus %s 0x%04X, pan 0x%04X, "
                "tilt 0x%04X",
                power_ ? "on" : "off", zoom_.at(now),
                auto_focus_ ? "auto" : "manual", focus_.at(now),
                pan_.at(now) & 0xFFFF, tilt_.at(now) & 0xFFFF);
  return buf;
}

camera::outcome camera::power(const bytes &m, clock::time_point now) {
  if (m[4] != 0x02 && m[4] != 0x03)
    return syntax();
  power_ = m[4] == 0x02;
  if (!power_)
    stop(all_parts, now);
  return carried_out({}, 0);
}

// 00 stop, 02 and 03 at the standard speed, 2p and 3p at speed p: toward
// the high end of the range (toward) or the low end.
static bool lens_drive(uint8_t b, axis &a, double (*rate)(int), bool high_is_2,
                       clock::time_point now) {
  if (b == 0x00) {
    a.stop(now);
    return true;
  }
  int speed = kLensStandard;
  uint8_t dir = b;
  if ((b & 0xF0) == 0x20 || (b & 0xF0) == 0x30) {
    speed = b & 0x0F;
    dir = static_cast<uint8_t>(b >> 4);
  }
  if (speed > kLensTop || (dir != 0x02 && dir != 0x03))
    return false;
  const bool high = (dir == 0x02) == high_is_2;
  a.move(high ? a.hi() : a.lo(), rate(speed), now);
  return true;
}

camera::outcome camera::zoom_drive(const bytes &m, clock::time_point now) {
  // Tele (2) zooms in, toward the high end.
  return lens_drive(m[4], zoom_, zoom_rate, true, now)
             ? carried_out({}, zoom_part)
             : syntax();
}

// 0p 0q 0r 0s: where the axis goes, within its range, at rate.
static camera::outcome direct(const bytes &m, axis &a, double rate,
                              unsigned part, clock::time_point now) {
  const int to = nibbles(m, 4, 4);
  if (to < a.lo() || to > a.hi())
    return syntax();
  return carried_out(a.move(to, rate, now), part);
}

camera::outcome camera::zoom_direct(const bytes &m, clock::time_point now) {
  return direct(m, zoom_, zoom_rate(kLensTop), zoom_part, now);
}

camera::outcome camera::focus_mode(const bytes &m, clock::time_point now) {
  if (m[4] == 0x10)
    auto_focus_ = !auto_focus_;
  else if (m[4] == 0x02 || m[4] == 0x03)
    auto_focus_ = m[4] == 0x02;
  else
    return syntax();
  if (auto_focus_)
    focus_.stop(now); // the lens is the camera's again
  return carried_out({}, 0);
}

camera::outcome camera::focus_drive(const bytes &m, clock::time_point now) {
  if (auto_focus_)
    return not_executable();
  // Far (2) moves toward the low end of the range.
  return lens_drive(m[4], focus_, focus_rate, false, now)
             ? carried_out({}, focus_part)
             : syntax();
}

camera::outcome camera::focus_direct(const bytes &m, clock::time_point now) {
  if (auto_focus_)
    return not_executable();
  return direct(m, focus_, focus_rate(kLensTop), focus_part, now);
}

camera::outcome camera::pan_tilt_to(int pan, int tilt, int pan_speed,
                                    int tilt_speed, clock::time_point now) {
  const auto p = pan_.move(pan, pan_speed * kPanTiltUnit, now);
  const auto t = tilt_.move(tilt, tilt_speed * kPanTiltUnit, now);
  return carried_out(std::max(p, t), pan_tilt_part);
}

static bool speeds_ok(const bytes &m) {
  return m[4] >= 1 && m[4] <= kPanTop && m[5] >= 1 && m[5] <= kTiltTop;
}

camera::outcome camera::pan_tilt_drive(const bytes &m, clock::time_point now) {
  if (!speeds_ok(m) || m[6] < 1 || m[6] > 3 || m[7] < 1 || m[7] > 3)
    return syntax();
  // 1 left or up, 2 right or down, 3 stop.
  const int pan = m[6] == 3 ? pan_.at(now) : m[6] == 1 ? kPanLeft : kPanRight;
  const int tilt = m[7] == 3 ? tilt_.at(now) : m[7] == 1 ? kTiltUp : kTiltDown;
  pan_tilt_to(pan, tilt, m[4], m[5], now);
  return carried_out({}, pan_tilt_part);
}

camera::outcome camera::pan_tilt_absolute(const bytes &m,
                                          clock::time_point now) {
  const int pan = nibbles(m, 6, 4), tilt = nibbles(m, 10, 4);
  if (!speeds_ok(m) || pan < 0 || tilt < 0)
    return syntax();
  const int p = signed16(pan), t = signed16(tilt);
  if (p < kPanLeft || p > kPanRight || t < kTiltDown || t > kTiltUp)
    return syntax();
  return pan_tilt_to(p, t, m[4], m[5], now);
}

camera::outcome camera::pan_tilt_relative(const bytes &m,
                                          clock::time_point now) {
  const int pan = nibbles(m, 6, 4), tilt = nibbles(m, 10, 4);
  if (!speeds_ok(m) || pan < 0 || tilt < 0)
    return syntax();
  // Past a limit it stops there, as a drive does.
  return pan_tilt_to(pan_.at(now) + signed16(pan),
                     tilt_.at(now) + signed16(tilt), m[4], m[5], now);
}

camera::outcome camera::pan_tilt_home(const bytes &, clock::time_point now) {
  return pan_tilt_to(0, 0, kPanTop, kTiltTop, now);
}

camera::outcome camera::go_to(const preset &p, clock::time_point now) {
  auto_focus_ = p.auto_focus;
  const auto z = zoom_.move(p.zoom, zoom_rate(kLensTop), now);
  const auto f = auto_focus_ ? clock::duration{}
                             : focus_.move(p.focus, focus_rate(kLensTop), now);
  const auto pt = pan_tilt_to(p.pan, p.tilt, kPanTop, kTiltTop, now).takes;
  return carried_out(std::max({z, f, pt}), all_parts);
}

// 04 3F 0m pp: m 0 reset, 1 set, 2 recall, of memory pp.
camera::outcome camera::memory(const bytes &m, clock::time_point now) {
  const uint8_t op = m[4], n = m[5];
  if (op > 2 || n >= kPresets)
    return syntax();
  if (op == 0)
    presets_[n].reset();
  else if (op == 1)
    presets_[n] = preset{zoom_.at(now), focus_.at(now), pan_.at(now),
                         tilt_.at(now), auto_focus_};
  else // an empty memory holds the power-on position
    return go_to(presets_[n].value_or(preset{kZoomWide, kFocusFar, 0, 0, true}),
                 now);
  return carried_out({}, 0);
}

} // namespace mcusim
