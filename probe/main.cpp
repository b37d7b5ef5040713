// quelmar-mcu-probe: run once at boot. Arguments are ignored, nothing is
// printed and the exit status is always 0; the version file
// /tmp/quelmar-mcu-version is the only result.
#include "probe.h"
#include "visca.h"
#include "visca_port.h"

int main() {
  visca_port::tune_for_polling();
  visca controller;
  run_probe(controller);
  return 0;
}
