# The Zynq-7000 with a kernel built for 2038: COMPAT_32BIT_TIME off, so
# the 32-bit time system calls fail with ENOSYS and only the 64-bit ones
# remain. A probe that sleeps with a 32-bit call loses every pause here.
# Sourced by lib.sh.
. "$board_dir/zynq7000/machine.sh"
machine_description="Zynq-7000 (xilinx-zynq-a9), kernel without 32-bit time calls"
machine_dts_dir=$board_dir/zynq7000
machine_kernel_fragments+=("$board_dir/zynq7000-y2038/kernel.config")
