#!/usr/bin/env bash
# Builds the BusyBox image of the emulated board: an initramfs with Debian's
# static BusyBox for armhf, the probe from the project's armhf package and,
# when given, the network camera service from its package, each started by
# the package's own init script as BusyBox's rcS starts it on a board
# without systemd: the probe first, then the service. The Ethernet gets the
# address of QEMU's user network, 10.0.2.15, statically. Dynamically linked
# programs get Debian's armhf C and C++ runtime from the archive.
#
# Usage: busybox-image.sh PROBE_DEB [SERVICE_DEB] OUT.cpio
#
# The guest prints its evidence on the console as "QUELMAR: ..." lines and
# reboots, which ends QEMU. Kernel arguments steer it:
#   quelmar.stale=TEXT   leave TEXT in the version file before the probe runs
#   quelmar.rival        start a second reader of ttyPS1 (cat) before it
#   quelmar.shell        stay up with a shell on the console instead
#   quelmar.steer        once booted, say "QUELMAR: ready" and take
#                        commands from the console, a line each: "kill"
#                        (the service, with SIGKILL; says when it listens
#                        again), "allow ADDR..." (sets ALLOW in the
#                        service's configuration and restarts it; "allow"
#                        alone: every address),
#                        "done" (report and reboot)
set -euo pipefail
# What this script creates has the same modes whatever the caller's umask.
umask 022
. "$(dirname "$0")/lib.sh"
[ $# -eq 2 ] || [ $# -eq 3 ] || die "usage: busybox-image.sh PROBE_DEB [SERVICE_DEB] OUT.cpio"
probe_deb=$1 out=${!#} service_deb=
[ $# -eq 2 ] || service_deb=$2
[ "$(id -u)" -eq 0 ] || die "needs root (device nodes in the image)"
install_missing "${BOARD_PACKAGES[@]}"
enable_arch armhf

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

dpkg-deb -x "$(fetch_deb busybox-static:armhf)" "$root/pkg"
mkdir -p "$root/bin" "$root/dev" "$root/etc/init.d" "$root/proc" \
  "$root/sys" "$root/tmp" "$root/root"
mv "$root/pkg/bin/busybox" "$root/bin/busybox"
rm -rf "$root/pkg"
mknod -m 600 "$root/dev/console" c 5 1

dynamic=0
for deb in "$probe_deb" $service_deb; do
  dpkg-deb -x "$deb" "$root"
  ! grep -q libc6 <<<"$(dpkg-deb -f "$deb" Depends)" || dynamic=1
done
if [ "$dynamic" -eq 1 ]; then
  for lib in libc6 libstdc++6 libgcc-s1; do
    dpkg-deb -x "$(fetch_deb "$lib:armhf")" "$root"
  done
fi
rm -rf "$root/usr/share"
# Where BusyBox's rcS looks; the numbers order them: the network, the probe
# (which owns the UART until it is done), then the service.
ln -s quelmar-mcu-probe "$root/etc/init.d/S15quelmar-mcu-probe"
[ -z "$service_deb" ] ||
  ln -s quelmar-visca-ipd "$root/etc/init.d/S20quelmar-visca-ipd"
cat >"$root/etc/init.d/S10network" <<'EOF'
#!/bin/sh
# QEMU's user network: the board is 10.0.2.15, the host 10.0.2.2.
ifconfig lo 127.0.0.1 up
if [ -e /sys/class/net/eth0 ]; then
  ifconfig eth0 10.0.2.15 netmask 255.255.255.0 up &&
    route add default gw 10.0.2.2
fi
EOF
chmod 755 "$root/etc/init.d/S10network"

cat >"$root/init" <<'EOF'
#!/bin/busybox sh
# devtmpfs is not mounted by the kernel when it starts an initramfs.
/bin/busybox mkdir -p /sbin /usr/bin /usr/sbin
/bin/busybox --install -s
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs -o mode=1777 tmpfs /tmp
/usr/sbin/board-plant-stale
# quelmar.rival: a second reader holds ttyPS1 from before the probe on, as
# a getty or a terminal program on the wrong port would.
if grep -qw quelmar.rival /proc/cmdline; then
  cat /dev/ttyPS1 >/dev/null &
  echo $! >/rival.pid
  echo "QUELMAR: rival-reader started"
fi
exec /sbin/init
EOF

install -m 755 "$board_dir/plant-stale" "$root/usr/sbin/board-plant-stale"

cat >"$root/etc/inittab" <<'EOF'
::sysinit:/etc/init.d/rcS
::once:/etc/board-report
EOF

# The service's own user, in the UART's group (Debian's numbers), so that
# nothing the network reaches runs as root.
cat >"$root/etc/passwd" <<'EOF'
root:x:0:0:root:/root:/bin/sh
quelmar-visca:x:100:20:VISCA over IP service:/nonexistent:/bin/false
EOF
cat >"$root/etc/group" <<'EOF'
root:x:0:
dialout:x:20:quelmar-visca
EOF

# BusyBox's rcS, with the time each script took. The UART goes to its
# group first, as udev's rules would give it.
cat >"$root/etc/init.d/rcS" <<'EOF'
#!/bin/sh
if [ -c /dev/ttyPS1 ]; then
  chgrp 20 /dev/ttyPS1 && chmod 660 /dev/ttyPS1
fi
for script in /etc/init.d/S??*; do
  [ -x "$script" ] || continue
  from=$(cut -d' ' -f1 /proc/uptime)
  # Whether the probe's result was there when the script started.
  file=no
  [ ! -f /tmp/quelmar-mcu-version ] || file=yes
  "$script" start
  rc=$?
  to=$(cut -d' ' -f1 /proc/uptime)
  echo "QUELMAR: rcS $(basename "$script") start rc=$rc from=$from to=$to file=$file"
done
EOF

cat >"$root/etc/board-report" <<'EOF'
#!/bin/sh
if [ -c /dev/ttyPS1 ]; then
  echo "QUELMAR: ttyPS1 present"
else
  echo "QUELMAR: ttyPS1 absent"
fi
if [ -f /tmp/quelmar-mcu-version ]; then
  echo "QUELMAR: version-file \"$(cat /tmp/quelmar-mcu-version)\""
  echo "QUELMAR: version-file-owner $(stat -c '%u %a' /tmp/quelmar-mcu-version)"
else
  echo "QUELMAR: version-file absent"
fi
echo "QUELMAR: tmp [$(ls -A /tmp | tr '\n' ' ')]"
if [ -f /rival.pid ]; then
  if kill -0 "$(cat /rival.pid)" 2>/dev/null; then
    echo "QUELMAR: rival-reader alive"
  else
    echo "QUELMAR: rival-reader gone"
  fi
fi
/etc/init.d/quelmar-mcu-probe status >/dev/null 2>&1
echo "QUELMAR: status rc=$?"
if [ -x /etc/init.d/quelmar-visca-ipd ]; then
  /etc/init.d/quelmar-visca-ipd status >/dev/null 2>&1
  echo "QUELMAR: service-status rc=$?"
  # Who it runs as, once it has changed users, and whether that user could
  # write /etc.
  tries=0
  until grep -qs 'running as\|runs as root' /var/log/quelmar-visca-ipd.log ||
    [ "$tries" -ge 300 ]; do
    tries=$((tries + 1))
    sleep 0.1
  done
  uid=$(sed -n 's/^Uid:[[:space:]]*\([0-9]*\).*/\1/p' "/proc/$(pidof quelmar-visca-ipd)/status")
  echo "QUELMAR: service-uid $uid"
  # As that user (by its name), saying who it was: "uid=100 denied".
  user=$(sed -n "s/^\([^:]*\):[^:]*:$uid:.*/\1/p" /etc/passwd)
  echo "QUELMAR: service-write-etc $(su -s /bin/sh -c \
    'echo "uid=$(id -u) $(touch /etc/board-write-test 2>/dev/null && echo allowed || echo denied)"' \
    "$user" 2>&1)"
fi
# listening N: until the service has said N times that it listens on TCP,
# its last socket (a process that exists may not listen yet); at most 30 s.
listening() {
  tries=0
  while [ "$(grep -c 'listening for raw VISCA' /var/log/quelmar-visca-ipd.log 2>/dev/null)" -lt "$1" ] &&
    [ "$tries" -lt 300 ]; do
    tries=$((tries + 1))
    sleep 0.1
  done
}
if grep -qw quelmar.steer /proc/cmdline; then
  listening 1
  echo "QUELMAR: ready"
  while read -r command args; do
    case "$command" in
    kill)
      # The init script's watcher starts it again a second later.
      heard=$(grep -c 'listening for raw VISCA' /var/log/quelmar-visca-ipd.log)
      old=$(pidof quelmar-visca-ipd)
      kill -KILL $old
      listening $((heard + 1))
      echo "QUELMAR: killed $old, back as $(pidof quelmar-visca-ipd)"
      ;;
    allow)
      # Read when it starts: the watcher starts it again with the new list.
      sed -i '/^ALLOW=/d' /etc/default/quelmar-visca-ipd
      echo "ALLOW=\"$args\"" >>/etc/default/quelmar-visca-ipd
      heard=$(grep -c 'listening for raw VISCA' /var/log/quelmar-visca-ipd.log)
      kill -KILL $(pidof quelmar-visca-ipd)
      listening $((heard + 1))
      echo "QUELMAR: allow '$args' now $(grep '^ALLOW=' /etc/default/quelmar-visca-ipd)"
      ;;
    done) break ;;
    esac
  done
fi
if [ -f /var/log/quelmar-visca-ipd.log ]; then
  sed 's/^/QUELMAR: service-log /' /var/log/quelmar-visca-ipd.log
fi
echo "QUELMAR: done"
if grep -qw quelmar.shell /proc/cmdline; then
  exec setsid cttyhack sh
fi
# -no-reboot makes QEMU exit; the Zynq-7000 cannot power off.
reboot -f
EOF
chmod 755 "$root/init" "$root/etc/init.d/rcS" "$root/etc/board-report"

pack_cpio "$root" "$out"
