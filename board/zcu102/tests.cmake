# A 64-bit board running the 32-bit userland: a boot of each image and the
# pauses checked on its clock.
set(busybox_scenarios 115200 silent)
set(systemd_scenarios 115200)
