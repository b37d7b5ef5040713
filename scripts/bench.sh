#!/usr/bin/env bash
# Benchmarks the probe against its floors and writes bench/RESULTS.md.
# Runs the real binaries against the simulated MCU in a private mount
# namespace, so it needs root. Not part of the test suite's pass or fail.
# Usage: scripts/bench.sh [RUNS [SILENT_RUNS]]   (default 20 and 5)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
enable_arch armhf
install_missing "${BUILD_PACKAGES[@]}" "${ARMHF_PACKAGES[@]}" strace
runs=${1:-20}
silent_runs=${2:-5}

for preset in bench armhf armhf-static; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target quelmar-mcu-probe >/dev/null
done
cmake --build --preset bench >/dev/null

stripped_size() { # STRIP BINARY
  local out
  out=$(mktemp)
  "$1" -o "$out" "$2"
  stat -c %s "$out"
  rm -f "$out"
}
host=$(stripped_size strip build/bench/probe/quelmar-mcu-probe)
dyn=$(stripped_size arm-linux-gnueabihf-strip build/armhf/probe/quelmar-mcu-probe)
static=$(stripped_size arm-linux-gnueabihf-strip build/armhf-static/probe/quelmar-mcu-probe)

table=$(build/bench/bench/quelmar-bench \
  --probe build/bench/probe/quelmar-mcu-probe \
  --plain build/bench/bench/quelmar-mcu-probe-plain \
  --runs "$runs" --silent-runs "$silent_runs" \
  --size "host $(dpkg --print-architecture)=$host" \
  --size "armhf dynamic=$dyn" --size "armhf static=$static")

{
  echo "# Benchmark results"
  echo
  echo "Made by \`scripts/bench.sh $runs $silent_runs\` on $(date -u +%Y-%m-%d)."
  echo
  echo "Machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'),"
  echo "$(nproc) cores, $(free -g | awk '/Mem:/ {print $2}') GiB, Linux $(uname -r),"
  echo "Debian $(cat /etc/debian_version), $(sed -n 1p <<<"$(g++ --version)")."
  echo
  echo "\"Tuned\" is the probe as shipped; \"plain\" is the same probe with usleep"
  echo "waits and the kernel's default timer slack. Time to version is measured"
  echo "from the probe's open of the pty (inotify) to the rename of the version"
  echo "file into place, with the MCU answering at once and both the inquiry"
  echo "and the reply paced at the real line rate."
  echo
  echo "$table"
} >bench/RESULTS.md
cat bench/RESULTS.md
