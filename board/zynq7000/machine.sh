# The Zynq-7000, the board's own SoC: QEMU's xilinx-zynq-a9 machine with a
# 32-bit kernel built here from Debian's linux-source-6.1 (Debian's armmp
# kernel has neither ARCH_ZYNQ nor the xuartps driver). Sourced by lib.sh.
machine_description="Zynq-7000 (xilinx-zynq-a9), 32-bit kernel built here"
machine_qemu=(qemu-system-arm -M xilinx-zynq-a9)
# A 32-bit kernel has about 760 MiB of low memory; with HIGHMEM the
# systemd image, unpacked into RAM, fits in 1 GiB.
machine_memory=512M
machine_memory_systemd=1G
# The kernel's configuration: the fragments, in order, on allnoconfig.
machine_kernel_fragments=("$board_dir/zynq7000/kernel.config")

machine_kernel() {
  arm_zimage "${machine_kernel_fragments[@]}"
}
