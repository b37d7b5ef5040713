#!/usr/bin/env bash
# Builds the probe and runs it, as on the board, against the simulated MCU:
# once with an MCU at 115200 baud and once with one that answers only at
# 9600. Shows the bytes that crossed the line and the version file written.
# Then the network camera on this machine: a zoom and the zoom position
# before and after it, over UDP through the service to the simulated
# camera, with both sides' bytes; and last the emulated board as a network
# camera (board/camera.sh).
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
echo "== The network camera on this machine (scripts/sim-camera.sh): the"
echo "   simulated camera behind quelmar-visca-ipd; visca-send talks to it over"
echo "   UDP (Sony's VISCA over IP, 127.0.0.1:52381). The zoom's position, then"
echo "   a zoom to 0x1000 (completed when the lens gets there), then the"
echo "   position again"
net=$(mktemp -d)
scripts/sim-camera.sh 127.0.0.1 >"$net/camera.log" 2>&1 &
camera_pid=$!
until grep -q "Point controllers at" "$net/camera.log" 2>/dev/null; do
  kill -0 "$camera_pid" 2>/dev/null || { cat "$net/camera.log"; exit 1; }
  sleep 0.05
done
echo "-- the controller's side"
send() { build/default/tools/visca-send --udp 127.0.0.1 "$@"; }
send --seq 1 inquiry 04 47
send --seq 2 command 04 47 01 00 00 00
send --seq 3 inquiry 04 47
kill -TERM "$camera_pid" # as Ctrl-C does; a background job ignores SIGINT
wait "$camera_pid"
echo "-- the camera's side (scripts/sim-camera.sh's output, until it was stopped)"
cat "$net/camera.log"
rm -rf "$net"

echo
echo "== The emulated board, a Zynq-7000 with its own 32-bit kernel, as a"
echo "   network camera: the armhf packages' probe and service, started by"
echo "   their init scripts under BusyBox, the probe first, on the board's UART"
echo "   driver (ttyPS1); from here over UDP through the board's Ethernet, the"
echo "   version, the zoom's position, a zoom to 0x1000, and the position again"
# On a first run the kernel's build stages come first ("board: ...").
board/camera.sh
