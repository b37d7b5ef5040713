// The boot-time probe of the camera MCU's version.
#pragma once

class visca;

// Asks the MCU for its version: three attempts at 115200 baud, then three
// at 9600, 100 ms apart, stopping at the first accepted reply. The
// controller writes the version file while accepting it; nothing else is
// reported. The line is closed again on every return. Pauses go through
// the controller's platform layer, so tests can run it on a virtual clock.
void run_probe(visca &controller);
