#!/usr/bin/env bash
# Makes the real probe's system calls fail, one at a time, under strace's
# fault injection, and checks that no fault does harm: the probe exits 0
# and prints nothing, in bounded time; the version file is absent, the old
# one or exactly the new value, never partial; no temporary file is left
# (except after a kill, or where the clean-up's own unlink failed); a sleep
# cut short by EINTR never shortens a pause.
#
# Usage: syscall_faults.sh reduced|full SIM PROBE WORKDIR
#   SIM     visca-mcu-sim, which serves the MCU and runs the probe in a
#           private namespace (root only)
#   PROBE   the quelmar-mcu-probe binary (the host's)
#   WORKDIR where the cases keep their files (emptied first); one under
#           /tmp, which the probe sees replaced, is moved to /var/tmp
#
# The MCU answers only at 9600 baud, so one run makes every call the probe
# can make: six failed attempts at 115200 with their waits and pauses, the
# change of speed, the reply and the file's replacement. A reference run,
# traced, lists the calls made after start-up (from the probe's first own
# call on; the dynamic loader's are not the probe's) and numbers them.
# Every occurrence of a rare call is hit, and a spread of the frequent ones
# (the pending-byte queries and the sleeps), each with the errors the call
# can really return; each step of the file's replacement gets a SIGKILL;
# and the pending-byte count is made to claim a byte that is not there.
# "full" runs every case with no version file and with an old one;
# "reduced" runs a sample of them, alternating the two.
set -euo pipefail
[ $# -eq 4 ] || { echo "usage: $0 reduced|full SIM PROBE WORKDIR" >&2; exit 2; }
mode=$1 sim=$2 probe=$3 work=$4
case "$mode" in reduced | full) ;; *) echo "bad mode $mode" >&2; exit 2 ;; esac
if [ "$(id -u)" -ne 0 ]; then
  [ -z "${QUELMAR_REQUIRE_SANDBOX:-}" ] || { echo "needs root" >&2; exit 1; }
  echo "the fault sweep needs root (a private namespace): skipped"
  exit 77
fi
case "$(realpath -m "$work")/" in
/tmp/*)
  # strace writes its trace from inside the probe's namespace.
  work=/var/tmp/quelmar-syscall-faults-$(realpath -m "$work" | sha256sum | cut -c1-12)
  echo "(WORKDIR lies under /tmp, which the probe sees replaced: using $work)"
  ;;
esac
command -v strace >/dev/null || { echo "strace is not installed" >&2; exit 1; }
# The sandbox binds the host's /dev/null. A tool that replaces the file it
# writes to (gcovr did, given /dev/null as its output) turns it into a
# plain file; say so plainly rather than fail every case for it.
null_is_device() { [ -c /dev/null ] || { echo "FAULT: /dev/null is not a device ($1)"; return 1; }; }
null_is_device "before the sweep" || exit 1
rm -rf "$work"
mkdir -p "$work"
work=$(realpath "$work")
limit=15 # seconds; a silent MCU's whole run takes 3.3 s

# run_case NAME STATE [STRACE-OPTION...]: one run of the probe under
# strace; leaves its status, milliseconds, output, the MCU's log and its
# /tmp and strace's trace in WORKDIR/NAME.STATE (or the trace to $trace).
# STATE is "none" or "old".
run_case() {
  local name=$1 state=$2
  shift 2
  local dir="$work/$name.$state"
  mkdir -p "$dir/tmp"
  [ "$state" = none ] || printf '%s' -7 >"$dir/tmp/quelmar-mcu-version"
  local start end status=0
  start=$(date +%s%N)
  # The probe's own output goes to out; the MCU's log to mcu.log. timeout
  # kills strace and the probe together (its process group).
  "$sim" --speed 9600 --sandbox "$dir/tmp" -- \
    sh -c 'exec timeout -s KILL "$0" strace -qq -ttt "$@" >&3 2>&3 3>&-' \
    "$limit" -o "${trace:-$dir/trace}" "$@" "$probe" >"$dir/mcu.log" 2>"$dir/sim.err" 3>"$dir/out" ||
    status=$?
  end=$(date +%s%N)
  echo "$status" >"$dir/status"
  echo $(((end - start) / 1000000)) >"$dir/ms"
}

# Microsecond times at which the probe wrote its inquiries, from strace's
# stamps. (The MCU's log stamps their arrival, which a busy machine can
# delay for one and not the next.) The probe stays stopped at each call
# until strace has stamped it, so a gap between stamps never comes out
# longer than the probe made it, only shorter.
inquiry_times() {
  sed -n 's/^\([0-9]*\)\.\([0-9]*\) write(3, "\\201\\t~~\\26\\377", 6).*/\1\2/p' "$1"
}

# check_case NAME STATE KIND: prints a line per fault found. KIND is err,
# kill, unlink (an unlink made to fail may leave its file) or sleep (the
# pauses are checked too).
check_case() {
  local name=$1 state=$2 kind=$3
  local dir="$work/$name.$state" status ms content entries
  status=$(cat "$dir/status") ms=$(cat "$dir/ms")
  local bad=()
  if [ "$ms" -ge $((limit * 1000)) ]; then
    bad+=("still running after ${limit} s")
  elif [ "$kind" = kill ]; then
    [ "$status" -eq 137 ] || bad+=("status $status after a SIGKILL")
  else
    [ "$status" -eq 0 ] || bad+=("exit status $status")
  fi
  [ ! -s "$dir/out" ] || bad+=("printed: $(head -c 200 "$dir/out")")
  # A case whose fault never struck proves nothing.
  if [ "$kind" = kill ]; then
    grep -q '+++ killed by SIGKILL +++' "$dir/trace" || bad+=("the SIGKILL never came")
  else
    grep -q 'INJECTED' "$dir/trace" || bad+=("the fault was never injected")
  fi
  local file="$dir/tmp/quelmar-mcu-version"
  if [ -e "$file" ] || [ -L "$file" ]; then
    if [ -f "$file" ] && [ ! -L "$file" ]; then
      content=$(cat "$file")
      case "$content|$state" in
      22\|* | -7\|old) ;;
      *) bad+=("version file holds \"$content\"") ;;
      esac
    else
      bad+=("version file is no regular file")
    fi
  elif [ "$state" = old ]; then
    bad+=("the old version file is gone")
  fi
  entries=$(ls -A "$dir/tmp" | grep -vx quelmar-mcu-version || true)
  if [ -n "$entries" ] && [ "$kind" != kill ] && [ "$kind" != unlink ]; then
    bad+=("left in /tmp: $(tr '\n' ' ' <<<"$entries")")
  fi
  if [ "$kind" = sleep ]; then
    # Within an attempt the retransmission follows a whole reply wait (200
    # polls of at least 1 ms); between attempts come that and a 100 ms
    # pause; at the change of speed, that and three pauses.
    local t=() i gap want
    mapfile -t t < <(inquiry_times "$dir/trace")
    [ "${#t[@]}" -ge 7 ] || bad+=("${#t[@]} inquiries, expected 7")
    for ((i = 1; i < ${#t[@]} && i < 7; i++)); do
      gap=$(((10#${t[i]} - 10#${t[i - 1]}) / 1000))
      if ((i % 2 == 1)); then want=200; elif ((i == 6)); then want=500; else want=300; fi
      ((gap >= want)) || bad+=("inquiries $i and $((i + 1)) ${gap} ms apart, under $want")
    done
  fi
  local b
  for b in "${bad[@]}"; do echo "FAULT $name.$state: $b"; done
}

# --- The reference run: which calls, how often, in what order.
echo "== reference run"
trace="$work/reference.trace" run_case reference none
[ "$(cat "$work/reference.none/status")" -eq 0 ] ||
  { cat "$work/reference.none/sim.err"; echo "the reference run failed" >&2; exit 1; }
[ "$(cat "$work/reference.none/tmp/quelmar-mcu-version")" = 22 ] ||
  { echo "the reference run wrote no version" >&2; exit 1; }
# One line per call: NAME OCCURRENCE AFTER_STARTUP DETAIL, where OCCURRENCE
# counts that call from the process's start, as strace's when= does.
awk '
  { sub(/^[0-9.]+ /, "") } # the time stamp
  /^\+\+\+|^---/ { next }
  { name = $0; sub(/\(.*/, "", name); n[name]++
    if (name == "prctl" && $0 ~ /PR_SET_TIMERSLACK/) own = 1
    if (!own) next
    detail = ""
    if (name == "ioctl") { detail = $0; sub(/^ioctl\([0-9]+, /, "", detail); sub(/[ ,].*/, "", detail) }
    if (name == "openat") detail = ($0 ~ /O_EXCL/) ? "temp" : "line"
    if (name == "write" || name == "close") { detail = $0; sub(/^[a-z]+\(/, "", detail); sub(/[,)].*/, "", detail); detail = "fd" detail }
    if (name == "clock_nanosleep") detail = ($0 ~ /tv_nsec=100000000/) ? "pause" : "poll"
    print name, n[name], detail }
' "$work/reference.trace" >"$work/calls"
grep -q '^rename ' "$work/calls" || { echo "no rename in the reference run" >&2; exit 1; }

# The errors each call can really return.
errors_of() {
  case "$1" in
  prctl) echo EINVAL EPERM ;;
  openat) echo EACCES EBUSY EINTR ENOSPC EPERM EIO ;;
  ioctl) echo EIO EINTR ;;
  read) echo EIO EINTR EAGAIN ;;
  write) echo EIO EINTR EAGAIN ENOSPC ;;
  close) echo EIO EINTR ;;
  rename) echo EACCES EBUSY EPERM ENOSPC EIO ;;
  unlink) echo EACCES EBUSY EPERM EIO ;;
  clock_nanosleep) echo EINTR ENOSYS ;;
  esac
}

# Occurrences to hit: all of a rare call's; of a frequent one, a spread
# over its first nine tenths (a run's count varies a little with timing).
pick() { # NAME DETAIL COUNT
  awk -v want="$1" -v detail="$2" -v count="$3" '
    $1 == want && (detail == "" || $3 == detail) { occ[++k] = $2 }
    END {
      if (k <= 24 || count == 0) { for (i = 1; i <= k; i++) print occ[i]; exit }
      top = int(k * 0.9)
      for (j = 0; j < count; j++) print occ[1 + int(j * (top - 1) / (count - 1))]
    }' "$work/calls"
}

# Cases: NAME KIND INJECTION..., one a line; each injection becomes an -e.
cases="$work/cases"
: >"$cases"
add() { echo "$1 $2 $3" >>"$cases"; }
if [ "$mode" = full ]; then spread=24; else spread=4; fi
for call in $(awk '{print $1}' "$work/calls" | sort -u); do
  errs=$(errors_of "$call")
  [ -n "$errs" ] || continue # getpid, exit_group: nothing to fail
  mapfile -t details < <(awk -v c="$call" '$1 == c {print $3}' "$work/calls" | sort -u)
  for detail in "${details[@]}"; do
    occurrences=$(pick "$call" "$detail" "$spread")
    first=1
    for occ in $occurrences; do
      for err in $errs; do
        # Reduced: every error at the first occurrence, one at the others.
        if [ "$mode" = reduced ] && [ $first -eq 0 ] && [ "$err" != "${errs%% *}" ]; then
          continue
        fi
        kind=err
        [ "$call" = unlink ] && kind=unlink
        [ "$call" = clock_nanosleep ] && [ "$err" = EINTR ] && kind=sleep
        add "$call${detail:+-$detail}-$occ-$err" "$kind" "inject=$call:error=$err:when=$occ"
      done
      first=0
    done
  done
done
# A pending-byte count that claims a byte nothing holds.
for occ in $(pick ioctl FIONREAD "$((spread * 2))"); do
  add "ioctl-FIONREAD-$occ-lies" err "inject=ioctl:poke_exit=@arg3=01000000:when=$occ"
done
# Every sleep interrupted, again and again: no pause may come up short.
add "clock_nanosleep-every-third-EINTR" sleep "inject=clock_nanosleep:error=EINTR:when=1+3"
# A kill at each step of the file's replacement.
for step in "getpid" "openat temp" "write fd4" "close fd4" "rename"; do
  set -- $step
  occ=$(awk -v c="$1" -v d="${2:-}" '$1 == c && (d == "" || $3 == d) {print $2; exit}' "$work/calls")
  [ -n "$occ" ] || { echo "no $step in the reference run" >&2; exit 1; }
  add "$1${2:+-$2}-$occ-SIGKILL" kill "inject=$1:signal=KILL:when=$occ"
done
# A failed rename leaves the temporary file to the clean-up; its unlink
# failing too is the one case where that file stays.
add "rename-EACCES-then-unlink-EPERM" unlink "inject=rename:error=EACCES inject=unlink:error=EPERM"

# Which states each case runs in.
jobs="$work/jobs"
: >"$jobs"
i=0
while read -r name kind opt; do
  if [ "$mode" = full ]; then
    echo "$name none $kind $opt" >>"$jobs"
    echo "$name old $kind $opt" >>"$jobs"
  elif ((i++ % 2 == 0)); then
    echo "$name none $kind $opt" >>"$jobs"
  else
    echo "$name old $kind $opt" >>"$jobs"
  fi
done <"$cases"

echo "== $(wc -l <"$jobs") runs ($(wc -l <"$cases") cases, $mode sweep), two at a time"
start=$(date +%s)
export -f run_case
export work sim probe limit
# shellcheck disable=SC2016
xargs -P 2 -L 1 bash -c 'name=$0 state=$1; shift 2; opts=(); for o in "$@"; do opts+=(-e "$o"); done; run_case "$name" "$state" "${opts[@]}"' <"$jobs"

faults=0
while read -r name state kind _; do
  out=$(check_case "$name" "$state" "$kind")
  if [ -n "$out" ]; then
    echo "$out"
    faults=$((faults + 1))
  fi
done <"$jobs"
null_is_device "after the sweep" || faults=$((faults + 1))
total=$(wc -l <"$jobs")
slowest=$(cat "$work"/*.*/ms | sort -n | tail -n1)
echo "== sweep: $((total - faults)) passed, $faults failed in $(($(date +%s) - start)) s" \
  "(slowest run $slowest ms)"
[ "$faults" -eq 0 ]
