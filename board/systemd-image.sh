#!/usr/bin/env bash
# Builds the systemd image of the emulated board: a Debian armhf system
# (mmdebstrap's minbase with systemd and udev) with the project's probe
# package installed by dpkg -i, maintainer scripts and all, booted as an
# initramfs. The base system is cached, keyed by the package versions and
# sources that went into it; the probe is installed afresh on each build.
#
# Usage: systemd-image.sh [--install DEB]... [--with DEB]... PROBE_DEB
#                         OUT.cpio|OUT.img
#   OUT.cpio   an initramfs, booted into RAM
#   OUT.img    an ext4 file system for the SD card, which keeps what the
#              guest changes from one boot to the next
#   --install  another package to install with the probe (the service)
#   --with     a package to leave in the guest's /var/cache/quelmar/debs,
#              as NAME_VERSION.deb, for a later step to install
#
# systemd-networkd gives the Ethernet the address of QEMU's user network,
# 10.0.2.15, statically.
#
# With the kernel argument quelmar.step=STEP[,STEP...] the guest does each
# step once it has reported, before it reboots: enable or disable (the
# probe's unit, with systemctl), install:NAME_VERSION (dpkg -i of a package
# left by --with) or purge:PACKAGE (dpkg --purge).
#
# Once the system is up, a report unit prints the evidence on the console
# as "QUELMAR: ..." lines (guest timestamps in microseconds) and reboots,
# which ends QEMU (boot.sh runs it with -no-reboot). With the kernel
# argument quelmar.shell it logs root in on the console instead. With
# quelmar.steer it says "QUELMAR: ready" once booted and takes commands
# from the console, a line each, answering each with QUELMAR lines:
#   kill           the service, with SIGKILL; says when, restarted, it
#                  listens again
#   deny ADDR      IPAddressDeny=ADDR for the service (systemctl set-property
#                  --runtime, a drop-in under /run); "deny" alone lifts it
#   allow ADDR...  ALLOW=ADDR... in the service's own configuration, and a
#                  restart; "allow" alone: every address
#   install DEB... dpkg -i of packages left by --with, one after the other,
#                  with the probe unit's invocation before and after
#   done           report and reboot
set -euo pipefail
# What this script creates has the same modes whatever the caller's umask.
umask 022
. "$(dirname "$0")/lib.sh"
extras=() installs=()
while [ "${1:-}" = --with ] || [ "${1:-}" = --install ]; do
  if [ "$1" = --with ]; then extras+=("$2"); else installs+=("$2"); fi
  shift 2
done
[ $# -eq 2 ] || die "usage: systemd-image.sh [--install DEB]... [--with DEB]... PROBE_DEB OUT.cpio|OUT.img"
probe_deb=$1 out=$2
[ "$(id -u)" -eq 0 ] || die "needs root (mmdebstrap, chroot)"
install_missing "${BOARD_PACKAGES[@]}" "${ROOTFS_PACKAGES[@]}"
enable_arch armhf
enable_armhf_binfmt

. /etc/os-release
suite=$VERSION_CODENAME
include=systemd-sysv,udev
mapfile -t sources < <(archive_sources)

# What goes into the base: its options, the sources and the versions of
# its main packages. Bump the first word when the base is made differently.
key=$(
  {
    echo "base-1 minbase armhf $suite $include"
    cat "${sources[@]}" </dev/null
    for p in systemd udev libc6 base-files; do candidate "$p:armhf"; done
  } | sha256sum | cut -c1-16
)
base="$cache_dir/rootfs/$suite-armhf-$key.tar"
if [ ! -s "$base" ]; then
  mkdir -p "$cache_dir/rootfs"
  echo "board: building the $suite armhf base system (about 90 s)" >&2
  # mmdebstrap picks the output's format by its name: keep .tar last.
  partial="${base%.tar}.partial.tar"
  mmdebstrap --quiet --variant=minbase --architectures=armhf \
    --include="$include" --mode=root "$suite" "$partial" "${sources[@]}" ||
    die "mmdebstrap"
  mv "$partial" "$base"
fi

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
tar -C "$root" -xf "$base"

# The packages, installed as on a Debian board.
for deb in "$probe_deb" "${installs[@]}"; do
  cp "$deb" "$root/tmp/install.deb"
  chroot "$root" dpkg -i /tmp/install.deb >&2 || die "dpkg -i of $(basename "$deb")"
  rm "$root/tmp/install.deb"
done
# The Ethernet, as a Debian board configures it with systemd-networkd.
mkdir -p "$root/etc/systemd/network"
cat >"$root/etc/systemd/network/10-eth0.network" <<'EOF'
[Match]
Name=eth0

[Network]
Address=10.0.2.15/24
Gateway=10.0.2.2
LinkLocalAddressing=no
IPv6AcceptRA=no
# The board's kernel has no packet sockets, which LLDP would need.
LLDP=no
EmitLLDP=no
EOF
chroot "$root" systemctl enable systemd-networkd.service >&2 ||
  die "cannot enable systemd-networkd"
mkdir -p "$root/var/cache/quelmar/debs"
for deb in "${extras[@]}"; do
  cp "$deb" "$root/var/cache/quelmar/debs/$(dpkg-deb -f "$deb" Package)_$(dpkg-deb -f "$deb" Version).deb"
done

echo 0123456789abcdef0123456789abcdef >"$root/etc/machine-id"
ln -s /sbin/init "$root/init"

# The console getty only for interactive use, logged in as root.
getty="$root/etc/systemd/system/serial-getty@ttyPS0.service.d"
mkdir -p "$getty"
cat >"$getty/board.conf" <<'EOF'
[Unit]
ConditionKernelCommandLine=quelmar.shell
[Service]
ExecStart=
ExecStart=-/sbin/agetty --autologin root --keep-baud 115200 %I $TERM
EOF

# A stale version file from an ordinary user, planted once systemd-tmpfiles
# has emptied /tmp and before the probe runs (kernel argument
# quelmar.stale=TEXT).
install -m 755 "$board_dir/plant-stale" "$root/usr/local/sbin/board-plant-stale"
cat >"$root/etc/systemd/system/board-plant-stale.service" <<'EOF'
[Unit]
Description=Plant a stale version file for the probe to replace
DefaultDependencies=no
ConditionKernelCommandLine=quelmar.stale
After=systemd-tmpfiles-setup.service
Before=quelmar-mcu-probe.service

[Service]
Type=oneshot
ExecStart=/usr/local/sbin/board-plant-stale
StandardOutput=tty
TTYPath=/dev/console

[Install]
WantedBy=sysinit.target
EOF
ln -s /etc/systemd/system/board-plant-stale.service \
  "$root/etc/systemd/system/sysinit.target.wants/board-plant-stale.service"

# The sandbox checks: a program that tries what a sandbox must deny and
# allow, run under the probe's unit and under the service's.
install_missing "${ARMHF_PACKAGES[@]}"
arm-linux-gnueabihf-gcc -static -O2 -Wall -Wextra -Werror \
  -o "$root/usr/local/sbin/board-sandbox-check" "$board_dir/sandbox-check.c" ||
  die "cannot build the sandbox check"
# sandbox_check UNIT NAME AFTER: the unit NAME runs the check under UNIT's
# [Service] section as installed, with only how it runs swapped: once,
# after AFTER and before the service takes the UART exclusively, its report
# in /run/NAME.txt, opened by systemd (nothing inside may be written).
# Fails where the package installed no UNIT.
sandbox_check() {
  local unit_file="$root/usr/lib/systemd/system/$1"
  local check="$root/etc/systemd/system/$2.service"
  [ -f "$unit_file" ] || return 1
  {
    cat <<EOF
[Unit]
Description=Check the sandbox of $1
After=$3
Before=quelmar-visca-ipd.service
ConditionKernelCommandLine=!quelmar.brief

EOF
    sed -n '/^\[Service\]/,/^\[/{/^\[Install\]/d; /^ExecStart=/d; /^Restart/d; /^Type=/d; p}' "$unit_file"
    cat <<EOF
Type=oneshot
ExecStart=/usr/local/sbin/board-sandbox-check
StandardOutput=truncate:/run/$2.txt

[Install]
WantedBy=multi-user.target
EOF
  } >"$check"
  grep -q '^CapabilityBoundingSet=' "$check" || die "$1 has no sandbox to copy"
  ln -s "/etc/systemd/system/$2.service" \
    "$root/etc/systemd/system/multi-user.target.wants/$2.service"
}
sandbox_check quelmar-mcu-probe.service board-sandbox-check quelmar-mcu-probe.service ||
  die "the package installed no unit"
sandbox_check quelmar-visca-ipd.service board-sandbox-check-ipd \
  "quelmar-mcu-probe.service board-sandbox-check.service" || true

cat >"$root/usr/local/sbin/board-report" <<'EOF'
#!/bin/sh
# Waits for the boot to finish, prints the evidence, reboots (QEMU exits).
exec >/dev/console 2>&1
systemctl is-system-running --wait >/dev/null 2>&1
echo "QUELMAR: system $(systemctl is-system-running)"
# Guest time: microseconds since boot, or - when it never happened.
mono() {
  t=$(systemctl show -p "$2" --value "$1")
  if [ -n "$t" ] && [ "$t" != 0 ]; then echo "$t"; else echo -; fi
}
if [ -c /dev/ttyPS1 ]; then
  echo "QUELMAR: ttyPS1 present"
else
  echo "QUELMAR: ttyPS1 absent"
fi
unit=quelmar-mcu-probe.service
echo "QUELMAR: unit-enabled $(systemctl is-enabled $unit)"
echo "QUELMAR: unit-state $(systemctl show -p ActiveState --value $unit)" \
  "result=$(systemctl show -p Result --value $unit)"
# The file's time is wall-clock time, which systemd moved forward at boot
# (there is no RTC). systemd stamps each event with both clocks at once:
# basic.target's pair takes the file's time back to time since boot.
file=-
if [ -f /tmp/quelmar-mcu-version ]; then
  wall=$(date -d "$(systemctl show --timestamp=us+utc -p ActiveEnterTimestamp \
    --value basic.target)" +%s%6N)
  boot=$(systemctl show -p ActiveEnterTimestampMonotonic --value basic.target)
  file=$(($(date -r /tmp/quelmar-mcu-version +%s%6N) - wall + boot))
fi
echo "QUELMAR: times userspace=$(systemctl show -p UserspaceTimestampMonotonic --value)" \
  "sysinit=$(mono sysinit.target ActiveEnterTimestampMonotonic)" \
  "device=$(mono dev-ttyPS1.device ActiveEnterTimestampMonotonic)" \
  "probe-start=$(mono $unit ExecMainStartTimestampMonotonic)" \
  "probe-exit=$(mono $unit ExecMainExitTimestampMonotonic)" \
  "file=$file basic=$(mono basic.target ActiveEnterTimestampMonotonic)" \
  "service-start=$(mono quelmar-visca-ipd.service ExecMainStartTimestampMonotonic)"
if [ -f /tmp/quelmar-mcu-version ]; then
  echo "QUELMAR: version-file \"$(cat /tmp/quelmar-mcu-version)\""
  echo "QUELMAR: version-file-owner $(stat -c '%u %a' /tmp/quelmar-mcu-version)"
else
  echo "QUELMAR: version-file absent"
fi
# The init script's status, which must not be handed to systemctl.
/etc/init.d/quelmar-mcu-probe status >/dev/null 2>&1
echo "QUELMAR: status rc=$?"
# The sandbox's rating and checks are slow under emulation; boots that
# look only at the service's state (kernel argument quelmar.brief) skip them.
if ! grep -qw quelmar.brief /proc/cmdline; then
  echo "QUELMAR: exposure $(systemd-analyze security --no-pager $unit 2>&1 |
    sed -n 's/^.*Overall exposure level for .*: \([0-9.]*\) .*$/\1/p')"
  # Under the probe's sandbox, then outside it.
  echo "QUELMAR: sandbox-check-unit $(systemctl show -p Result --value board-sandbox-check.service)"
  sed 's/^/QUELMAR: sandboxed /' /run/board-sandbox-check.txt 2>/dev/null
  /usr/local/sbin/board-sandbox-check | sed 's/^/QUELMAR: unsandboxed /'
  if [ -f /run/board-sandbox-check-ipd.txt ]; then
    echo "QUELMAR: service-exposure $(systemd-analyze security --no-pager quelmar-visca-ipd.service 2>&1 |
      sed -n 's/^.*Overall exposure level for .*: \([0-9.]*\) .*$/\1/p')"
    echo "QUELMAR: service-sandbox-check-unit $(systemctl show -p Result --value board-sandbox-check-ipd.service)"
    sed 's/^/QUELMAR: service-sandboxed /' /run/board-sandbox-check-ipd.txt
  fi
fi
service=quelmar-visca-ipd.service
if [ -f /usr/lib/systemd/system/$service ]; then
  echo "QUELMAR: service-enabled $(systemctl is-enabled $service)"
  echo "QUELMAR: service-state $(systemctl show -p ActiveState --value $service)" \
    "uid=$(stat -c %u "/proc/$(systemctl show -p MainPID --value $service)" 2>/dev/null)"
fi
# ready OLD: until the service is active, which it is once it has told
# systemd it is ready (it listens and has tried the line), with a main
# process other than OLD; at most 30 s.
ready() {
  tries=0
  until [ "$(systemctl show -p ActiveState --value $service)" = active ] &&
    [ "$(systemctl show -p MainPID --value $service)" != "$1" ]; do
    tries=$((tries + 1))
    [ "$tries" -lt 300 ] || break
    sleep 0.1
  done
}
if grep -qw quelmar.steer /proc/cmdline; then
  ready 0
  echo "QUELMAR: ready"
  while read -r command args </dev/console; do
    case "$command" in
    kill)
      old=$(systemctl show -p MainPID --value $service)
      n=$(systemctl show -p NRestarts --value $service)
      kill -KILL "$old"
      ready "$old"
      echo "QUELMAR: killed $old, back as $(systemctl show -p MainPID --value $service)," \
        "restarts $n to $(systemctl show -p NRestarts --value $service)"
      ;;
    allow)
      sed -i '/^ALLOW=/d' /etc/default/quelmar-visca-ipd
      echo "ALLOW=\"$args\"" >>/etc/default/quelmar-visca-ipd
      old=$(systemctl show -p MainPID --value $service)
      systemctl restart $service
      rc=$?
      ready "$old"
      echo "QUELMAR: allow '$args' rc=$rc now $(grep '^ALLOW=' /etc/default/quelmar-visca-ipd)"
      ;;
    deny)
      systemctl set-property --runtime $service "IPAddressDeny=$args"
      echo "QUELMAR: deny '$args' rc=$? now '$(systemctl show -p IPAddressDeny --value $service)'"
      ;;
    install)
      probe=quelmar-mcu-probe.service
      before="$(systemctl show -p InvocationID --value $probe) $(mono $probe ExecMainStartTimestampMonotonic)"
      for deb in $args; do
        dpkg -i "/var/cache/quelmar/debs/$deb.deb" >>/var/log/board-steps.log 2>&1
        echo "QUELMAR: installed $deb rc=$?"
      done
      after="$(systemctl show -p InvocationID --value $probe) $(mono $probe ExecMainStartTimestampMonotonic)"
      echo "QUELMAR: probe-invocation before=$before after=$after"
      ;;
    done) break ;;
    esac
  done
  journalctl -b -u $service --no-pager -o cat 2>&1 | sed 's/^/QUELMAR: service-log /'
fi
for p in quelmar-mcu-probe quelmar-mcu-probe-static; do
  echo "QUELMAR: package $p $(dpkg-query -W -f='${db:Status-Status} ${Version}' $p 2>/dev/null || echo not-installed)"
done
# What to change for the next boot (kernel argument quelmar.step).
for step in $(sed -n 's/.*quelmar\.step=\([^ ]*\).*/\1/p' /proc/cmdline | tr , ' '); do
  case "$step" in
  enable | disable) systemctl "$step" quelmar-mcu-probe.service ;;
  install:*) dpkg -i "/var/cache/quelmar/debs/${step#install:}.deb" ;;
  purge:*) dpkg --purge "${step#purge:}" ;;
  *) false ;;
  esac >>/var/log/board-steps.log 2>&1
  echo "QUELMAR: step $step rc=$?"
done
sync
echo "QUELMAR: done"
grep -qw quelmar.shell /proc/cmdline && exit 0
# -no-reboot makes QEMU exit; the Zynq-7000 cannot power off. All is
# reported and synced: --force skips stopping every unit one by one (3.6
# CPU-seconds of each boot under emulation), and still kills every process
# and unmounts the file systems, or remounts them read-only.
systemctl reboot --force
EOF
chmod 755 "$root/usr/local/sbin/board-report"
cat >"$root/etc/systemd/system/board-report.service" <<'EOF'
[Unit]
Description=Report the board's boot on the console
After=multi-user.target

[Service]
ExecStart=/usr/local/sbin/board-report

[Install]
WantedBy=multi-user.target
EOF
ln -s /etc/systemd/system/board-report.service \
  "$root/etc/systemd/system/multi-user.target.wants/board-report.service"

case "$out" in
*.img)
  # A power of two in size, as QEMU's SD card model wants; sparse.
  rm -f "$out"
  mke2fs -q -t ext4 -L board -d "$root" "$out" 1G || die "mke2fs"
  ;;
*) pack_cpio "$root" "$out" ;;
esac
