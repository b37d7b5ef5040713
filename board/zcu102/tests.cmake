# A 64-bit board running the 32-bit userland: BusyBox at one speed and with
# the pauses checked on its clock; under systemd, every scenario that
# proves the unit and its sandbox.
set(busybox_scenarios 115200 silent)
set(systemd_scenarios 115200 9600 stale no-uart)
