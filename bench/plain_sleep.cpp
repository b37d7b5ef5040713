// The benchmark's baseline: plain usleep waits and no timer tuning, to
// show what the tuned sleep buys.
#include "visca_port.h"

#include <unistd.h>

namespace visca_port {

void sleep_us(unsigned usec) { ::usleep(usec); }

void tune_for_polling() {}

} // namespace visca_port
