#!/usr/bin/env bash
# The emulated board's tests, run by CTest (label "board") in the armhf
# builds.
#
# Usage:
#   board_test.sh debs BUILD_DIR                 the build's packages
#   board_test.sh image busybox|systemd BUILD_DIR
#   board_test.sh run busybox|systemd SCENARIO BUILD_DIR HOST_SIM
#
# Scenarios: 115200, 9600, silent, noise, stale, no-uart. Each boots the
# board once and checks what the guest and the simulated MCU report; the
# only time bound is the boot hold without the UART, in guest time.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# As root the board must be built and booted; elsewhere it cannot be.
if [ "$(id -u)" -ne 0 ]; then
  [ -z "${QUELMAR_REQUIRE_SANDBOX:-}" ] || fail "the board tests need root"
  echo "board tests need root: skipped"
  exit 77
fi

kind=$1
shift
case "$kind" in
debs)
  build=$1
  rm -rf "$build/board/debs"
  mkdir -p "$build/board"
  (cd "$build" && cpack -B "$build/board/debs" >"$build/board/cpack.log" 2>&1) ||
    { cat "$build/board/cpack.log"; fail "cpack"; }
  ls "$build"/board/debs/quelmar-mcu-probe_*.deb
  exit 0
  ;;
image)
  image=$1 build=$2
  deb=$(ls "$build"/board/debs/quelmar-mcu-probe_*.deb)
  start=$(date +%s)
  "$here/$image-image.sh" "$deb" "$build/board/$image.cpio"
  echo "board: $image image built in $(($(date +%s) - start)) s" \
    "($(du -m "$build/board/$image.cpio" | cut -f1) MiB)"
  exit 0
  ;;
run) ;;
*) fail "unknown step $kind" ;;
esac

image=$1 scenario=$2 build=$3 sim=$4
cpio="$build/board/$image.cpio"
[ -f "$cpio" ] || fail "no $image image: its fixture did not run"
[ -x "$sim" ] || fail "no host simulator at $sim: build the default preset first"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

args=(--sim "$sim" --mcu-log "$out/mcu.log")
[ "$image" = systemd ] && args+=(--memory 2G)
mcu=()
want_file=absent
case "$scenario" in
115200) mcu=(--speed 115200 --version 22) want_file='"22"' ;;
9600) mcu=(--speed 9600 --version 254) want_file='"-2"' ;;
silent) mcu=(--script "$(printf 'silent,%.0s' {1..11})silent") ;;
noise) mcu=(--speed 9600 --noise --version 7) want_file='"7"' ;;
stale)
  # A longer number from an earlier boot must be replaced, not overwritten.
  args+=(--append "quelmar.stale=-123456")
  mcu=(--speed 115200 --version 22) want_file='"22"'
  ;;
no-uart) args+=(--no-uart) ;;
*) fail "unknown scenario $scenario" ;;
esac

start=$(date +%s)
status=0
"$here/boot.sh" "${args[@]}" "$cpio" -- "${mcu[@]}" >"$out/console.log" 2>&1 ||
  status=$?
wall=$(($(date +%s) - start))
show() {
  echo "--- console (QUELMAR and ttyPS lines)"
  grep -E 'QUELMAR|ttyPS|quelmar|Kernel panic' "$out/console.log" || true
  echo "--- MCU"
  cat "$out/mcu.log" 2>/dev/null || true
}
trap 'show; rm -rf "$out"' EXIT
[ "$status" -eq 0 ] || fail "the board did not power off by itself (status $status)"
grep -q '^QUELMAR: done' "$out/console.log" || fail "the guest never reported"

said() { sed -n "s/^QUELMAR: $1 //p" "$out/console.log" | tr -d '\r' | tail -n1; }
# Inquiries the MCU received at a speed.
inquiries() {
  grep -cE "^ *[0-9.]+ s $1 .*-> MCU 81 09 7E 7E 16 FF$" "$out/mcu.log" || true
}

file=$(said version-file)
[ "$file" = "$want_file" ] || fail "version file $file, expected $want_file"
if [ "$scenario" = no-uart ]; then
  [ "$(said ttyPS1)" = absent ] || fail "ttyPS1 exists without UART1"
else
  [ "$(said ttyPS1)" = present ] || fail "no ttyPS1"
fi

case "$scenario" in
115200 | stale) [ "$(inquiries 115200)" -eq 1 ] || fail "one inquiry expected at 115200" ;;
9600 | noise)
  [ "$(inquiries 115200)" -eq 6 ] || fail "$(inquiries 115200) inquiries at 115200, expected 6"
  [ "$(inquiries 9600)" -eq 1 ] || fail "$(inquiries 9600) inquiries at 9600, expected 1"
  ;;
silent)
  [ "$(inquiries 115200)" -eq 6 ] && [ "$(inquiries 9600)" -eq 6 ] ||
    fail "inquiries: $(inquiries 115200) at 115200, $(inquiries 9600) at 9600; expected 6 and 6"
  ;;
esac
if [ "$scenario" = noise ]; then
  grep -qE '^ *[0-9.]+ s 115200 .*<- MCU' "$out/mcu.log" || fail "no noise was sent"
fi

if [ "$image" = busybox ]; then
  # Only the version file in /tmp: no temporary left behind.
  tmp=$(said tmp)
  if [ "$want_file" = absent ]; then
    [ "$tmp" = "[]" ] || fail "/tmp holds $tmp"
    [ "$(said status)" = "rc=3" ] || fail "init script status $(said status), expected rc=3"
  else
    [ "$tmp" = "[quelmar-mcu-version ]" ] || fail "/tmp holds $tmp"
    [ "$(said status)" = "rc=0" ] || fail "init script status $(said status), expected rc=0"
  fi
  run=$(said 'rcS S15quelmar-mcu-probe start')
  [[ "$run" == rc=0* ]] || fail "init script: $run"
  from=$(sed 's/.*from=\([0-9.]*\).*/\1/' <<<"$run")
  to=$(sed 's/.*to=\([0-9.]*\).*/\1/' <<<"$run")
  echo "board: busybox $scenario: init script ran from $from s to $to s of guest" \
    "uptime; wall time $wall s"
  exit 0
fi

# systemd: enabled by the package, run after the device and before
# basic.target, the file in place before basic.target. Times are the
# guest's, in microseconds since boot.
[ "$(said unit-enabled)" = enabled ] || fail "unit $(said unit-enabled), expected enabled"
[[ "$(said unit-state)" == "active result=success" ]] || fail "unit: $(said unit-state)"
times=$(said times)
t() { sed -n "s/.*\\b$1=\\([0-9-]*\\).*/\\1/p" <<<"$times"; }
sysinit=$(t sysinit) device=$(t device) probe_start=$(t probe-start)
probe_exit=$(t probe-exit) file_time=$(t file) basic=$(t basic)
for v in sysinit probe_start probe_exit basic; do
  [ "${!v}" != - ] && [ -n "${!v}" ] || fail "no $v time: $times"
done
[ "$probe_exit" -le "$basic" ] || fail "probe ended after basic.target: $times"
ms() { echo "$(( ($1) / 1000 )) ms"; }
if [ "$scenario" = no-uart ]; then
  hold=$((basic - sysinit))
  echo "board: systemd no-uart, guest time since boot: sysinit.target $(ms "$sysinit")," \
    "probe $(ms "$probe_start") to $(ms "$probe_exit"), basic.target $(ms "$basic")" \
    "(held $(ms "$hold")); wall time $wall s"
  [ "$hold" -le 5000000 ] || fail "basic.target held $(ms "$hold") without the UART"
else
  [ "$device" != - ] || fail "dev-ttyPS1.device never active: $times"
  [ "$probe_start" -ge "$device" ] || fail "probe started before the device: $times"
  [ "$file_time" != - ] && [ "$file_time" -le "$basic" ] ||
    fail "version file not in place before basic.target: $times"
  echo "board: systemd $scenario, guest time since boot: systemd $(ms "$(t userspace)")," \
    "device $(ms "$device")," \
    "sysinit.target $(ms "$sysinit"), probe $(ms "$probe_start") to $(ms "$probe_exit")," \
    "version file $(ms "$file_time"), basic.target $(ms "$basic"); wall time $wall s"
fi
