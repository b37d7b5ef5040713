#!/usr/bin/env bash
# Benchmarks the probe against its floors, and the network camera's daemon
# against its goals (beside ser2net), and writes bench/RESULTS.md.
# Runs the real binaries against the simulated MCU in a private mount
# namespace, so it needs root. Not part of the test suite's pass or fail.
# Usage: scripts/bench.sh [RUNS [SILENT_RUNS]]   (default 20 and 5)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
enable_arch armhf
install_missing "${BUILD_PACKAGES[@]}" "${ARMHF_PACKAGES[@]}" strace ser2net
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

ipd_runs=2000
ipd_table=$(build/bench/bench/quelmar-ipd-bench \
  --ipd build/bench/service/quelmar-visca-ipd --ser2net "$(command -v ser2net)" \
  --runs "$ipd_runs")

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
  echo
  echo "## The network camera"
  echo
  echo "quelmar-visca-ipd against the simulated MCU on a pty, answering at once"
  echo "(latency) or at the wire time of 115200 baud (commands per second),"
  echo "in one run of quelmar-ipd-bench: $ipd_runs exchanges each over UDP, over"
  echo "TCP and through ser2net (Debian's, with its default settings and with"
  echo "its character delay off, as one tuned for latency runs), and a quarter"
  echo "as many of the controller's own exchange on the same line, and of UDP"
  echo "exchanges while a TCP controller floods (sending commands as fast as"
  echo "its socket takes them, reading its replies)."
  echo "Commands per second: four UDP controllers, each sending its next"
  echo "command when the last completed, for 2 s, five times; VISCA lets one message await"
  echo "its first reply, so the wire allows 1000 / ((6 + 3) × 10 / 115.2) ="
  echo "1280 commands per second (the command out and its acknowledgement back;"
  echo "the completion goes back while the next command comes in). The rate"
  echo "with no daemon, a loop on the line itself that writes each command as"
  echo "the last one's ACK is read, is what the simulator's pacing and the pty"
  echo "allow: the rest of the way to the wire's rate is lost outside the daemon."
  echo
  echo "$ipd_table"
} >bench/RESULTS.md
cat bench/RESULTS.md
