#!/usr/bin/env bash
# Builds the probe and runs it, as on the board, against the simulated MCU:
# once with an MCU at 115200 baud and once with one that answers only at
# 9600. Shows the bytes that crossed the line and the version file written.
# Then a command and an inquiry over UDP through the network camera's
# daemon to the simulated MCU, with both sides' bytes; and last the emulated
# board as a network camera (board/camera.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
install_missing "${BUILD_PACKAGES[@]}"

cmake --preset default >/dev/null
# What it shows, not the tests: those are the test command's.
cmake --build --preset default --target quelmar-mcu-probe visca-mcu-sim \
  visca-send quelmar-visca-ipd

sim=build/default/sim/visca-mcu-sim
probe=build/default/probe/quelmar-mcu-probe

echo
echo "== MCU answering at 115200 baud, version 22"
"$sim" --speed 115200 --version 22 -- "$probe"
echo
echo "== MCU answering only at 9600 baud, version -2 (0xFE)"
"$sim" --speed 9600 --version 254 -- "$probe"
echo
echo "== A command (zoom tele, 81 01 04 07 02 FF): acknowledged, completed 20 ms later"
"$sim" --gap 20 -- build/default/tools/visca-send command 04 07 02

echo
echo "== The network camera: quelmar-visca-ipd drives the simulated MCU, and"
echo "   visca-send talks to it over UDP (Sony's VISCA over IP, 127.0.0.1:52381)"
net=$(mktemp -d)
"$sim" --gap 20 --link "$net/ttyPS1" >"$net/mcu.log" &
sim_pid=$!
until grep -q /dev/pts "$net/mcu.log" 2>/dev/null; do sleep 0.05; done
build/default/service/quelmar-visca-ipd --config /dev/null --line "$net/ttyPS1" \
  --udp 127.0.0.1:52381 --tcp 127.0.0.1:5678 2>"$net/ipd.log" &
ipd_pid=$!
until grep -q "baud, 8N1" "$net/ipd.log" 2>/dev/null; do sleep 0.05; done
echo "-- the controller's side"
build/default/tools/visca-send --udp 127.0.0.1 --seq 1 command 04 07 02
build/default/tools/visca-send --udp 127.0.0.1 --seq 2 inquiry 00 02
kill "$ipd_pid" "$sim_pid"
wait "$ipd_pid" "$sim_pid" || true
echo "-- the MCU's side (the simulator's log)"
tail -n +2 "$net/mcu.log"
echo "-- the daemon's log"
cat "$net/ipd.log"
rm -rf "$net"

echo
echo "== The emulated board, a Zynq-7000 with its own 32-bit kernel, as a"
echo "   network camera: the armhf packages' probe and service, started by"
echo "   their init scripts under BusyBox, the probe first, on the board's UART"
echo "   driver (ttyPS1); a command and an inquiry from here over UDP through"
echo "   the board's Ethernet"
# On a first run the kernel's build stages come first ("board: ...").
board/camera.sh
