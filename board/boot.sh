#!/usr/bin/env bash
# Boots the emulated board: by default the board's own SoC, QEMU's
# xilinx-zynq-a9 (a Zynq-7000) with a 32-bit kernel built here, or another
# machine of board/ (zcu102: the 64-bit ZynqMP on Debian's arm64 kernel),
# with an image from busybox-image.sh or systemd-image.sh, its UART0
# (ttyPS0) as the console and its UART1 (ttyPS1) wired to a simulated
# camera MCU on a pseudo-terminal. QEMU passes the guest's line settings
# on to that pty, so the MCU sees the speed and framing the board's UART
# driver programmed.
#
# Usage: boot.sh [options] IMAGE.cpio|IMAGE.img [-- MCU_OPTIONS...]
#   IMAGE.cpio is booted as an initramfs, in RAM; IMAGE.img (an ext4 file
#   system from systemd-image.sh) as the SD card the root is mounted from,
#   which keeps what the guest changed for the next boot.
#   --machine NAME   zynq7000 (default), zcu102, zynq7000-y2038: a folder
#                    of board/ with a machine.sh
#   --no-uart        a device tree without UART1: no ttyPS1, no MCU
#   --memory SIZE    guest memory (default: the machine's)
#   --append ARGS    more kernel arguments
#   --mcu-log FILE   write the MCU's traffic there (default: standard error)
#   --net ADDR       the board's Ethernet on QEMU's user network (the guest
#                    is 10.0.2.15, the host 10.0.2.2), with the network
#                    camera's ports forwarded from ADDR, a loopback address:
#                    UDP 52381 and TCP 5678. Only inside a network namespace
#                    that has nothing but loopback (unshare --net), so the
#                    guest reaches nothing outside: QEMU's own restriction
#                    (restrict=on) drops every UDP datagram from the guest,
#                    the replies to forwarded ones too.
#   --steer          the console's input is standard input, and the guest
#                    (kernel argument quelmar.steer) takes commands from it
#                    once booted (else: no input, or the terminal with
#                    --shell)
#   --sim PATH       the simulator (default build/default/sim/visca-mcu-sim)
#   --shell          keep the guest up with a shell on this terminal
#   --timeout SECS   stop QEMU after this long (default 600; 0: never)
# MCU_OPTIONS go to visca-mcu-sim (--speed, --version, --script, --noise...).
#
# The console goes to standard output. Exit status: QEMU's, or 124 when the
# timeout stopped it.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

no_uart=0 memory="" append="" mcu_log="" shell=0 timeout=600 net="" steer=0
sim="$project_dir/build/default/sim/visca-mcu-sim"
while [ $# -gt 0 ]; do
  case "$1" in
  --machine) machine_name=$2; shift ;;
  --no-uart) no_uart=1 ;;
  --memory) memory=$2; shift ;;
  --append) append=$2; shift ;;
  --mcu-log) mcu_log=$2; shift ;;
  --net) net=$2; shift ;;
  --steer) steer=1 ;;
  --sim) sim=$2; shift ;;
  --shell) shell=1 ;;
  --timeout) timeout=$2; shift ;;
  --help)
    sed -n '2,/^set -euo/{/^set -euo/d; s/^# \{0,1\}//; p}' "$0"
    exit 0
    ;;
  --) shift; break ;;
  -*) die "unknown option $1" ;;
  *) [ -z "${image:-}" ] || die "one image only"; image=$1 ;;
  esac
  shift
done
[ -n "${image:-}" ] || die "usage: boot.sh [options] IMAGE.cpio|IMAGE.img [-- MCU_OPTIONS...]"
[ -f "$image" ] || die "no image $image"
install_missing "${BOARD_PACKAGES[@]}"
load_machine "${machine_name:-$default_machine}"
[ -n "$memory" ] || memory=$machine_memory

work=$(mktemp -d)
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

kernel=$(machine_kernel)
echo "board: booting $machine_description" >&2
serial1=(-serial null)
if [ "$no_uart" -eq 1 ]; then
  device_tree board-no-uart1 "$work/board.dtb"
else
  device_tree board "$work/board.dtb"
  [ -x "$sim" ] || die "no simulator at $sim (build the default preset)"
  if [ -n "$mcu_log" ]; then
    "$sim" --link "$work/mcu" "$@" >"$mcu_log" 2>&1 &
  else
    "$sim" --link "$work/mcu" "$@" >&2 &
  fi
  sim_pid=$!
  # The link is made once the MCU serves; wait for it, not for a time.
  while [ ! -L "$work/mcu" ]; do
    kill -0 "$sim_pid" 2>/dev/null || die "the simulator did not start"
    sleep 0.05
  done
  # -serial takes only /dev paths; a chardev takes any.
  serial1=(-chardev "serial,id=mcu,path=$work/mcu" -serial chardev:mcu)
fi

cmdline="console=ttyPS0,115200n8 $append"
case "$image" in
*.img)
  root=(-drive "if=sd,index=0,format=raw,file=$image")
  cmdline="$cmdline root=/dev/mmcblk0 rootwait rw"
  ;;
*) root=(-initrd "$image") ;;
esac
if [ "$shell" -eq 1 ]; then
  cmdline="$cmdline quelmar.shell"
  console=(-serial mon:stdio)
  input=/dev/stdin
elif [ "$steer" -eq 1 ]; then
  cmdline="$cmdline quelmar.steer"
  console=(-serial stdio)
  input=/dev/stdin
else
  console=(-serial stdio)
  input=/dev/null
fi
# No NIC at all unless asked: -nodefaults leaves the GEM unconnected.
nic=()
if [ -n "$net" ]; then
  others=$(ip -o link show | awk -F': ' '$2 != "lo" { print $2 }')
  [ -z "$others" ] ||
    die "--net needs a network namespace with loopback alone (unshare --net); here: $(echo $others)"
  nic=(-nic "user,net=10.0.2.0/24,host=10.0.2.2,hostfwd=udp:$net:52381-10.0.2.15:52381,hostfwd=tcp:$net:5678-10.0.2.15:5678")
fi
limit=()
[ "$timeout" -gt 0 ] && limit=(timeout --foreground "$timeout")

status=0
# The guests end with a reboot, which -no-reboot turns into QEMU's exit:
# the Zynq-7000 cannot power off.
"${limit[@]}" "${machine_qemu[@]}" -m "$memory" \
  -kernel "$kernel" -dtb "$work/board.dtb" "${root[@]}" \
  -append "$cmdline" -display none -monitor none -nodefaults -no-reboot \
  "${console[@]}" "${serial1[@]}" "${nic[@]}" <"$input" || status=$?
exit "$status"
