#!/usr/bin/env bash
# Builds the Debian packages of a configured build and checks what they
# hold, that the systemd unit verifies, and that another CMake project can
# find_package and link the installed controller.
#
# Usage: package_test.sh BUILD_DIR ARCH STATIC(ON|OFF) [TOOLCHAIN_FILE
#        [EMULATOR...]]
set -euo pipefail
build=$1 arch=$2 static=$3 toolchain=${4:-}
shift $(($# < 4 ? $# : 4))
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
has "$probe" etc/init.d/quelmar-mcu-probe
lacks "$probe" visca-mcu-sim
has "$sim" usr/bin/visca-mcu-sim
has "$sim" usr/bin/visca-send
has "$dev" usr/include/quelmar/visca.h
has "$dev" usr/include/quelmar/timer.h
lacks "$dev" visca_port.h
dev_files=$(files "$dev")
grep -q 'libquelmar-visca\.a$' <<<"$dev_files" || fail "no static library"
grep -q 'quelmar-visca-config\.cmake$' <<<"$dev_files" || fail "no CMake config"

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
  out=$(systemd-analyze verify --root="$work/probe" \
    /usr/lib/systemd/system/quelmar-mcu-probe.service 2>&1) ||
    fail "unit does not verify: $out"
  [ -z "$out" ] || fail "unit verifies with warnings: $out"
else
  echo "systemd-analyze not found: unit file not verified"
fi

# Another project finds and links the installed controller.
cmake --install "$build" --prefix "$work/stage" --component dev >/dev/null
config=$(dirname "$(find "$work/stage" -name quelmar-visca-config.cmake)")
args=(-G Ninja -Dquelmar-visca_DIR="$config")
[ -n "$toolchain" ] && args+=(-DCMAKE_TOOLCHAIN_FILE="$toolchain")
cmake -S "$here/consumer" -B "$work/consumer" "${args[@]}" >"$work/consumer.log" 2>&1 ||
  { cat "$work/consumer.log"; fail "consumer does not configure"; }
cmake --build "$work/consumer" >>"$work/consumer.log" 2>&1 ||
  { cat "$work/consumer.log"; fail "consumer does not build"; }
"${emulator[@]}" "$work/consumer/consumer" || fail "consumer does not run"

echo "packages for $arch: probe, sim and dev are complete"
