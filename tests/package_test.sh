#!/usr/bin/env bash
# Builds the Debian packages of this source for one architecture, as
# Debian builds them (scripts/packages.sh), and checks the upload: lintian
# finds no error or warning in the .changes (source and every binary
# package); each package holds what it must; the static flavour replaces
# the dynamic one and needs no shared library; the development package
# installs beside another architecture's copy; the systemd unit verifies;
# another project links the packaged controller through CMake and through
# pkg-config; the network camera service's package is whole, enabled but
# not started, and confined; and the -dbgsym package turns an address in
# the stripped probe back into a source line, which gdb shows from the
# source package unpacked as Debian unpacks it.
#
# Usage: package_test.sh SOURCE_DIR ARCH CXX [TOOLCHAIN_FILE [EMULATOR...]]
# With QUELMAR_UPLOADS set, the uploads are taken from there (a folder per
# architecture, as scripts/packages.sh makes them) instead of built here;
# with QUELMAR_FRESH_UPLOADS, from there only if they were built from this
# very source, file for file.
set -euo pipefail
src=$1 arch=$2 cxx=$3 toolchain=${4:-}
shift $(($# < 4 ? $# : 4))
emulator=("$@")
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
# Its checkers (lintian, systemd-analyze, gdb ...), so that none is missing.
. "$src/scripts/deps.sh"
install_missing "${PACKAGE_CHECK_PACKAGES[@]}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# No 'producer | grep -q' anywhere: grep -q exits at its first match, the
# producer dies of SIGPIPE and pipefail fails the whole check at random.
# Output is taken whole first, then searched.

# The host's run also builds the board's packages, to install its
# development package beside them. The tests ran in the build that runs
# this one.
twin_arch=
[ "$arch" != "$(dpkg --print-architecture)" ] || twin_arch=armhf
uploads=${QUELMAR_UPLOADS:-}
fresh=${QUELMAR_FRESH_UPLOADS:-}
if [ -z "$uploads" ] && [ -n "$fresh" ] && [ -s "$fresh/$arch/source.manifest" ] &&
  cmp -s "$fresh/$arch/source.manifest" <("$src/scripts/packages.sh" --manifest); then
  uploads=$fresh
  echo "packages: the uploads of $fresh, built from this source"
fi
if [ -z "$uploads" ]; then
  uploads="$work/uploads"
  QUELMAR_PACKAGES_DIR="$uploads" DEB_BUILD_PROFILES=nocheck \
    "$src/scripts/packages.sh" "$arch" $twin_arch >"$work/packages.log" 2>&1 ||
    { cat "$work/packages.log"; fail "scripts/packages.sh $arch $twin_arch"; }
fi
up="$uploads/$arch"

deb() { ls "$up/$1"_*_"$arch".deb 2>/dev/null || fail "no $1 package for $arch"; }
field() { dpkg-deb -f "$1" "$2"; }
files() { dpkg-deb -c "$1" | awk '{print $6}'; }
has() { grep -qx "./$2" <<<"$(files "$1")" || fail "$(basename "$1") lacks $2"; }
lacks() { ! grep -q "$2" <<<"$(files "$1")" || fail "$(basename "$1") has $2"; }

probe=$(deb quelmar-mcu-probe)
static=$(deb quelmar-mcu-probe-static)
sim=$(deb quelmar-mcu-sim)
ipd=$(deb quelmar-visca-ipd)
deb quelmar-visca-ipd-dbgsym >/dev/null
dev=$(deb libquelmar-visca-dev)
probe_dbg=$(deb quelmar-mcu-probe-dbgsym)
deb quelmar-mcu-probe-static-dbgsym >/dev/null
deb quelmar-mcu-sim-dbgsym >/dev/null
changes=$(ls "$up"/*.changes)
ls "$up"/*.dsc "$up"/*.buildinfo >/dev/null || fail "no .dsc or .buildinfo"

# Debian's checker on the whole upload: no error and no warning. The
# pedantic and informational tags are shown, for the record: one run, as
# the tags shown do not change what fails it.
lint=$(lintian --pedantic --display-info --tag-display-limit 0 \
  --fail-on error,warning "$changes" 2>&1) || { echo "$lint"; fail "lintian"; }
echo "lintian on $(basename "$changes"): no errors or warnings"
grep -v "root privileges is not recommended" <<<"$lint" | sed 's/^/  /' || true

for p in "$probe" "$static"; do
  has "$p" usr/sbin/quelmar-mcu-probe
  has "$p" lib/systemd/system/quelmar-mcu-probe.service
  has "$p" usr/lib/systemd/system-generators/quelmar-mcu-probe-generator
  has "$p" etc/init.d/quelmar-mcu-probe
  has "$p" usr/share/man/man8/quelmar-mcu-probe.8.gz
  lacks "$p" visca-mcu-sim
  dpkg-deb -e "$p" "$work/control-$(field "$p" Package)"
done
has "$sim" usr/bin/visca-mcu-sim
has "$sim" usr/bin/visca-send
has "$sim" usr/share/man/man1/visca-mcu-sim.1.gz
has "$sim" usr/share/man/man1/visca-send.1.gz
has "$dev" usr/include/quelmar/visca.h
has "$dev" usr/include/quelmar/timer.h
lacks "$dev" visca_port.h
has "$ipd" usr/sbin/quelmar-visca-ipd
has "$ipd" lib/systemd/system/quelmar-visca-ipd.service
has "$ipd" etc/init.d/quelmar-visca-ipd
has "$ipd" etc/default/quelmar-visca-ipd
has "$ipd" usr/share/man/man8/quelmar-visca-ipd.8.gz
lacks "$ipd" quelmar-mcu-probe
lacks "$probe" quelmar-visca-ipd
for p in "$probe" "$static" "$sim" "$dev" "$ipd"; do
  name=$(field "$p" Package)
  has "$p" "usr/share/doc/$name/copyright"
  has "$p" "usr/share/doc/$name/changelog.gz"
  [ "$(field "$p" Architecture)" = "$arch" ] || fail "$name: wrong Architecture"
done
dev_files=$(files "$dev")
grep -q 'libquelmar-visca\.a$' <<<"$dev_files" || fail "no static library"
grep -q 'quelmar-visca-config\.cmake$' <<<"$dev_files" || fail "no CMake config"
grep -q 'pkgconfig/quelmar-visca\.pc$' <<<"$dev_files" || fail "no pkg-config file"
[ "$(field "$dev" Multi-Arch)" = same ] || fail "the dev package is not Multi-Arch: same"

# The two flavours: the dynamic one takes its libraries from
# dpkg-shlibdeps, the static one none, and stands in for the other.
depends=$(field "$probe" Depends)
for lib in libc6 libstdc++6; do
  grep -q "$lib" <<<"$depends" || fail "Depends lacks $lib: $depends"
done
[ -z "$(field "$static" Depends)" ] ||
  fail "the static probe depends on $(field "$static" Depends)"
for f in Conflicts Replaces Provides; do
  grep -q '^quelmar-mcu-probe\b' <<<"$(field "$static" "$f")" ||
    fail "the static probe lacks $f: quelmar-mcu-probe"
done
[ -n "$(field "$static" Built-Using)" ] || fail "the static probe names no Built-Using"
dpkg-deb -x "$probe" "$work/probe"
dpkg-deb -x "$static" "$work/static"
dpkg-deb -x "$ipd" "$work/ipd"
dpkg-deb -e "$ipd" "$work/control-quelmar-visca-ipd"
case "$arch" in # ELF e_machine
  armhf) machine=0028 ;;
  amd64) machine=003e ;;
  *) machine= ;;
esac
for p in probe static; do
  bin="$work/$p/usr/sbin/quelmar-mcu-probe"
  got=$(od -An -tx2 -j18 -N2 "$bin" | tr -d ' ')
  [ -z "$machine" ] || [ "$got" = "$machine" ] || fail "$p probe is for e_machine $got"
done
interp=$(readelf -l "$work/static/usr/sbin/quelmar-mcu-probe")
! grep -q 'INTERP' <<<"$interp" || fail "the static probe needs a dynamic loader"

# The maintainer scripts come from debhelper: the unit enabled, not
# started, on installation; the init script registered.
for c in "$work"/control-quelmar-mcu-probe "$work"/control-quelmar-mcu-probe-static; do
  grep -q 'Automatically added by dh_installsystemd' "$c/postinst" ||
    fail "$(basename "$c"): no postinst from dh_installsystemd"
  grep -q 'update-rc.d quelmar-mcu-probe defaults' "$c/postinst" ||
    fail "$(basename "$c"): init script not registered"
  ! grep -q 'deb-systemd-invoke.*start' "$c/postinst" ||
    fail "$(basename "$c"): the postinst starts the probe"
  grep -qx /etc/init.d/quelmar-mcu-probe "$c/conffiles" ||
    fail "$(basename "$c"): init script is not a conffile"
done
sh -n "$work/probe/etc/init.d/quelmar-mcu-probe" || fail "init script syntax"
# The service: enabled and its init script registered, never started by
# installing (an upgrade restarts it only if it runs), stopped on removal;
# its configuration is the administrator's.
c="$work/control-quelmar-visca-ipd"
grep -q 'deb-systemd-helper enable .quelmar-visca-ipd.service' "$c/postinst" ||
  fail "quelmar-visca-ipd: the postinst does not enable the unit"
grep -q 'update-rc.d quelmar-visca-ipd defaults' "$c/postinst" ||
  fail "quelmar-visca-ipd: init script not registered"
starts=$(grep -E 'deb-systemd-invoke|invoke-rc.d' "$c/postinst" || true)
[ "$starts" = "$(grep 'deb-systemd-invoke try-restart' <<<"$starts")" ] &&
  [ -n "$starts" ] ||
  fail "quelmar-visca-ipd: the postinst should only try-restart: $starts"
grep -q 'deb-systemd-invoke stop quelmar-visca-ipd.service' "$c/prerm" ||
  fail "quelmar-visca-ipd: the prerm does not stop the service"
for f in /etc/default/quelmar-visca-ipd /etc/init.d/quelmar-visca-ipd; do
  grep -qx "$f" "$c/conffiles" || fail "quelmar-visca-ipd: $f is not a conffile"
done
sh -n "$work/ipd/etc/init.d/quelmar-visca-ipd" || fail "the service's init script syntax"

# Multi-Arch: same, in a throwaway dpkg database: the host's copy of the
# development package installs beside the board's.
if [ -n "$twin_arch" ]; then
  twin=$(ls "$uploads/$twin_arch"/libquelmar-visca-dev_*_"$twin_arch".deb) ||
    fail "no $twin_arch dev package"
  root="$work/root"
  mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
  touch "$root/var/lib/dpkg/status"
  dpkg --root="$root" --force-not-root --log=/dev/null --add-architecture "$twin_arch"
  out=$(dpkg --root="$root" --force-not-root --force-depends \
    --force-script-chrootless --log=/dev/null -i "$dev" "$twin" 2>&1) ||
    fail "the dev packages for $arch and $twin_arch do not install together: $out"
  echo "libquelmar-visca-dev: $arch and $twin_arch installed side by side"
fi

# check_unit ROOT UNIT LIMIT: the unit verifies without a word, and its
# sandbox, as systemd rates it, is no looser than LIMIT (systemd's own
# best service on Debian 12 rates 2.3).
check_unit() {
  local out exposure
  # A unit with the default dependencies needs the system's targets beside it.
  mkdir -p "$1/usr/lib/systemd/system"
  cp -n /lib/systemd/system/*.target /lib/systemd/system/*.slice \
    "$1/usr/lib/systemd/system/" 2>/dev/null || true
  out=$(systemd-analyze verify --man=no --root="$1" "/lib/systemd/system/$2" 2>&1) ||
    fail "$2 does not verify: $out"
  [ -z "$out" ] || fail "$2 verifies with warnings: $out"
  out=$(systemd-analyze security --offline=true --no-pager \
    "$1/lib/systemd/system/$2" 2>&1) || fail "systemd-analyze security: $out"
  exposure=$(sed -n 's/^.*Overall exposure level for .*: \([0-9.]*\) .*$/\1/p' <<<"$out")
  [ -n "$exposure" ] || fail "no exposure level in: $out"
  awk -v e="$exposure" -v l="$3" 'BEGIN { exit !(e <= l) }' ||
    fail "$2: exposure $exposure, above $3: $out"
  echo "$2 exposure: $exposure"
}
check_unit "$work/probe" quelmar-mcu-probe.service 1.0
# The service faces the network: it needs sockets, not a file.
check_unit "$work/ipd" quelmar-visca-ipd.service 2.0

# Another project finds and links the packaged controller.
dpkg-deb -x "$dev" "$work/stage"
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

# A crash report from a board gives an address in the stripped probe; the
# -dbgsym package, found by the build ID, turns it into a source line.
bin="$work/probe/usr/sbin/quelmar-mcu-probe"
[ -z "$(readelf -S "$bin" | grep -F .debug_info || true)" ] ||
  fail "the packaged probe is not stripped"
dpkg-deb -x "$probe_dbg" "$work/dbg"
id=$(readelf -n "$bin" | sed -n 's/^ *Build ID: *//p')
debug="$work/dbg/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug"
[ -f "$debug" ] || fail "no debug file for build ID $id"
addr=$(nm -C "$debug" | awk '$3 == "main" { print "0x" $1; exit }')
[ -n "$addr" ] || fail "no main in the debug symbols"
line=$(eu-addr2line -e "$bin" --debuginfo-path="$work/dbg/usr/lib/debug" -f "$addr")
grep -q 'probe/main\.cpp:[0-9]' <<<"$line" || fail "$addr resolves to: $line"
echo "symbolised: $addr in the stripped probe is $(tr '\n' ' ' <<<"$line")"

# gdb, given the -dbgsym package, shows that line's source from the source
# package unpacked where gdb runs, as dpkg-source -x (or apt source)
# unpacks it, with no path to substitute.
dsc=$(ls "$up"/*.dsc)
(cd "$work" && dpkg-source -x "$dsc" >/dev/null) || fail "dpkg-source -x"
gdb_out=$(cd "$work" && gdb-multiarch -nx -batch \
  -ex "set debug-file-directory $work/dbg/usr/lib/debug" \
  -ex "file $bin" -ex 'info source' -ex 'list main' -ex 'info source' 2>&1) ||
  fail "gdb: $gdb_out"
grep -qE '^[0-9]+[[:space:]].*\bmain\(' <<<"$gdb_out" ||
  fail "gdb does not show main's source: $gdb_out"
echo "gdb lists main of the stripped probe from $(basename "$dsc") unpacked:"
sed 's/^/  /' <<<"$gdb_out"

echo "packages for $arch: probe, probe-static, sim, dev, visca-ipd and dbgsym are complete"
