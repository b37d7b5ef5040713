#!/usr/bin/env bash
# Builds the Debian packages of a configured build and checks what they
# hold, that lintian finds nothing to warn about, that the systemd unit
# verifies, that another project can link the installed controller through
# CMake and through pkg-config, and (as root, for this machine's own
# architecture) what the maintainer scripts do on install, upgrade, remove
# and purge.
#
# Usage: package_test.sh BUILD_DIR ARCH STATIC(ON|OFF) CXX [TOOLCHAIN_FILE
#        [EMULATOR...]]
set -euo pipefail
build=$1 arch=$2 static=$3 cxx=$4 toolchain=${5:-}
shift $(($# < 5 ? $# : 5))
emulator=("$@")
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }
# No 'producer | grep -q' anywhere: grep -q exits at its first match, the
# producer dies of SIGPIPE and pipefail fails the whole check at random.
# Output is taken whole first, then searched.

(cd "$build" && cpack -B "$work/debs" >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log"; fail "cpack"; }

deb() { ls "$work"/debs/"$1"_*_"$arch".deb 2>/dev/null || fail "no $1 package for $arch"; }
field() { dpkg-deb -f "$1" "$2"; }
files() { dpkg-deb -c "$1" | awk '{print $6}'; }
has() { grep -qx "./$2" <<<"$(files "$1")" || fail "$(basename "$1") lacks $2"; }
lacks() { ! grep -q "$2" <<<"$(files "$1")" || fail "$(basename "$1") has $2"; }

probe=$(deb quelmar-mcu-probe)
sim=$(deb quelmar-mcu-sim)
dev=$(deb libquelmar-visca-dev)

for p in "$probe" "$sim" "$dev"; do
  [ "$(field "$p" Architecture)" = "$arch" ] || fail "$p: wrong Architecture"
  [ -n "$(field "$p" Maintainer)" ] || fail "$p: no Maintainer"
  [ -n "$(field "$p" Description)" ] || fail "$p: no Description"
done

has "$probe" usr/sbin/quelmar-mcu-probe
has "$probe" usr/lib/systemd/system/quelmar-mcu-probe.service
has "$probe" usr/lib/systemd/system-generators/quelmar-mcu-probe-generator
has "$probe" etc/init.d/quelmar-mcu-probe
lacks "$probe" visca-mcu-sim
has "$sim" usr/bin/visca-mcu-sim
has "$sim" usr/bin/visca-send
for pair in "$probe:quelmar-mcu-probe" "$sim:quelmar-mcu-sim" \
  "$dev:libquelmar-visca-dev"; do
  has "${pair%%:*}" "usr/share/doc/${pair#*:}/copyright"
  has "${pair%%:*}" "usr/share/doc/${pair#*:}/changelog.gz"
done
has "$probe" usr/share/man/man8/quelmar-mcu-probe.8.gz
has "$sim" usr/share/man/man1/visca-mcu-sim.1.gz
has "$sim" usr/share/man/man1/visca-send.1.gz
has "$dev" usr/include/quelmar/visca.h
has "$dev" usr/include/quelmar/timer.h
lacks "$dev" visca_port.h
dev_files=$(files "$dev")
grep -q 'libquelmar-visca\.a$' <<<"$dev_files" || fail "no static library"
grep -q 'quelmar-visca-config\.cmake$' <<<"$dev_files" || fail "no CMake config"
grep -q 'pkgconfig/quelmar-visca\.pc$' <<<"$dev_files" || fail "no pkg-config file"

# Debian's checker: no error and no warning. An override must give its
# reason on the comment line just above it.
for p in "$probe" "$sim" "$dev"; do
  dpkg-deb -x "$p" "$work/x"
done
for o in "$work"/x/usr/share/lintian/overrides/*; do
  [ -e "$o" ] || continue
  awk '/^#/ { reason = 1; next } /^[[:space:]]*$/ { next }
       !reason { print FILENAME ": override without a reason: " $0; bad = 1 }
       { reason = 0 } END { exit bad }' "$o" || fail "lintian override"
done
command -v lintian >/dev/null || fail "lintian not found"
lint=$(lintian --tag-display-limit 0 --fail-on error,warning \
  "$probe" "$sim" "$dev" 2>&1) || { echo "$lint"; fail "lintian"; }
echo "lintian on $arch: no errors or warnings"

depends=$(field "$probe" Depends)
if [ "$static" = ON ]; then
  [ -z "$depends" ] || fail "static probe must depend on nothing: $depends"
else
  for lib in libc6 libstdc++6; do
    grep -q "$lib" <<<"$depends" || fail "Depends lacks $lib: $depends"
  done
fi

dpkg-deb -R "$probe" "$work/probe"
for script in postinst prerm postrm; do
  [ -x "$work/probe/DEBIAN/$script" ] || fail "no $script"
done
grep -qx /etc/init.d/quelmar-mcu-probe "$work/probe/DEBIAN/conffiles" ||
  fail "init script is not a conffile"

# The binary is for the package's architecture (ELF e_machine).
machine=$(od -An -tx2 -j18 -N2 "$work/probe/usr/sbin/quelmar-mcu-probe" | tr -d ' ')
case "$arch" in
  armhf) [ "$machine" = 0028 ] || fail "probe is not ARM ($machine)" ;;
  amd64) [ "$machine" = 003e ] || fail "probe is not x86-64 ($machine)" ;;
esac

sh -n "$work/probe/etc/init.d/quelmar-mcu-probe" || fail "init script syntax"
if command -v systemd-analyze >/dev/null; then
  out=$(systemd-analyze verify --man=no --root="$work/probe" \
    /usr/lib/systemd/system/quelmar-mcu-probe.service 2>&1) ||
    fail "unit does not verify: $out"
  [ -z "$out" ] || fail "unit verifies with warnings: $out"
  # The unit's sandbox, as systemd rates it: no looser than 1.0 (systemd's
  # own best service on Debian 12 rates 2.3).
  out=$(systemd-analyze security --offline=true --no-pager \
    "$work/probe/usr/lib/systemd/system/quelmar-mcu-probe.service" 2>&1) ||
    fail "systemd-analyze security: $out"
  exposure=$(sed -n 's/^.*Overall exposure level for .*: \([0-9.]*\) .*$/\1/p' <<<"$out")
  [ -n "$exposure" ] || fail "no exposure level in: $out"
  awk -v e="$exposure" 'BEGIN { exit !(e <= 1.0) }' ||
    fail "the unit's exposure is $exposure, above 1.0: $out"
  echo "unit exposure: $exposure"
else
  echo "systemd-analyze not found: unit file not verified"
fi

# Another project finds and links the installed controller.
DESTDIR="$work/stage" cmake --install "$build" --component dev >/dev/null
config=$(dirname "$(find "$work/stage" -name quelmar-visca-config.cmake)")
args=(-G Ninja -Dquelmar-visca_DIR="$config")
[ -n "$toolchain" ] && args+=(-DCMAKE_TOOLCHAIN_FILE="$toolchain")
cmake -S "$here/consumer" -B "$work/consumer" "${args[@]}" >"$work/consumer.log" 2>&1 ||
  { cat "$work/consumer.log"; fail "consumer does not configure"; }
cmake --build "$work/consumer" >>"$work/consumer.log" 2>&1 ||
  { cat "$work/consumer.log"; fail "consumer does not build"; }
"${emulator[@]}" "$work/consumer/consumer" || fail "consumer does not run"

# The same program built with nothing but pkg-config's answer, the way a
# Makefile would; the sysroot maps the file's /usr paths onto the stage.
pc_dir=$(dirname "$(find "$work/stage" -name quelmar-visca.pc)")
flags=$(PKG_CONFIG_LIBDIR="$pc_dir" PKG_CONFIG_SYSROOT_DIR="$work/stage" \
  pkg-config --cflags --libs quelmar-visca) || fail "pkg-config finds nothing"
"$cxx" -std=c++17 "$here/consumer/main.cpp" $flags -o "$work/consumer-pc" ||
  fail "pkg-config consumer does not build"
"${emulator[@]}" "$work/consumer-pc" || fail "pkg-config consumer does not run"

# What the maintainer scripts do, on this machine itself: only as root, for
# its own architecture, and never over an installed copy.
if [ "$(id -u)" -eq 0 ] && [ "$arch" = "$(dpkg --print-architecture)" ] &&
  ! dpkg-query -W quelmar-mcu-probe >/dev/null 2>&1; then
  bash "$here/package_install_test.sh" "$probe"
fi

echo "packages for $arch: probe, sim and dev are complete"
