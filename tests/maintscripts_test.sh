#!/usr/bin/env bash
# What the probe packages' maintainer scripts do with the boot service, in
# a clean Debian system (a chroot unpacked from scripts/base-tarball.sh,
# with systemd added for systemctl): installing enables the unit and the
# init script; an upgrade from the previous release keeps the choice the
# administrator made, either way; switching between quelmar-mcu-probe and
# quelmar-mcu-probe-static keeps it too, and so does purging the flavour
# left behind; after removal nothing runs at boot, and purge leaves
# nothing. The same for the network camera service's package, whose
# configuration file survives removal and goes at purge.
#
# Usage: maintscripts_test.sh NEW_UPLOAD_DIR OLD_UPLOAD_DIR   (as root)
set -euo pipefail
new=$1 old=$2
. "$(dirname "$0")/lib.sh"
need_root chroot
arch=$(dpkg --print-architecture)
src=$(cd "$(dirname "$0")/.." && pwd)
tarball=$("$src/scripts/base-tarball.sh")

root=$(mktemp -d)
trap 'umount "$root/proc" 2>/dev/null || true; rm -rf "$root"' EXIT
tar -C "$root" -xzf "$tarball"
mount -t proc proc "$root/proc"
cp /etc/resolv.conf "$root/etc/resolv.conf"
in_root() { chroot "$root" "$@"; }
# A mirror caught mid-sync fails a while, then mends itself.
for try in 1 2 3; do
  in_root apt-get -qq update >/dev/null && break
  [ "$try" -lt 3 ] || fail "apt-get update in the chroot"
  sleep 20
done
DEBIAN_FRONTEND=noninteractive in_root apt-get -qq install -y --no-install-recommends \
  systemd >"$root/apt.log" 2>&1 || { cat "$root/apt.log"; fail "cannot install systemd in the chroot"; }

mkdir "$root/debs"
cp "$old/quelmar-mcu-probe_"*"_$arch.deb" "$root/debs/old.deb"
cp "$new/quelmar-mcu-probe_"*"_$arch.deb" "$root/debs/new.deb"
cp "$new/quelmar-mcu-probe-static_"*"_$arch.deb" "$root/debs/static.deb"
cp "$old/quelmar-visca-ipd_"*"_$arch.deb" "$root/debs/ipd-old.deb"
cp "$new/quelmar-visca-ipd_"*"_$arch.deb" "$root/debs/ipd.deb"

unit=quelmar-mcu-probe.service
wants="$root/etc/systemd/system/sysinit.target.wants/$unit"
step() { echo "-- $*"; }
install() {
  in_root dpkg -i "/debs/$1.deb" >"$root/dpkg.log" 2>&1 ||
    { cat "$root/dpkg.log"; fail "dpkg -i $1"; }
}
admin() { in_root systemctl "$1" "$unit" >/dev/null 2>&1 || fail "systemctl $1"; }
# The link is absolute, to the chroot's unit.
enabled() { [ -L "$wants" ] && [ -e "$root$(readlink "$wants")" ]; }
rc_links() { find "$root"/etc/rc?.d -name '*quelmar-mcu-probe' 2>/dev/null; }
installed() { in_root dpkg-query -W -f='${db:Status-Status} ${Version}' "$1" 2>/dev/null || true; }
expect_enabled() { enabled || fail "$1: the unit is not enabled"; }
expect_disabled() { ! enabled || fail "$1: the unit is enabled"; }

step "the previous release installs enabled"
install old
expect_enabled "installing $(installed quelmar-mcu-probe)"
[ -n "$(rc_links)" ] || fail "installing: the init script is not registered"

step "disabled, then upgraded: it stays disabled"
admin disable
expect_disabled "systemctl disable"
install new
[ "$(installed quelmar-mcu-probe)" = "installed $(dpkg-deb -f "$new"/quelmar-mcu-probe_*_"$arch".deb Version)" ] ||
  fail "the upgrade left $(installed quelmar-mcu-probe)"
expect_disabled "the upgrade"

step "enabled, then upgraded again: it stays enabled"
admin enable
install new
expect_enabled "the upgrade"

step "switched to the static flavour, and the other purged: still enabled"
install static
[ "$(installed quelmar-mcu-probe-static | cut -d' ' -f1)" = installed ] ||
  fail "the static probe is $(installed quelmar-mcu-probe-static)"
[ "$(installed quelmar-mcu-probe | cut -d' ' -f1)" = config-files ] ||
  fail "the dynamic probe is $(installed quelmar-mcu-probe) beside the static one"
expect_enabled "the switch"
in_root dpkg --purge quelmar-mcu-probe >/dev/null 2>&1 || fail "dpkg --purge quelmar-mcu-probe"
expect_enabled "purging the flavour left behind"
[ -n "$(rc_links)" ] || fail "purging the flavour left behind removed the init script's links"

step "disabled, and switched back: still disabled"
admin disable
install new
expect_disabled "the switch back"
in_root dpkg --purge quelmar-mcu-probe-static >/dev/null 2>&1 ||
  fail "dpkg --purge quelmar-mcu-probe-static"
expect_disabled "purging the static flavour"
admin enable

step "removed: disabled; purged: nothing left"
in_root dpkg -r quelmar-mcu-probe >/dev/null 2>&1 || fail "dpkg -r"
# Nothing is left to run at boot: debhelper's scripts no longer mask the
# unit on removal; its file is gone, and its enablement goes at purge.
[ ! -e "$root/lib/systemd/system/$unit" ] && [ ! -e "$root/usr/sbin/quelmar-mcu-probe" ] ||
  fail "the unit or the probe is still there after removal"
[ -f "$root/etc/init.d/quelmar-mcu-probe" ] ||
  fail "removal must keep the init script, a conffile"
[ ! -x "$root/etc/init.d/quelmar-mcu-probe" ] ||
  fail "the init script is still executable after removal"
in_root dpkg --purge quelmar-mcu-probe >/dev/null 2>&1 || fail "dpkg --purge"
[ ! -e "$wants" ] && [ ! -L "$wants" ] || fail "enablement left after purge"
[ -z "$(rc_links)" ] || fail "rc links left after purge: $(rc_links)"
[ ! -e "$root/etc/init.d/quelmar-mcu-probe" ] || fail "init script left after purge"
[ -z "$(ls "$root"/var/lib/systemd/deb-systemd-helper-enabled/ 2>/dev/null | grep quelmar || true)" ] ||
  fail "deb-systemd-helper state left after purge"

step "the service: installed enabled; disabled and upgraded, it stays so"
unit=quelmar-visca-ipd.service
wants="$root/etc/systemd/system/multi-user.target.wants/$unit"
ipd_rc_links() { find "$root"/etc/rc?.d -name '*quelmar-visca-ipd' 2>/dev/null; }
install ipd-old
expect_enabled "installing the service"
[ -n "$(ipd_rc_links)" ] || fail "installing: the service's init script is not registered"
admin disable
install ipd
expect_disabled "the service's upgrade"
admin enable
install ipd
expect_enabled "the service's upgrade"

step "the service removed: its configuration stays; purged: nothing left"
config=/etc/default/quelmar-visca-ipd
echo 'SPEED=9600' >>"$root$config"
in_root dpkg -r quelmar-visca-ipd >/dev/null 2>&1 || fail "dpkg -r quelmar-visca-ipd"
[ ! -e "$root/usr/sbin/quelmar-visca-ipd" ] && [ ! -e "$root/lib/systemd/system/$unit" ] ||
  fail "the service or its unit is still there after removal"
grep -qx 'SPEED=9600' "$root$config" || fail "removal lost the administrator's configuration"
in_root dpkg --purge quelmar-visca-ipd >/dev/null 2>&1 || fail "dpkg --purge quelmar-visca-ipd"
[ ! -e "$root$config" ] || fail "configuration left after purge"
[ ! -e "$wants" ] && [ ! -L "$wants" ] || fail "the service's enablement left after purge"
[ -z "$(ipd_rc_links)" ] || fail "the service's rc links left after purge: $(ipd_rc_links)"
echo "maintainer scripts: install, upgrade, flavour switch, remove and purge keep the administrator's choice"
