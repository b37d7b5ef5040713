# QEMU's xlnx-zcu102: a 64-bit ZynqMP with the same Cadence UARTs, running
# the board's 32-bit userland on Debian's stock arm64 kernel in compat
# mode. A real configuration too, kept beside the board's own SoC.
# Sourced by lib.sh.
machine_description="ZynqMP (xlnx-zcu102), Debian's arm64 kernel"
machine_qemu=(qemu-system-aarch64 -M xlnx-zcu102)
machine_memory=512M
machine_memory_systemd=2G
# Debian's kernel runs many more initcalls: on a host loaded with three
# package builds besides, it started init 32 s after QEMU started with the
# systemd image.
machine_stall_secs=90
machine_stall_silence=30

machine_kernel() {
  debian_arm64_kernel
}

# Debian's stock kernel, whose ABI is the one linux-image-arm64 currently
# points at, so it follows the archive. Its vmlinuz is already an
# uncompressed Image.
debian_arm64_kernel() {
  enable_arch arm64
  local abi deb dir
  # Taken whole and searched by sed alone, which stops at the first match:
  # under pipefail a producer cut off by head would count as a failure.
  abi=$(sed -n 's/^ *Depends: \(linux-image-.*-arm64\)\(:arm64\)\?$/\1/p; T; q' \
    <<<"$(apt_cache depends linux-image-arm64:arm64)")
  [ -n "$abi" ] || die "cannot tell the current arm64 kernel"
  deb=$(fetch_deb "$abi-unsigned:arm64")
  dir="$cache_dir/kernel/$(basename "$deb" .deb)"
  if [ ! -s "$dir/Image" ]; then
    local tmp
    tmp=$(mktemp -d)
    dpkg-deb -x "$deb" "$tmp"
    mkdir -p "$dir"
    cp "$tmp"/boot/vmlinuz-* "$dir/Image.new"
    rm -rf "$tmp"
    mv "$dir/Image.new" "$dir/Image"
  fi
  echo "$dir/Image"
}
