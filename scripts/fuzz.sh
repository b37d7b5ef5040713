#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan, UBSan) and runs each for a
# fixed number of executions, starting from its committed seed corpus.
# Usage: scripts/fuzz.sh [RUNS]   (default 200000 for each target; the
# builders are cheap and get five times as many, the relay half as many,
# and the whole daemon's loop a tenth)
#        scripts/fuzz.sh --build-only
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
install_missing "${BUILD_PACKAGES[@]}" "${FUZZ_PACKAGES[@]}"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
[ "${1:-}" != --build-only ] || exit 0
runs=${1:-200000}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for target in reply_reader answer_waits message_builders relay daemon; do
  n=$runs
  [ "$target" = message_builders ] && n=$((runs * 5))
  # The relay's runs are longer: whole conversations.
  [ "$target" = relay ] && n=$((runs / 2))
  [ "$target" = daemon ] && n=$((runs / 10))
  mkdir -p "$work/$target"
  echo "== fuzz_$target: $n runs"
  if ! build/fuzz/fuzz/fuzz_$target -runs="$n" -print_final_stats=1 \
    -artifact_prefix="$work/$target-" "$work/$target" "fuzz/corpus/$target" \
    >"$work/$target.log" 2>&1; then
    tail -40 "$work/$target.log"
    for crash in "$work/$target"-*; do
      [ -e "$crash" ] && { echo "input:"; od -An -tx1 "$crash"; }
    done
    echo "fuzz_$target found a fault" >&2
    exit 1
  fi
  grep -E '^(Done|stat::number_of_executed_units)' "$work/$target.log"
done
