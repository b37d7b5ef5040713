// The simulated camera's state, driven by commands at chosen times and read
// by inquiries at later ones.
#include "camera_model.h"
#include "mcu_sim.h"

#include <gtest/gtest.h>

namespace {

using mcusim::bytes;
using mcusim::camera;
using ms = std::chrono::milliseconds;

const bytes kZoomInq = {0x81, 0x09, 0x04, 0x47, 0xFF};
const bytes kFocusInq = {0x81, 0x09, 0x04, 0x48, 0xFF};
const bytes kPanTiltInq = {0x81, 0x09, 0x06, 0x12, 0xFF};
const bytes kPowerOff = {0x81, 0x01, 0x04, 0x00, 0x03, 0xFF};
const bytes kManual = {0x81, 0x01, 0x04, 0x38, 0x03, 0xFF};
bytes zoom_to(int v) {
  return {0x81,
          0x01,
          0x04,
          0x47,
          uint8_t(v >> 12 & 15),
          uint8_t(v >> 8 & 15),
          uint8_t(v >> 4 & 15),
          uint8_t(v & 15),
          0xFF};
}
bytes pan_tilt(uint8_t how, uint8_t speed, int pan, int tilt) {
  bytes m = {0x81, 0x01, 0x06, how, speed, speed};
  for (int v : {pan & 0xFFFF, tilt & 0xFFFF})
    for (int shift = 12; shift >= 0; shift -= 4)
      m.push_back(static_cast<uint8_t>(v >> shift & 15));
  m.push_back(0xFF);
  return m;
}

struct step {
  int at_ms;
  bytes command;
};
struct model_case {
  const char *what;
  std::vector<step> commands; // each must be carried out
  int ask_ms;
  bytes inquiry;
  const char *want; // the reply, or "none" for an unmodelled inquiry
};

// One case a line or two.
// clang-format off
const model_case kCases[] = {
    {"power on at start", {}, 0, {0x81, 0x09, 0x04, 0x00, 0xFF}, "90 50 02 FF"},
    {"power off", {{0, kPowerOff}}, 0, {0x81, 0x09, 0x04, 0x00, 0xFF}, "90 50 03 FF"},
    // Direct moves at 0x2000 a second.
    {"zoom direct, on its way", {{0, zoom_to(0x1000)}}, 250, kZoomInq, "90 50 00 08 00 00 FF"},
    {"zoom direct, arrived", {{0, zoom_to(0x1000)}}, 900, kZoomInq, "90 50 01 00 00 00 FF"},
    {"zoom tele at speed 7, stopped after 0.5 s",
     {{0, {0x81, 0x01, 0x04, 0x07, 0x27, 0xFF}}, {500, {0x81, 0x01, 0x04, 0x07, 0x00, 0xFF}}},
     3000, kZoomInq, "90 50 01 00 00 00 FF"},
    {"zoom tele stops at the end of the range", {{0, {0x81, 0x01, 0x04, 0x07, 0x02, 0xFF}}},
     10000, kZoomInq, "90 50 04 00 00 00 FF"},
    {"zoom wide from the middle at speed 0",
     {{0, zoom_to(0x2000)}, {1000, {0x81, 0x01, 0x04, 0x07, 0x30, 0xFF}}},
     1500, kZoomInq, "90 50 01 0E 00 00 FF"},
    {"manual focus, then direct",
     {{0, kManual}, {0, {0x81, 0x01, 0x04, 0x48, 0x02, 0x00, 0x00, 0x00, 0xFF}}},
     1000, kFocusInq, "90 50 02 00 00 00 FF"},
    {"focus mode", {{0, kManual}}, 0, {0x81, 0x09, 0x04, 0x38, 0xFF}, "90 50 03 FF"},
    {"focus near for 0.25 s at the standard speed",
     {{0, kManual}, {0, {0x81, 0x01, 0x04, 0x08, 0x03, 0xFF}},
      {250, {0x81, 0x01, 0x04, 0x08, 0x00, 0xFF}}},
     1000, kFocusInq, "90 50 01 08 00 00 FF"},
    // Pan and tilt move at 80 units a second per step of speed.
    {"pan-tilt absolute, negative tilt", {{0, pan_tilt(0x02, 0x10, 0x100, -0x20)}},
     1000, kPanTiltInq, "90 50 00 01 00 00 0F 0F 0E 00 FF"},
    {"pan left at speed 1 for a second",
     {{0, {0x81, 0x01, 0x06, 0x01, 0x01, 0x01, 0x01, 0x03, 0xFF}},
      {1000, {0x81, 0x01, 0x06, 0x01, 0x01, 0x01, 0x03, 0x03, 0xFF}}},
     2000, kPanTiltInq, "90 50 0F 0F 0B 00 00 00 00 00 FF"},
    {"relative move stops at the pan limit",
     {{0, pan_tilt(0x03, 0x17, 0x0900, 0)}, {2000, pan_tilt(0x03, 0x17, 0x0900, 0)}},
     5000, kPanTiltInq, "90 50 00 09 09 00 00 00 00 00 FF"},
    {"home", {{0, pan_tilt(0x02, 0x17, 0x500, 0x300)}, {3000, {0x81, 0x01, 0x06, 0x04, 0xFF}}},
     6000, kPanTiltInq, "90 50 00 00 00 00 00 00 00 00 FF"},
    {"preset recalled after the zoom moved on",
     {{0, zoom_to(0x1000)}, {1000, {0x81, 0x01, 0x04, 0x3F, 0x01, 0x05, 0xFF}},
      {1000, zoom_to(0x3000)}, {3000, {0x81, 0x01, 0x04, 0x3F, 0x02, 0x05, 0xFF}}},
     5000, kZoomInq, "90 50 01 00 00 00 FF"},
    {"a reset preset recalls the power-on position",
     {{0, zoom_to(0x1000)}, {1000, {0x81, 0x01, 0x04, 0x3F, 0x01, 0x05, 0xFF}},
      {1000, {0x81, 0x01, 0x04, 0x3F, 0x00, 0x05, 0xFF}},
      {1000, {0x81, 0x01, 0x04, 0x3F, 0x02, 0x05, 0xFF}}},
     3000, kZoomInq, "90 50 00 00 00 00 FF"},
    {"an inquiry it does not model", {}, 0, {0x81, 0x09, 0x04, 0x4A, 0xFF}, "none"},
};
// clang-format on

TEST(CameraModel, InquiriesReadTheStateCommandsLeft) {
  const auto t0 = mcusim::clock::now();
  for (const auto &c : kCases) {
    camera cam;
    for (const auto &s : c.commands)
      EXPECT_EQ(cam.command(s.command, t0 + ms(s.at_ms)).status,
                camera::outcome::done)
          << c.what << ": " << mcusim::hex(s.command);
    const auto got = cam.inquire(c.inquiry, t0 + ms(c.ask_ms));
    EXPECT_EQ(got ? mcusim::hex(*got) : "none", c.want) << c.what;
  }
}

TEST(CameraModel, CommandsItCannotCarryOutAndWhenMovesEnd) {
  const auto t0 = mcusim::clock::now();
  using o = camera::outcome;
  // One case a line or two.
  // clang-format off
  const struct {
    const char *what;
    bytes before, command;
    o::kind status;
    int takes_ms;
  } cases[] = {
      {"a zoom beyond tele", {}, zoom_to(0x4001), o::syntax_error, 0},
      {"an unmodelled command", {}, {0x81, 0x01, 0x04, 0x39, 0x00, 0xFF},
       o::syntax_error, 0},
      {"a drive at speed 0", {},
       {0x81, 0x01, 0x06, 0x01, 0x00, 0x01, 0x01, 0x03, 0xFF}, o::syntax_error, 0},
      {"a tilt beyond its limit", {}, pan_tilt(0x02, 0x10, 0, 0x0600),
       o::syntax_error, 0},
      {"a preset past 0x7F", {}, {0x81, 0x01, 0x04, 0x3F, 0x01, 0x80, 0xFF},
       o::syntax_error, 0},
      {"zoom while powered off", kPowerOff, zoom_to(0x1000), o::not_executable, 0},
      {"power on while powered off", kPowerOff,
       {0x81, 0x01, 0x04, 0x00, 0x02, 0xFF}, o::done, 0},
      {"manual focus in auto focus", {}, {0x81, 0x01, 0x04, 0x08, 0x02, 0xFF},
       o::not_executable, 0},
      {"zoom direct completes when it arrives", {}, zoom_to(0x1000), o::done, 500},
      {"a drive completes at once", {},
       {0x81, 0x01, 0x06, 0x01, 0x18, 0x17, 0x02, 0x01, 0xFF}, o::done, 0},
      // The slower axis decides: 0x500 pan at 0x10 * 80 a second.
      {"pan-tilt absolute", {}, pan_tilt(0x02, 0x10, 0x500, 0x100), o::done, 1000},
  };
  // clang-format on
  for (const auto &c : cases) {
    camera cam;
    if (!c.before.empty())
      cam.command(c.before, t0);
    const auto got = cam.command(c.command, t0);
    EXPECT_EQ(got.status, c.status) << c.what;
    EXPECT_EQ(std::chrono::round<ms>(got.takes).count(), c.takes_ms) << c.what;
  }
}

} // namespace
