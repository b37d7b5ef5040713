#!/usr/bin/env bash
# Runs the whole test suite: formatting; the host build with warnings as
# errors; the same suite under AddressSanitizer with UndefinedBehaviorSanitizer
# and under ThreadSanitizer; the host suite again with coverage counters,
# failing below 100 % of lines or 95 % of branches of probe/, visca/ and
# timer/; a short run of each fuzz target; and the armhf builds, dynamic
# and static (the probe alone), with every test under qemu, and their
# packages booted on the emulated board (label "board"). The host build
# also sweeps the probe's system-call faults under strace, and the host and
# armhf builds make and check their Debian packages.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
enable_arch armhf
enable_arch arm64
install_missing "${BUILD_PACKAGES[@]}" "${PACKAGING_PACKAGES[@]}" \
  "${PACKAGE_CHECK_PACKAGES[@]}" "${ARMHF_PACKAGES[@]}" "${FUZZ_PACKAGES[@]}" \
  "${BOARD_PACKAGES[@]}" "${ROOTFS_PACKAGES[@]}" "${KERNEL_PACKAGES[@]}" \
  "${FAULT_PACKAGES[@]}" "${CLEAN_ROOM_PACKAGES[@]}" crossbuild-essential-armhf \
  clang-format

echo "== formatting"
git ls-files '*.h' '*.cpp' | xargs clang-format --dry-run --Werror

# As root the end-to-end tests can and must build their namespaces.
if [ "$(id -u)" -eq 0 ]; then
  export QUELMAR_REQUIRE_SANDBOX=1
fi

# Counts come from CTest's own results (its JUnit report), so a skipped
# test is never counted as a pass.
report=$(mktemp)
prebuild_pid=
trap 'rm -f "$report"; [ -z "$prebuild_pid" ] || kill -- -"$prebuild_pid" 2>/dev/null || true' EXIT
passed=0 failed=0 skipped=0 stalls=0
count() { sed -n "s/^[[:space:]]*$1=\"\([0-9]*\)\"/\1/p; T; q" "$report"; }
# tally NAME START: adds the report's counts to the totals.
tally() {
  [ -s "$report" ] || { echo "ctest wrote no report for $1" >&2; exit 1; }
  local total fail skip
  total=$(count tests) fail=$(count failures)
  skip=$(($(count skipped) + $(count disabled)))
  passed=$((passed + total - fail - skip))
  failed=$((failed + fail))
  skipped=$((skipped + skip))
  echo "== $1: $((total - fail - skip)) passed, $fail failed, $skip skipped" \
    "in $(($(date +%s) - $2)) s"
}
# run_ctest NAME PRESET JOBS [CTEST_ARGS...]: one CTest run, counted.
run_ctest() {
  local name=$1 preset=$2 jobs=$3 start
  shift 3
  start=$(date +%s)
  rm -f "$report"
  ctest --preset "$preset" -j"$jobs" --output-junit "$report" "$@" || true
  tally "$name" "$start"
  # Boots whose kernel stalled before init and were booted again.
  local n
  n=$(grep -c '^board: the kernel had not started init' \
    "build/$preset/Testing/Temporary/LastTest.log" 2>/dev/null) || true
  stalls=$((stalls + ${n:-0}))
}
# The later builds run in the background at idle priority (SCHED_IDLE,
# or nice 19 where the kernel lacks it), one after another, from the end
# of the host build on: they take only what the tests running meanwhile
# leave of the cores (the unit tests' reply waits above all), and all
# have ended before the emulated boards boot. Each phase waits for its
# build's end, then builds again: nothing to do if it went well, and its
# errors shown here if not. Their output is in build/prebuild/.
prebuilt=build/prebuild
later=(asan tsan coverage fuzz armhf armhf-static)
start_prebuilds() {
  rm -rf "$prebuilt"
  mkdir -p "$prebuilt"
  # A process group of its own (job control), so that a run cut short
  # stops every build in it.
  set -m
  (
    chrt --idle --pid 0 "$BASHPID" 2>/dev/null ||
      renice -n 19 -p "$BASHPID" >/dev/null
    for p in "${later[@]}"; do
      case $p in
      coverage) scripts/coverage.sh --build-only ;;
      fuzz) scripts/fuzz.sh --build-only ;;
      *) cmake --preset "$p" >/dev/null && cmake --build --preset "$p" ;;
      esac >"$prebuilt/$p.log" 2>&1 || true
      touch "$prebuilt/$p.done"
    done
  ) &
  prebuild_pid=$!
  set +m
}
# wait_prebuilt PRESET: until its background build has ended (or the
# background builds have stopped altogether).
wait_prebuilt() {
  while [ ! -e "$prebuilt/$1.done" ] && kill -0 "$prebuild_pid" 2>/dev/null; do
    sleep 1
  done
}

# build_and_test PRESET: its build (waited for, then finished here), and
# its suite.
build_and_test() {
  local preset=$1 start
  echo "== build and test: $preset"
  start=$(date +%s)
  [ "$preset" = default ] || wait_prebuilt "$preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "== $preset: built in $(($(date +%s) - start)) s"
  if [ "$preset" = default ]; then
    start_prebuilds
    # The package builds and whole systems load the machine far beyond its
    # cores, which could starve the unit tests' reply waits: those run
    # first, on their own. The heavy tests mostly unpack systems, fetch
    # packages or wait out the probe's pauses (the sweep): one more than
    # there are cores keeps the cores busy meanwhile. Not two: sbuild runs
    # the unit tests inside its build, and four jobs starved them too.
    heavy='^(packages|sweep)$'
    run_ctest default default "$(nproc)" -LE "$heavy"
    run_ctest "default, packages and sweep" default "$(($(nproc) + 1))" -L "$heavy"
  else
    # No build beside the emulated boards, whatever its priority: their
    # checks time the guest's writes from here, to the millisecond.
    case $preset in armhf*) wait_prebuilt "${later[-1]}" ;; esac
    run_ctest "$preset" "$preset" "$(nproc)"
  fi
}

build_and_test default
build_and_test asan
build_and_test tsan

# The host suite once more with coverage counters; below 100 % of lines
# or 95 % of branches of probe/, visca/ and timer/ fails the run. It and
# the fuzz targets, which run one at a time, leave part of the cores to
# the armhf builds.
echo "== build and test: coverage"
start=$(date +%s)
rm -f "$report"
wait_prebuilt coverage
coverage=passed
scripts/coverage.sh "$report" || coverage=failed
tally coverage "$start"

echo "== fuzz"
wait_prebuilt fuzz
fuzz=passed
scripts/fuzz.sh || fuzz=failed

build_and_test armhf
build_and_test armhf-static

summary="suite: $passed passed, $failed failed"
[ "$skipped" -eq 0 ] || summary="$summary, $skipped skipped"
echo "boots booted again after a kernel stall: $stalls"
echo "$summary"
[ "$fuzz" = passed ] || { echo "a fuzz target failed" >&2; exit 1; }
[ "$coverage" = passed ] || { echo "coverage fell short, or its suite failed" >&2; exit 1; }
[ "$failed" -eq 0 ] || exit 1
# As root everything can run, so a skip there hides a test that did not.
if [ "$(id -u)" -eq 0 ] && [ "$skipped" -gt 0 ]; then
  echo "$skipped tests skipped on a run as root" >&2
  exit 1
fi
