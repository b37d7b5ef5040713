#!/usr/bin/env bash
# The network camera on the emulated board, driven from this machine: the
# board boots its image (the probe, then the service, from their packages)
# with its Ethernet on QEMU's user network, inside a network namespace that
# holds loopback alone, and a controller here in the same namespace sends
# VISCA over IP (UDP) and raw VISCA (TCP) through the forwarded ports
# to the service, which drives the simulated MCU on ttyPS1. The guest is
# steered over its console (quelmar.steer): kill the service, restrict its
# addresses (its own allow-list, and systemd's IPAddressDeny=), install
# packages while a command is in flight.
#
# Usage: camera_test.sh MACHINE busybox|systemd camera|camera-no-uart
#                       BUILD_DIR HOST_SIM
# visca-send is taken from beside HOST_SIM's build (tools/visca-send).
#
# The time to an acknowledgement through the board is reported, not held
# to a bound: it is the emulator's.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
. "$here/../tests/lib.sh"
need_root "the board"
# The board's network and this controller share a network namespace of
# their own, with loopback alone: nothing outside is reachable from either.
own_network_namespace "$0" "$@"

machine=$1 image=$2 scenario=$3 build=$4 sim=$5
load_machine "$machine"
cpio="$build/board/$image.cpio"
[ -f "$cpio" ] || fail "no $image image: its fixture did not run"
send=$(cd "$(dirname "$sim")/.." && pwd)/tools/visca-send
[ -x "$send" ] || fail "no visca-send at $send: build the default preset first"
out=$(mktemp -d)
finish() {
  stop_board
  echo "--- console (QUELMAR lines)"
  grep -aE 'QUELMAR|Kernel panic' "$out/console.log" 2>/dev/null | tr -d '\r' || true
  echo "--- MCU"
  cat "$out/mcu.log" 2>/dev/null || true
  rm -rf "$out"
}
trap finish EXIT

addr=127.0.0.1

args=(--machine "$machine" --sim "$sim" --mcu-log "$out/mcu.log" --timeout 500
  --net "$addr")
[ "$image" = systemd ] && args+=(--memory "$machine_memory_systemd")
# A zoom to the wide end takes 8 s to complete: long enough to be in flight
# across a package installation.
mcu=(--speed 115200 --version 22 --completion 8101040703=8000)
[ "$scenario" = camera-no-uart ] && args+=(--no-uart) && mcu=()

steered_boot "$out" "${args[@]}" "$cpio" -- "${mcu[@]}"

said() { sed -n "s/^QUELMAR: $1 //p" "$out/console.log" | tr -d '\r' | tail -n1; }
# expect NAME OUTPUT REGEX...: each REGEX is a line of OUTPUT.
expect() {
  local name=$1 text=$2 re
  shift 2
  for re in "$@"; do
    grep -qE "$re" <<<"$text" || fail "$name: no line like '$re' in:"$'\n'"$text"
  done
  echo "board: $name:"
  sed 's/^/  /' <<<"$text"
}
# MCU messages: what reached the MCU, in order.
to_mcu() { sed -n 's/^ *[0-9.]* s [0-9]* .*-> MCU //p' "$out/mcu.log"; }

start=$SECONDS
wait_said ready 400
echo "board: $machine $image $scenario ready after $((SECONDS - start)) s (wall)"

if [ "$scenario" = camera-no-uart ]; then
  # No UART: the boot went on, and the service answers.
  [ "$(said ttyPS1)" = absent ] || fail "ttyPS1 exists without UART1"
  [ "$image" = busybox ] || [ "$(said system)" = running ] ||
    fail "the system is $(said system)"
  reply=$("$send" --udp "$addr" --seq 3 --timeout 20000 reset) || fail "RESET: $reply"
  expect "RESET without a UART" "$reply" '^control: 01 \(sequence 3, RESET acknowledged\)$'
  reply=$("$send" --udp "$addr" --seq 4 --timeout 20000 command 04 07 02) || true
  expect "a command without a UART" "$reply" '^reply: 90 60 41 FF \(sequence 4, error 41'
  steer done
  wait "$board_pid" || fail "the board did not stop by itself"
  board_pid=
  if [ "$image" = busybox ]; then
    run=$(said 'rcS S20quelmar-visca-ipd start')
    [[ "$run" == rc=0* ]] || fail "the service's init script: $run"
    echo "board: the service's init script without a UART: $run"
  else
    [[ "$(said service-state)" == active* ]] || fail "service: $(said service-state)"
  fi
  exit 0
fi

# A command and an inquiry over each transport, through the board's network.
reply=$("$send" --udp "$addr" --seq 10 --timeout 20000 command 04 07 02) ||
  fail "UDP command: $reply"
expect "UDP command" "$reply" 'sequence 10, acknowledged' 'sequence 10, completed'
reply=$("$send" --udp "$addr" --seq 11 --timeout 20000 inquiry 00 02) ||
  fail "UDP inquiry: $reply"
expect "UDP inquiry" "$reply" '^reply: 90 50 00 20 00 01 00 16 02 FF \(sequence 11, inquiry reply\)$'
reply=$("$send" --tcp "$addr" --timeout 20000 command 04 07 02) || fail "TCP command: $reply"
expect "TCP command" "$reply" '\(acknowledged' '\(completed'
reply=$("$send" --tcp "$addr" --timeout 20000 inquiry 00 02) || fail "TCP inquiry: $reply"
expect "TCP inquiry" "$reply" '^reply: 90 50 00 20 00 01 00 16 02 FF \(inquiry reply\)$'
reply=$("$send" --udp "$addr" --seq 12 --timeout 20000 reset) || fail "RESET: $reply"
expect "RESET" "$reply" '^control: 01 \(sequence 12, RESET acknowledged\)$'

# The time to an acknowledgement through the emulated board, for the record.
times=()
for i in $(seq 1 30); do
  reply=$("$send" --udp "$addr" --seq $((100 + i)) --timeout 20000 --times command 04 00 02) ||
    fail "timed command $i: $reply"
  times+=("$(sed -n 's/^reply: .*acknowledged.* after \([0-9.]*\) ms$/\1/p' <<<"$reply")")
done
sorted=$(printf '%s\n' "${times[@]}" | sort -n)
echo "board: $machine $image: UDP command to acknowledgement through the board," \
  "30 runs: median $(sed -n 15p <<<"$sorted") ms, 99th percentile (the slowest)" \
  "$(tail -n1 <<<"$sorted") ms (information, not a bound)"

# Killed, the service comes back and answers.
steer kill
wait_said killed 60
[[ "$(said killed)" =~ ^[0-9]+,\ back\ as\ [1-9][0-9]* ]] ||
  fail "the service did not come back: $(said killed)"
echo "board: killed: $(said killed)"
reply=$("$send" --udp "$addr" --seq 13 --timeout 20000 inquiry 00 02) ||
  fail "inquiry after the restart: $reply"
expect "inquiry after the restart" "$reply" 'sequence 13, inquiry reply'

# denied NAME SEQ: a controller here gets no answer over UDP or TCP, and
# its inquiries never reach the MCU.
denied() {
  local before status=0
  before=$(to_mcu | grep -c '^81 09 00 02 FF$' || true)
  reply=$("$send" --udp "$addr" --seq "$2" --timeout 3000 inquiry 00 02) || status=$?
  [ "$status" -eq 1 ] || fail "$1: an answer: $reply"
  expect "$1" "$reply" '^no further reply within 3000 ms$'
  status=0
  reply=$("$send" --tcp "$addr" --timeout 3000 inquiry 00 02) || status=$?
  [ "$status" -eq 1 ] || fail "$1: an answer over TCP: $reply"
  expect "$1, over TCP" "$reply" '^(no further reply within 3000 ms|the camera closed the connection)$'
  [ "$(to_mcu | grep -c '^81 09 00 02 FF$' || true)" -eq "$before" ] ||
    fail "$1: its inquiry reached the MCU"
}

# The service's own allow-list, under either init: QEMU's user network
# brings this machine's datagrams from 10.0.2.2, outside 10.0.2.99.
steer allow 10.0.2.99
wait_said "allow '10.0.2.99'" 60
[[ "$(said allow)" == *' now ALLOW="10.0.2.99"' ]] || fail "allow: $(said allow)"
denied "a controller the allow-list leaves out" 20
steer allow
wait_said "allow '' " 60
reply=$("$send" --udp "$addr" --seq 21 --timeout 20000 inquiry 00 02) ||
  fail "inquiry with every address allowed: $reply"
expect "every address allowed again" "$reply" 'sequence 21, inquiry reply'

if [ "$image" = systemd ]; then
  # The administrator's address filter: QEMU's user network brings this
  # machine's datagrams from 10.0.2.2. Denied, they get no answer and
  # never reach the MCU; lifted, they do again.
  steer deny 10.0.2.2
  wait_said "deny '10.0.2.2'" 60
  [[ "$(said deny)" == "'10.0.2.2' rc=0 now '10.0.2.2/32'" ]] || fail "deny: $(said deny)"
  denied "a denied controller" 14
  steer deny
  wait_said "deny '' " 60
  reply=$("$send" --udp "$addr" --seq 15 --timeout 20000 inquiry 00 02) ||
    fail "inquiry once allowed again: $reply"
  expect "allowed again" "$reply" 'sequence 15, inquiry reply'

  # Packages installed on the running board, the probe's among them, never
  # run the probe: a command in flight meanwhile gets its completion, and
  # the MCU sees no inquiry of the probe's.
  previous=$(dpkg-deb -f "$(ls "$build"/board/previous/armhf/quelmar-mcu-probe_*_armhf.deb)" Version)
  new=$(dpkg-deb -f "$(ls "$build"/board/armhf/quelmar-mcu-probe_*_armhf.deb)" Version)
  "$send" --udp "$addr" --seq 16 --timeout 60000 command 04 07 03 >"$out/flight" 2>&1 &
  flight=$!
  # The file is made by the command's shell: it may not be there yet. A
  # command that has ended gets one more look, as it may have written its
  # acknowledgement just before.
  until grep -qs acknowledged "$out/flight"; do
    if ! kill -0 "$flight" 2>/dev/null; then
      grep -qs acknowledged "$out/flight" && break
      fail "the command in flight: $(cat "$out/flight" 2>&1)"
    fi
    sleep 0.1
  done
  steer install "quelmar-mcu-probe_$previous" "quelmar-mcu-probe-static_$new" \
    "quelmar-mcu-probe_$new"
  wait_said probe-invocation 400
  wait "$flight" || fail "the command in flight: $(cat "$out/flight")"
  expect "a command in flight across the installations" "$(cat "$out/flight")" \
    'sequence 16, acknowledged' 'sequence 16, completed'
  for p in "quelmar-mcu-probe_$previous" "quelmar-mcu-probe-static_$new" "quelmar-mcu-probe_$new"; do
    [ "$(said "installed $p")" = rc=0 ] || fail "dpkg -i $p: $(said "installed $p")"
  done
  echo "board: installed $previous, then the static $new, then $new; probe unit $(said probe-invocation)"
  invocation=$(said probe-invocation)
  [ "${invocation#before=}" != "$invocation" ] &&
    [ "$(sed 's/^before=\(.*\) after=.*$/\1/' <<<"$invocation")" = \
      "$(sed 's/^.* after=//' <<<"$invocation")" ] ||
    fail "installing ran the probe: its unit went from $invocation"
fi

steer done
status=0
wait "$board_pid" || status=$?
board_pid=
grep -ah '^board: the kernel' "$out/console.log" || true # a stall, booted again
[ "$status" -eq 0 ] || fail "the board did not stop by itself (status $status)"
grep -aq '^QUELMAR: done' "$out/console.log" || fail "the guest never reported"

# The probe had the UART to itself at boot, and wrote the version file
# before the service started.
[ "$(said version-file)" = '"22"' ] || fail "version file $(said version-file)"
messages=$(to_mcu)
probe_last=$(grep -n '^81 09 7E 7E 16 FF$' <<<"$messages" | tail -n1 | cut -d: -f1)
first_net=$(grep -vn '^81 09 7E 7E 16 FF$' <<<"$messages" | head -n1 | cut -d: -f1)
[ -n "$probe_last" ] || fail "the probe sent nothing"
[ "$probe_last" -lt "$first_net" ] ||
  fail "the probe's inquiry (message $probe_last) came after the network's first (message $first_net)"
echo "board: the MCU's first messages: the probe's, then the network's:"
head -n 4 "$out/mcu.log" | sed 's/^/  /'
if [ "$image" = busybox ]; then
  probe=$(said 'rcS S15quelmar-mcu-probe start')
  service=$(said 'rcS S20quelmar-visca-ipd start')
  [[ "$service" == rc=0*file=yes ]] ||
    fail "the service started without the version file: $service"
  echo "board: rcS ran the probe ($probe), then the service ($service)"
  [ "$(said service-status)" = rc=0 ] || fail "the service's status: $(said service-status)"
  [[ "$(said service-uid)" =~ ^[1-9][0-9]*$ ]] ||
    fail "the service runs as uid '$(said service-uid)'"
  [ "$(said service-write-etc)" = "uid=$(said service-uid) denied" ] ||
    fail "the service's user and /etc: $(said service-write-etc)"
  echo "board: the service runs as uid $(said service-uid), which cannot write /etc"
  exit 0
fi

# systemd: the service enabled by its package, running as a user of its
# own, started after the probe ended and the file was written.
[ "$(said service-enabled)" = enabled ] || fail "service $(said service-enabled)"
state=$(said service-state)
[[ "$state" =~ ^active\ uid=[1-9][0-9]*$ ]] || fail "service: $state"
times=$(said times)
t() { sed -n "s/.*\\b$1=\\([0-9-]*\\).*/\\1/p" <<<"$times"; }
[ "$(t service-start)" -ge "$(t probe-exit)" ] && [ "$(t service-start)" -ge "$(t file)" ] ||
  fail "the service started before the probe was done: $times"
echo "board: guest times (us): $times; service $state"

# Its sandbox, as the guest's systemd rates it and as tried from inside.
check_exposure "$(ls "$build"/board/debs/quelmar-visca-ipd_*_armhf.deb)" \
  quelmar-visca-ipd.service "$(said service-exposure)" 2.0
[ "$(said service-sandbox-check-unit)" = success ] ||
  fail "the service's sandbox check: $(said service-sandbox-check-unit)"
check() { # NAME PATTERN
  local got
  got=$(said "service-sandboxed $1")
  grep -qxE "$2" <<<"$got" || fail "in the service's sandbox, $1: $got, expected $2"
  echo "board: in the service's sandbox: $1 $got"
}
check open-ttyPS0 'denied (ENOENT|ENODEV|EPERM|EACCES)'
check write-etc 'denied (EROFS|EACCES|EPERM)'
check write-usr 'denied (EROFS|EACCES|EPERM)'
# Allowed for the readiness message to systemd, and nothing else.
check socket-unix allowed
check set-clock 'denied (EPERM|EACCES)'
check tmp-create-rename 'denied (EROFS|EACCES|EPERM)'
check write-var-tmp 'denied (EROFS|EACCES|EPERM)'
check write-dev-shm 'denied (ENOENT|EROFS|EACCES|EPERM)'
check socket-inet allowed
check open-ttyPS1 allowed
