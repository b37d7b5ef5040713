#include "probe.h"

#include "visca.h"
#include "visca_port.h"

#include <cstdint>
#include <termios.h>

namespace {

const int32_t SLEEP_TIME = 100000; // microseconds between probe steps

void pause_step() { visca_port::ops().sleep_us(SLEEP_TIME); }

// Three attempts at the line's current speed; true at the first reply.
bool attempts(visca &controller) {
  for (int32_t i = 0; i <= 2; ++i) {
    // Version inquiry: 81 09 7E 7E 16 FF.
    bool bStatus = controller.send_inq_cmd(1, 0x7E, 0x7E, 0x16);
    if (bStatus)
      return true;
    pause_step();
  }
  return false;
}

} // namespace

void run_probe(visca &controller) {
  speed_t camBr = B115200;
  controller.init_visca(camBr);
  pause_step();
  if (!attempts(controller)) {
    controller.deinit_visca();
    pause_step();
    camBr = B9600;
    controller.init_visca(camBr);
    pause_step();
    attempts(controller);
  }
  controller.deinit_visca();
}
