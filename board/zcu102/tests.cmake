# A 64-bit board running the 32-bit userland: BusyBox at one speed and with
# the pauses checked on its clock; under systemd, the unit and its sandbox
# (the 32-bit system calls a 64-bit kernel filters). The speeds, the stale
# file and the missing UART are the probe's and its unit's own behaviour,
# proven on the board's own SoC: a systemd boot here takes 40 to 65 s.
set(busybox_scenarios 115200 silent)
set(systemd_scenarios 115200)
