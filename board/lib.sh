# Shared by the board scripts: the cache, Debian packages fetched from the
# archive, the kernel, the device trees and running armhf programs through
# binfmt_misc. Sourced, not run.
#
# Everything the emulated board is made of comes from Debian's archive.
# What is slow to make is cached under QUELMAR_BOARD_CACHE (default
# /var/cache/quelmar-board), named after what went into it, so a second run
# reuses it and a change of any input makes a new entry. Without a cache
# everything is fetched and made afresh.

board_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
project_dir=$(dirname "$board_dir")
cache_dir=${QUELMAR_BOARD_CACHE:-/var/cache/quelmar-board}

# shellcheck source=../scripts/deps.sh
. "$project_dir/scripts/deps.sh"

die() {
  echo "board: $*" >&2
  exit 1
}

# The candidate version of a package, as apt would install it now.
candidate() {
  local v
  v=$(apt-cache policy "$1" | awk '/Candidate:/ { print $2 }')
  if [ -z "$v" ] || [ "$v" = "(none)" ]; then
    apt-get update -qq
    v=$(apt-cache policy "$1" | awk '/Candidate:/ { print $2 }')
  fi
  [ -n "$v" ] && [ "$v" != "(none)" ] || die "no package $1 in the archive"
  echo "$v"
}

# Prints the path of NAME:ARCH's current .deb, fetched into the cache if
# it is not there yet. The file name carries the version, so it is its own
# cache key.
fetch_deb() {
  local pkg=$1 name=${1%%:*} arch=${1#*:} version file
  version=$(candidate "$pkg")
  file="$cache_dir/debs/${name}_${version//:/%3a}_${arch}.deb"
  if [ ! -s "$file" ]; then
    mkdir -p "$cache_dir/debs"
    local tmp
    tmp=$(mktemp -d "$cache_dir/debs/.fetch.XXXXXX")
    chmod 755 "$tmp" # apt's sandbox user writes there
    (cd "$tmp" && apt-get download -qq -o APT::Sandbox::User=root \
      "$name:$arch=$version") >&2 ||
      die "cannot download $pkg $version"
    mv "$tmp"/*.deb "$file"
    rmdir "$tmp"
  fi
  echo "$file"
}

# Prints the path of the arm64 kernel Image: Debian's stock kernel, whose
# ABI is the one linux-image-arm64 currently points at, so it follows the
# archive. Its vmlinuz is already an uncompressed Image.
kernel_image() {
  enable_arch arm64
  local abi deb dir
  # Taken whole and searched by sed alone, which stops at the first match:
  # under pipefail a producer cut off by head would count as a failure.
  abi=$(sed -n 's/^ *Depends: \(linux-image-.*-arm64\)\(:arm64\)\?$/\1/p; T; q' \
    <<<"$(apt-cache depends linux-image-arm64:arm64)")
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

# Compiles board/NAME.dts into OUT.
device_tree() {
  dtc -q -I dts -O dtb -o "$2" "$board_dir/$1.dts" || die "dtc $1"
}

# Makes armhf programs run on this machine for mmdebstrap and dpkg in a
# chroot: a static qemu-arm registered with binfmt_misc's F flag, so the
# kernel opens it once and a chroot needs no copy. Debian's qemu-user-binfmt
# registers a dynamic qemu-arm without F, and qemu-user-static conflicts
# with qemu-user, so the static binary is taken from its package. The entry
# must be named qemu-arm: that is where mmdebstrap looks for the F flag.
enable_armhf_binfmt() {
  local fs=/proc/sys/fs/binfmt_misc
  [ -e "$fs/register" ] || mount -t binfmt_misc binfmt_misc "$fs" ||
    die "cannot mount binfmt_misc"
  if [ -e "$fs/qemu-arm" ]; then
    grep -q '^flags:.*F' "$fs/qemu-arm" && return 0
    echo -1 >"$fs/qemu-arm" # without F it fails in a chroot
  fi
  local deb qemu="$cache_dir/qemu-arm-static"
  deb=$(fetch_deb "qemu-user-static:$(dpkg --print-architecture)")
  if [ ! -x "$qemu" ] || [ "$deb" -nt "$qemu" ]; then
    local tmp
    tmp=$(mktemp -d)
    dpkg-deb -x "$deb" "$tmp"
    cp "$tmp/usr/bin/qemu-arm-static" "$qemu.new"
    rm -rf "$tmp"
    mv "$qemu.new" "$qemu"
  fi
  # An armhf ELF executable or shared object.
  printf '%s' ':qemu-arm:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x28\x00:\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$qemu"':F' \
    >"$fs/register" || die "cannot register qemu-arm with binfmt_misc"
}

# Packs the folder ROOT into the newc cpio OUT, the form the kernel takes as
# an initramfs.
pack_cpio() {
  (cd "$1" && find . -mindepth 1 | LC_ALL=C sort | cpio -o -H newc --quiet) >"$2.new" ||
    die "cpio"
  mv "$2.new" "$2"
}
