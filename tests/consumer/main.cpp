#include <timer.h>
#include <visca.h>

int main() {
  visca controller;
  visca_inq_command inquiry{};
  controller.create_inqcommand(inquiry, 1, 0x7E, 0x7E, 0x16);
  timer stopwatch;
  bool ok = inquiry.cmd_length == 6 && inquiry.cmd[4] == 0x16 &&
            inquiry.cmd[5] == 0xFF && controller.cam_fd == -1 &&
            stopwatch.TimeHasPassed() >= 0;
  return ok ? 0 : 1;
}
