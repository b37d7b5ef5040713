#!/usr/bin/env bash
# quelmar-visca-ipd's own system calls made to fail under strace's
# injection: the signal descriptor, poll, the writes to the MCU's line, and
# taking the line exclusively.
# Usage: ipd_faults.sh SIM IPD SEND WORKDIR
set -euo pipefail
. "$(dirname "$0")/lib.sh"
sim=$1 ipd=$2 send=$3 work=$4
rm -rf "$work"
mkdir -p "$work"
pids=()
# The tracers' children (the daemons) first: a killed tracer leaves its
# tracee running.
cleanup() {
  for p in "${pids[@]}"; do pkill -KILL -P "$p" 2>/dev/null || true; done
  kill "${pids[@]}" 2>/dev/null || true
}
trap cleanup EXIT

base=(--config /dev/null --udp 127.0.0.1:0 --tcp 127.0.0.1:0)

# wait_for FILE TEXT: until FILE holds TEXT, 10 s at most.
wait_for() {
  for _ in $(seq 200); do
    grep -qF -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.05
  done
  fail "no '$2' in $1: $(cat "$1")"
}

# run_to_end NAME STRACE_ARGS...: the daemon under strace, to its exit.
run_to_end() {
  local name=$1 rc=0
  shift
  strace -f -qq -o "$work/$name.strace" "$@" "$ipd" "${base[@]}" \
    --line /nonexistent 2>"$work/$name.err" </dev/null || rc=$?
  echo "$rc"
}

# 1. No signal descriptor, and a poll that fails: a reason and status 1.
rc=$(run_to_end signalfd -e trace=signalfd4 -e inject=signalfd4:error=EMFILE)
[ "$rc" -eq 1 ] || fail "signalfd refused: status $rc"
grep -q "cannot take signals: Too many open files" "$work/signalfd.err" ||
  fail "signalfd refused: $(cat "$work/signalfd.err")"
rc=$(run_to_end poll -e trace=poll,ppoll -e inject=poll,ppoll:error=ENOMEM)
[ "$rc" -eq 1 ] || fail "poll refused: status $rc"
grep -q "poll failed: Cannot allocate memory" "$work/poll.err" ||
  fail "poll refused: $(cat "$work/poll.err")"
echo "ok: a refused signal descriptor or poll stops the daemon with a reason"

# 2. Each step of listening refused: the address named, status 1. The
# first setsockopt is IPV6_V6ONLY when the first UDP address is IPv6,
# else the TCP listener's SO_REUSEADDR.
for step in socket listen setsockopt setsockopt-v6; do
  call=${step%-v6}
  extra=()
  [ "$step" = setsockopt-v6 ] && extra=(--udp "[::1]:0")
  rc=0
  strace -f -qq -o "$work/$step.strace" -e trace="$call" \
    -e inject="$call":error=EACCES:when=1 "$ipd" --config /dev/null \
    "${extra[@]}" --tcp 127.0.0.1:0 --line /nonexistent \
    2>"$work/$step.err" </dev/null || rc=$?
  [ "$rc" -eq 1 ] || fail "$step refused: status $rc"
  grep -q "cannot listen on .*: Permission denied" "$work/$step.err" ||
    fail "$step refused: $(cat "$work/$step.err")"
done
echo "ok: a refused socket, socket option or listen stops it with a reason"

# serve NAME STRACE_ARGS...: the daemon under strace against a simulated
# MCU, in the background; sets udp to its UDP address.
serve() {
  local name=$1
  shift
  "$sim" --link "$work/$name.tty" >"$work/$name.mcu" 2>&1 &
  pids+=($!)
  wait_for "$work/$name.mcu" /dev/pts
  strace -f -qq -o "$work/$name.strace" "$@" "$ipd" "${base[@]}" \
    --line "$work/$name.tty" >/dev/null 2>"$work/$name.err" </dev/null &
  pids+=($!)
  strace_pid=$!
  wait_for "$work/$name.err" "baud, 8N1"
  udp=$(grep -o 'UDP 127.0.0.1:[0-9]*' "$work/$name.err" | cut -d' ' -f2)
}

# stop: SIGTERM to the daemon (the tracer's child); its exit status in
# rc. Not in a subshell: only this shell can wait for the tracer.
stop() {
  rc=0
  kill -TERM "$(pgrep -P "$strace_pid")"
  wait "$strace_pid" || rc=$?
}

# 3. An interrupted poll is taken up again.
serve eintr -e trace=poll,ppoll -e inject=poll,ppoll:error=EINTR:when=1
"$send" --udp "$udp" --timeout 5000 inquiry 00 02 >"$work/eintr.out" ||
  fail "after an interrupted poll: $(cat "$work/eintr.out" "$work/eintr.err")"
stop
[ "$rc" -eq 0 ] || fail "after an interrupted poll: status $rc"
grep -q "INJECTED" "$work/eintr.strace" || fail "no poll was interrupted"
echo "ok: an interrupted poll is taken up again"

# 4. Writes to the line. The daemon's first three writes are its log
# lines (two addresses, the line); the fourth is the first message, and
# the fifth its retry at the end of that turn of the loop: refusing both
# leaves the message to the line's turn to take output.
serve eagain -e trace=write -e inject=write:error=EAGAIN:when=4..5
"$send" --udp "$udp" command 04 07 02 >"$work/eagain.out" ||
  fail "a full line: $(cat "$work/eagain.out" "$work/eagain.err")"
[ "$(grep -c " write([3-9].*INJECTED" "$work/eagain.strace")" -eq 2 ] ||
  fail "the line's write was not the one refused: $(grep INJECTED "$work/eagain.strace")"
[ "$(grep -c -- '-> MCU 81 01 04 07 02 FF' "$work/eagain.mcu")" -eq 1 ] ||
  fail "a full line: the MCU's log: $(cat "$work/eagain.mcu")"
stop
[ "$rc" -eq 0 ] || fail "a full line: status $rc"
echo "ok: a line that takes nothing for now gets the message when it can"

serve eio -e trace=write -e inject=write:error=EIO:when=4
rc=0
"$send" --udp "$udp" command 04 07 02 >"$work/eio.out" || rc=$?
[ "$rc" -eq 1 ] && grep -q "90 60 41 FF" "$work/eio.out" ||
  fail "a failing line: $(cat "$work/eio.out")"
grep -q "lost the MCU's line .*: Input/output error" "$work/eio.err" ||
  fail "a failing line: $(cat "$work/eio.err")"
for _ in $(seq 200); do # open again a second later
  [ "$(grep -c "baud, 8N1" "$work/eio.err")" -ge 2 ] && break
  sleep 0.05
done
[ "$(grep -c "baud, 8N1" "$work/eio.err")" -ge 2 ] ||
  fail "the line was not opened again: $(cat "$work/eio.err")"
stop
[ "$rc" -eq 0 ] || fail "a failing line: status $rc"
echo "ok: a line whose write fails is given up, answered for and opened again"
# 5. A TCP reply the socket will not take now goes when it can.
serve tcp -e trace=sendto -e inject=sendto:error=EAGAIN:when=1
tcp=$(grep -o 'TCP 127.0.0.1:[0-9]*' "$work/tcp.err" | cut -d' ' -f2)
"$send" --tcp "$tcp" inquiry 00 02 >"$work/tcp.out" ||
  fail "a full socket: $(cat "$work/tcp.out" "$work/tcp.err")"
grep -q "sendto.*EAGAIN.*INJECTED" "$work/tcp.strace" || fail "no send refused"
stop
[ "$rc" -eq 0 ] || fail "a full socket: status $rc"
echo "ok: a reply the socket refuses for now is sent when it can"

# 6. A line that cannot be taken exclusively is still served, and said so.
# Which ioctl takes it is read off an untouched run first.
serve ioctls -e trace=ioctl
stop
n=$(awk '/ioctl\(/ { n++ } /TIOCEXCL/ { print n; exit }' "$work/ioctls.strace")
[ -n "$n" ] || fail "the line was never taken exclusively: $(cat "$work/ioctls.strace")"
serve excl -e trace=ioctl -e inject=ioctl:error=EINVAL:when="$n"
grep -q "cannot take .* exclusively: Invalid argument" "$work/excl.err" ||
  fail "a line that cannot be taken exclusively: $(cat "$work/excl.err")"
"$send" --udp "$udp" --timeout 5000 inquiry 00 02 >"$work/excl.out" ||
  fail "a line that cannot be taken exclusively: $(cat "$work/excl.out")"
stop
[ "$rc" -eq 0 ] || fail "a line that cannot be taken exclusively: status $rc"
echo "ok: a line that cannot be taken exclusively is still served"
echo "== ipd faults: all passed"
