#!/usr/bin/env bash
# Builds the systemd image of the emulated board: a Debian armhf system
# (mmdebstrap's minbase with systemd and udev) with the project's probe
# package installed by dpkg -i, maintainer scripts and all, booted as an
# initramfs. The base system is cached, keyed by the package versions and
# sources that went into it; the probe is installed afresh on each build.
#
# Usage: systemd-image.sh PROBE_DEB OUT.cpio
#
# Once the system is up, a report unit prints the evidence on the console
# as "QUELMAR: ..." lines (guest timestamps in microseconds) and powers
# off. With the kernel argument quelmar.shell it logs root in on the
# console instead.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
[ $# -eq 2 ] || die "usage: systemd-image.sh PROBE_DEB OUT.cpio"
probe_deb=$1 out=$2
[ "$(id -u)" -eq 0 ] || die "needs root (mmdebstrap, chroot)"
install_missing "${BOARD_PACKAGES[@]}" "${ROOTFS_PACKAGES[@]}"
enable_arch armhf
enable_armhf_binfmt

. /etc/os-release
suite=$VERSION_CODENAME
include=systemd-sysv,udev
# The archive as this machine reaches it.
sources=()
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
  /etc/apt/sources.list.d/*.sources; do
  [ -s "$f" ] && sources+=("$f")
done

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

# The package, installed as on a Debian board.
cp "$probe_deb" "$root/tmp/probe.deb"
chroot "$root" dpkg -i /tmp/probe.deb >&2 || die "dpkg -i of the probe"
rm "$root/tmp/probe.deb"

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

cat >"$root/usr/local/sbin/board-report" <<'EOF'
#!/bin/sh
# Waits for the boot to finish, prints the evidence, powers off.
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
  "file=$file basic=$(mono basic.target ActiveEnterTimestampMonotonic)"
if [ -f /tmp/quelmar-mcu-version ]; then
  echo "QUELMAR: version-file \"$(cat /tmp/quelmar-mcu-version)\""
else
  echo "QUELMAR: version-file absent"
fi
echo "QUELMAR: done"
grep -qw quelmar.shell /proc/cmdline && exit 0
systemctl start poweroff.target --job-mode=replace-irreversibly --no-block
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

pack_cpio "$root" "$out"
