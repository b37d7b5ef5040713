# The board's own SoC gets every scenario, in both builds.
set(busybox_scenarios 115200 9600 silent noise stale no-uart rival)
# Under systemd the stale file's boot is the one at 115200: it makes every
# check of a plain one, and one more.
set(systemd_scenarios 9600 stale no-uart)
# The network camera, driven over the board's Ethernet: once, with the
# dynamically linked build a Debian board runs.
if(NOT QUELMAR_STATIC)
  list(APPEND busybox_scenarios camera camera-no-uart)
  list(APPEND systemd_scenarios camera camera-no-uart)
endif()
# The previous release on an SD card, upgraded and switched between the
# flavours across reboots.
set(systemd_upgrade ON)
