# A 64-bit board running the 32-bit userland: BusyBox at one speed and with
# the pauses checked on its clock; under systemd, the unit and its sandbox
# with the UART and without it. The speeds and the stale file are the
# probe's own behaviour, proven on the board's own SoC.
set(busybox_scenarios 115200 silent)
set(systemd_scenarios 115200 no-uart)
