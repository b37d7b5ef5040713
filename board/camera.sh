#!/usr/bin/env bash
# Boots the emulated board (the Zynq-7000, BusyBox) as a network camera and
# drives it from here with visca-send --udp: the probe and the service from
# this source's armhf packages, the simulated MCU on ttyPS1, the board's
# Ethernet on QEMU's user network with UDP 52381 and TCP 5678 forwarded to
# 127.0.0.1, all in a network namespace of its own.
#
# Usage: board/camera.sh [VISCA_SEND_ARGS...]
#   (default: the version inquiry "inquiry 00 02", then the zoom position
#   "inquiry 04 47", a zoom to 0x1000 "command 04 47 01 00 00 00" and the
#   zoom position again, which has moved)
# Each argument is one visca-send call, its words separated by spaces, sent
# with --udp 127.0.0.1 and a sequence number of its own; "--tcp ..." in one
# sends that one over TCP instead. Prints the replies, then the guest's
# console lines and the MCU's traffic. As root.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
[ "$(id -u)" -eq 0 ] || die "needs root (a network namespace, the board's image)"
cd "$project_dir"
out=$project_dir/build/camera
if [ -z "${QUELMAR_NETNS:-}" ]; then
  # Built outside the namespace, where the archive is reachable.
  install_missing "${BUILD_PACKAGES[@]}" "${ARMHF_PACKAGES[@]}" \
    "${PACKAGING_PACKAGES[@]}" "${BOARD_PACKAGES[@]}" "${KERNEL_PACKAGES[@]}"
  cmake --preset default >/dev/null
  cmake --build --preset default --target visca-send visca-mcu-sim >/dev/null
  rm -rf "$out"
  QUELMAR_PACKAGES_DIR="$out" DEB_BUILD_PROFILES=nocheck scripts/packages.sh armhf
  board/busybox-image.sh "$out"/armhf/quelmar-mcu-probe_*_armhf.deb \
    "$out"/armhf/quelmar-visca-ipd_*_armhf.deb "$out/busybox.cpio"
  load_machine "$default_machine"
  machine_kernel >/dev/null
fi
own_network_namespace "$0" "$@"

calls=("$@")
[ ${#calls[@]} -gt 0 ] ||
  calls=("inquiry 00 02" "inquiry 04 47" "command 04 47 01 00 00 00" "inquiry 04 47")
trap 'stop_board' EXIT
rm -f "$out/steer"
steered_boot "$out" --net 127.0.0.1 --mcu-log "$out/mcu.log" --timeout 300 \
  "$out/busybox.cpio" -- --speed 115200 --version 22
wait_said ready 300
seq=1
for call in "${calls[@]}"; do
  read -ra words <<<"$call"
  if [ "${words[0]}" = --tcp ]; then
    where=(--tcp 127.0.0.1) words=("${words[@]:1}")
  else
    where=(--udp 127.0.0.1 --seq "$seq")
  fi
  echo "\$ visca-send ${where[*]} ${words[*]}"
  build/default/tools/visca-send "${where[@]}" --timeout 10000 "${words[@]}" || true
  seq=$((seq + 1))
done
steer done
wait "$board_pid" || true
board_pid=
echo "-- the board's console"
grep -aE '^QUELMAR' "$out/console.log" | tr -d '\r'
echo "-- the MCU's traffic on ttyPS1"
tail -n +2 "$out/mcu.log"
