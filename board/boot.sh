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
# timeout stopped it. A kernel that has not started init in time (45 s
# after QEMU started, 90 s on the zcu102), or whose console fell silent
# before it did (15 s, 30 s on the zcu102: a stall, see below), is booted
# once more, and standard error says so.
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

# A kernel that stalls before it starts init is booted once more, and the
# test command counts it. The stalls seen were the Zynq-7000's timer
# interrupt lost on an edge, which its device tree now mends (see
# board.dts): the kernel then waited for good in WFI with jiffies frozen,
# before init, in any image. This stays so that a new one is seen, named
# and costs one boot, not a test's whole guard. Every kernel here
# prints this line once it hands over to init, within seconds: on a host
# loaded with three package builds besides, the Zynq-7000's 16 s after
# QEMU started with the systemd image (which QEMU loads whole first), and
# 7.5 s with BusyBox's. Waiting about three times that (the machine's
# machine_stall_secs) keeps what a stall costs low. A stalled kernel has
# printed its lines and falls silent, while a booting one is never silent
# for long once it has begun to print: 1.6 s at most on the Zynq-7000 and
# 3.1 s on the zcu102, measured beside two other boots (the initramfs
# unpacking). The machine's machine_stall_silence, about ten times that,
# takes a stall for one sooner.
started_init='Freeing unused kernel'
# Shorter only to test this:
stall_secs=${QUELMAR_STALL_SECS:-$machine_stall_secs}
stall_silence=${QUELMAR_STALL_SILENCE:-$machine_stall_silence}

# watch_console PIDFILE: passes the console through; if the kernel has not
# started init within stall_secs, or has printed nothing for stall_silence
# since its last line before that, ends QEMU and leaves $work/stalled.
watch_console() {
  local line left rc seen=0 deadline=$((SECONDS + stall_secs)) wait=$stall_secs
  while :; do
    rc=0
    if [ "$seen" -eq 1 ]; then
      IFS= read -r line || rc=$?
    elif left=$((deadline - SECONDS)) && [ "$left" -gt 0 ]; then
      [ "$wait" -le "$left" ] || wait=$left
      IFS= read -r -t "$wait" line || rc=$?
      wait=$stall_silence
    else
      rc=142
    fi
    if [ "$rc" -gt 128 ]; then # timed out: the stall
      : >"$work/stalled"
      kill "$(cat "$1" 2>/dev/null)" 2>/dev/null || true
      cat >/dev/null
      return 0
    fi
    if [ "$rc" -ne 0 ]; then # the console's end, and what it held
      [ -z "$line" ] || printf '%s' "$line"
      return 0
    fi
    printf '%s\n' "$line"
    [[ "$line" != *"$started_init"* ]] || seen=1
  done
}

status=0
for attempt in 1 2; do
  rm -f "$work/stalled" "$work/qemu.pid" "$work/status"
  # The guests end with a reboot, which -no-reboot turns into QEMU's exit:
  # the Zynq-7000 cannot power off.
  qemu=("${limit[@]}" "${machine_qemu[@]}" -m "$memory"
    -kernel "$kernel" -dtb "$work/board.dtb" "${root[@]}"
    -append "$cmdline" -display none -monitor none -nodefaults -no-reboot
    -pidfile "$work/qemu.pid" "${console[@]}" "${serial1[@]}" "${nic[@]}")
  if [ "$shell" -eq 1 ]; then
    "${qemu[@]}" <"$input" || status=$?
    break
  fi
  { "${qemu[@]}" <"$input" || echo $? >"$work/status"; } | watch_console "$work/qemu.pid"
  status=$(cat "$work/status" 2>/dev/null || echo 0)
  [ -e "$work/stalled" ] || break
  if [ "$attempt" -eq 1 ]; then
    echo "board: the kernel had not started init $stall_secs s after QEMU" \
      "started, or fell silent for $stall_silence s before (a stall): booting" \
      "again, once" >&2
  else
    echo "board: the kernel stalled before starting init again" >&2
    status=124
  fi
done
exit "$status"
