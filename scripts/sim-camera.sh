#!/usr/bin/env bash
# A network camera on this machine: the simulated camera MCU on a
# pseudo-terminal and quelmar-visca-ipd in front of it, for trying a PTZ
# controller against. Prints where controllers should point, the MCU's
# traffic and the camera's state as they change, and the service's log;
# Ctrl-C stops both.
#
# Usage: scripts/sim-camera.sh [ADDRESS [UDP_PORT [TCP_PORT]]]
#   ADDRESS   where the service listens (default 127.0.0.1); an address of
#             this machine's, or 0.0.0.0 for every one
#   UDP_PORT  Sony's VISCA over IP (default 52381)
#   TCP_PORT  raw VISCA over TCP (default 5678)
# Further options for the simulator can be given in MCU_OPTIONS (see
# visca-mcu-sim --help), e.g. MCU_OPTIONS="--completion 81010602=3000".
set -euo pipefail
cd "$(dirname "$0")/.."
address=${1:-127.0.0.1}
udp_port=${2:-52381}
tcp_port=${3:-5678}
sim=build/default/sim/visca-mcu-sim
ipd=build/default/service/quelmar-visca-ipd
if [ ! -x "$sim" ] || [ ! -x "$ipd" ]; then
  . scripts/deps.sh
  install_missing "${BUILD_PACKAGES[@]}"
  cmake --preset default >/dev/null
  cmake --build --preset default --target visca-mcu-sim quelmar-visca-ipd >/dev/null
fi

dir=$(mktemp -d)
pids=()
stop() {
  trap - INT TERM EXIT
  local i
  # The service before its line, so that it does not report the line lost.
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[$i]}" 2>/dev/null || true
    wait "${pids[$i]}" 2>/dev/null || true
  done
  rm -rf "$dir"
}
trap 'stop; exit 0' INT TERM
trap stop EXIT

# Both write to this terminal: the simulator its pty's path, then the
# MCU's traffic and the camera's state; the service its log.
# shellcheck disable=SC2086 # MCU_OPTIONS is a list of words
"$sim" ${MCU_OPTIONS:-} --link "$dir/line" &
pids+=($!)
until [ -L "$dir/line" ]; do
  kill -0 "${pids[0]}" 2>/dev/null || exit 1
  sleep 0.05
done
"$ipd" --config /dev/null --line "$dir/line" --udp "$address:$udp_port" \
  --tcp "$address:$tcp_port" 2> >(tee "$dir/ipd.log" >&2) &
pids+=($!)
# The service says so once the line is set up and its sockets listen.
until grep -q "baud, 8N1" "$dir/ipd.log" 2>/dev/null; do
  kill -0 "${pids[1]}" 2>/dev/null || exit 1
  sleep 0.05
done
cat <<EOF
A simulated network camera is ready. Point controllers at:
  VISCA over IP (Sony's framing):  UDP $address:$udp_port
  raw VISCA:                       TCP $address:$tcp_port
What the MCU hears and answers, and the camera's state, follow. Ctrl-C stops it.
EOF
wait "${pids[@]}"
