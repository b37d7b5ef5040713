# The board's own SoC gets every scenario, in both builds.
set(busybox_scenarios 115200 9600 silent noise stale no-uart rival)
set(systemd_scenarios 115200 9600 stale no-uart)
# The previous release on an SD card, upgraded and switched between the
# flavours across reboots.
set(systemd_upgrade ON)
