#!/usr/bin/env bash
# Installs, upgrades, removes and purges the probe's package on this
# machine and checks that the boot service is enabled on install, keeps
# the administrator's choice across an upgrade, is disabled on removal and
# leaves nothing behind on purge. Purges the package whatever happens.
#
# Usage: package_install_test.sh PROBE_DEB
set -euo pipefail
deb=$1
unit=quelmar-mcu-probe.service
wants=/etc/systemd/system/sysinit.target.wants/$unit
fail() { echo "FAIL: $*" >&2; exit 1; }
trap 'dpkg --purge quelmar-mcu-probe >/dev/null 2>&1 || true' EXIT

install() { dpkg -i "$deb" >/dev/null || fail "dpkg -i"; }
rc_links() { find /etc/rc?.d -name '*quelmar-mcu-probe' 2>/dev/null; }
enabled() { [ -L "$wants" ] && [ -e "$wants" ]; }

install
enabled || fail "unit not enabled on install"
[ -n "$(rc_links)" ] || fail "init script not registered on install"

# The administrator's choice survives an upgrade, either way.
systemctl disable "$unit" >/dev/null 2>&1
enabled && fail "systemctl disable had no effect"
install
enabled && fail "upgrade re-enabled a disabled unit"
systemctl enable "$unit" >/dev/null 2>&1
install
enabled || fail "upgrade disabled an enabled unit"

dpkg -r quelmar-mcu-probe >/dev/null || fail "dpkg -r"
[ "$(systemctl is-enabled "$unit" 2>/dev/null || true)" != enabled ] ||
  fail "unit still enabled after removal"
[ -x /etc/init.d/quelmar-mcu-probe ] ||
  fail "removal must keep the init script, a conffile"

dpkg -P quelmar-mcu-probe >/dev/null || fail "dpkg -P"
[ ! -e "$wants" ] && [ ! -L "$wants" ] || fail "enablement left after purge"
[ ! -L "/etc/systemd/system/$unit" ] || fail "mask left after purge"
[ -z "$(rc_links)" ] || fail "rc links left after purge: $(rc_links)"
[ ! -e /etc/init.d/quelmar-mcu-probe ] || fail "init script left after purge"
echo "maintainer scripts: install, upgrade, remove and purge behave"
