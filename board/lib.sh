# Shared by the board scripts: the cache, Debian packages fetched from the
# archive, the machines with their kernels and device trees, and running
# armhf programs through binfmt_misc. Sourced, not run.
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

# apt-cache, with a package cache kept in the board's cache. Where the
# system keeps none (Debian's container images turn it off), every call
# builds one from the lists afresh: 2 s of CPU here, some seventy times a
# test run. apt checks a kept one against the lists before it uses it, and
# replaces it whole (a rename), so side-by-side callers are safe.
apt_cache() {
  local keep=()
  if mkdir -p "$cache_dir/apt" 2>/dev/null && [ -w "$cache_dir/apt" ]; then
    keep=(-o "Dir::Cache::pkgcache=$cache_dir/apt/pkgcache.bin")
  fi
  apt-cache "${keep[@]}" "$@"
}

# The candidate version of a package, as apt would install it now.
candidate() {
  local v
  v=$(apt_cache policy "$1" | awk '/Candidate:/ { print $2 }')
  if [ -z "$v" ] || [ "$v" = "(none)" ]; then
    update_lists
    v=$(apt_cache policy "$1" | awk '/Candidate:/ { print $2 }')
  fi
  [ -n "$v" ] && [ "$v" != "(none)" ] || die "no package $1 in the archive"
  echo "$v"
}

# The files of this machine's apt sources, one a line: the archive as this
# machine reaches it, for the systems made here (mmdebstrap takes them).
archive_sources() {
  local f
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
    /etc/apt/sources.list.d/*.sources; do
    [ -s "$f" ] && echo "$f"
  done
  return 0
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

# The emulated machines: each folder beside this file that holds a
# machine.sh, which sets
#   machine_description    one line for people
#   machine_qemu           the QEMU command and machine (an array)
#   machine_memory         guest memory; machine_memory_systemd for systemd
#   machine_kernel()       prints the path of the kernel to boot, made or
#                          fetched into the cache on first use
# and may set machine_dts_dir, the folder of its board.dts and
# board-no-uart1.dts (default: its own), machine_stall_secs, how long its
# kernel may take to start init before boot.sh takes it for stalled
# (default 45), and machine_stall_silence, how long its console may be
# silent before that (default 15). The board's own SoC comes first.
default_machine=zynq7000

machines() {
  local f
  for f in "$board_dir"/*/machine.sh; do basename "$(dirname "$f")"; done
}

load_machine() {
  [ -f "$board_dir/$1/machine.sh" ] ||
    die "no machine $1 (machines: $(machines | tr '\n' ' '))"
  machine=$1
  machine_dts_dir=$board_dir/$1
  machine_stall_secs=45
  machine_stall_silence=15
  # shellcheck source=/dev/null
  . "$board_dir/$1/machine.sh"
}

# Compiles the machine's NAME.dts into OUT.
device_tree() {
  dtc -q -I dts -O dtb -o "$2" "$machine_dts_dir/$1.dts" || die "dtc $1"
}

# Prints the path of a 32-bit ARM zImage built from Debian's
# linux-source-6.1 with make allnoconfig and the given configuration
# fragments (applied in order). Cached under a key of the source package's
# version, the fragments and the cross compiler's version, so a change of
# any of them builds anew. Says what it does, a line per stage; the
# compiler's log is kept beside the kernel.
#
# Every kernel is built in one work tree kept in the cache (the unpacked
# source, about 1.5 GB, and one object folder), so that the next kernel
# compiles only what its configuration changes: the 2038 kernel, one
# option away from the Zynq-7000's, takes about 30 s instead of 6 min.
# Builds take turns on a lock; a new source or compiler replaces the tree.
arm_zimage() {
  install_missing "${KERNEL_PACKAGES[@]}"
  local source_version compiler tree_key key dir
  source_version=$(dpkg-query -W -f='${Version}' linux-source-6.1)
  compiler=$(sed -n 1p <<<"$(arm-linux-gnueabihf-gcc --version)")
  tree_key=$(echo "kernel-1 $source_version $compiler" | sha256sum | cut -c1-16)
  key=$(cat <(echo "kernel-1 $source_version $compiler") "$@" |
    sha256sum | cut -c1-16)
  dir="$cache_dir/kernel/zimage-6.1-$key"
  if [ ! -s "$dir/zImage" ]; then
    mkdir -p "$dir"
    (
      flock 9 || die "cannot lock the kernel work tree"
      # Another build may have made it while this one waited.
      [ -s "$dir/zImage" ] && exit 0
      local start=$SECONDS tree="$cache_dir/kernel/tree-6.1-$tree_key" f
      for f in "$cache_dir"/kernel/tree-6.1-*; do
        [ "$f" = "$tree" ] || rm -rf "$f"
      done
      if [ ! -d "$tree/linux-source-6.1" ]; then
        echo "board: kernel: unpacking linux-source-6.1 $source_version" \
          "(kept in the cache for the next kernel)" >&2
        rm -rf "$tree.new"
        mkdir -p "$tree.new"
        tar -C "$tree.new" -xf /usr/src/linux-source-6.1.tar.xz ||
          die "cannot unpack the kernel source"
        mv "$tree.new" "$tree"
      fi
      local make=(make -C "$tree/linux-source-6.1" O="$tree/out" ARCH=arm
        CROSS_COMPILE=arm-linux-gnueabihf- -j"$(nproc)")
      echo "board: kernel: configuring (allnoconfig and $# fragment(s))" >&2
      cat "$@" >"$tree/fragment"
      "${make[@]}" KCONFIG_ALLCONFIG="$tree/fragment" allnoconfig \
        >"$dir/build.log" 2>&1 || { tail -20 "$dir/build.log" >&2; die "kernel configuration"; }
      # Kconfig drops an option whose dependencies are missing, silently.
      # Each option's last setting in the fragments is the one that counts.
      local line
      while read -r line; do
        grep -qxF "$line" "$tree/out/.config" ||
          die "kernel configuration lacks: $line"
      done < <(awk '/^CONFIG_/ { split($0, a, "="); last[a[1]] = $0 }
        /^# CONFIG_.* is not set$/ { last[$2] = $0 }
        END { for (k in last) print last[k] }' "$tree/fragment")
      echo "board: kernel: compiling zImage (all of it on the first run," \
        "about 6 min on 2 cores; what the configuration changes after)" >&2
      "${make[@]}" zImage >>"$dir/build.log" 2>&1 ||
        { tail -40 "$dir/build.log" >&2; die "kernel build (log: $dir/build.log)"; }
      cp "$tree/out/.config" "$dir/config"
      cp "$tree/out/arch/arm/boot/zImage" "$dir/zImage.new"
      mv "$dir/zImage.new" "$dir/zImage"
      echo "board: kernel: built in $((SECONDS - start)) s ($dir)" >&2
    ) 9>"$cache_dir/kernel/.lock" || exit 1
  fi
  echo "$dir/zImage"
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
# an initramfs. Reproducibly: names in a fixed order, every time set to
# SOURCE_DATE_EPOCH (by default the project changelog's date, as for the
# packages), and no inode or device numbers of this machine.
pack_cpio() {
  local epoch=${SOURCE_DATE_EPOCH:-}
  [ -n "$epoch" ] || epoch=$(dpkg-parsechangelog -l "$project_dir/debian/changelog" -STimestamp) ||
    die "no date in debian/changelog"
  find "$1" -mindepth 1 -exec touch -h -d "@$epoch" {} + || die "touch"
  (cd "$1" && find . -mindepth 1 | LC_ALL=C sort |
    cpio -o -H newc --quiet --reproducible) >"$2.new" || die "cpio"
  mv "$2.new" "$2"
}

# A board steered from here over its console (boot.sh --steer), with its
# network camera reached through the forwarded ports. The caller runs in a
# network namespace of its own (own_network_namespace), so nothing but
# loopback is reachable from the guest or from here.
#   own_network_namespace "$0" "$@"   re-runs the calling script in one
#   steered_boot DIR BOOT_ARGS...      boots in the background: the console
#                                      in DIR/console.log, fd 3 its input
#   steer LINE                         a command to the guest
#   wait_said PATTERN SECONDS          until a "QUELMAR: PATTERN" line
#   stop_board                         ends boot.sh, QEMU and the MCU
own_network_namespace() {
  if [ -z "${QUELMAR_NETNS:-}" ]; then
    exec unshare --net env QUELMAR_NETNS=1 "$@"
  fi
  ip link set lo up || die "no loopback in the network namespace"
}

board_pid=
steered_boot() {
  local dir=$1
  shift
  board_console=$dir/console.log
  mkfifo "$dir/steer"
  # A process group of its own, so that stop_board ends all of it.
  setsid "$board_dir/boot.sh" --steer "$@" <"$dir/steer" >"$board_console" 2>&1 &
  board_pid=$!
  exec 3>"$dir/steer"
}

steer() { echo "$*" >&3; }

wait_said() {
  local start=$SECONDS
  until grep -aqE "^QUELMAR: $1" "$board_console"; do
    kill -0 "$board_pid" 2>/dev/null || die "the board stopped before saying: $1"
    ((SECONDS - start < $2)) || die "the board did not say within $2 s: $1"
    sleep 0.2
  done
}

stop_board() {
  [ -z "$board_pid" ] || kill -- "-$board_pid" 2>/dev/null || true
  board_pid=
}

# check_exposure DEB UNIT RATED LIMIT: the guest's systemd rated UNIT's
# sandbox RATED, which must be what systemd-analyze security makes of the
# unit packaged in DEB here, offline, and at most LIMIT.
check_exposure() {
  local dir offline
  dir=$(mktemp -d)
  dpkg-deb --fsys-tarfile "$1" | tar -C "$dir" -x "./lib/systemd/system/$2"
  offline=$(sed -n 's/^.*Overall exposure level for .*: \([0-9.]*\) .*$/\1/p' \
    <<<"$(systemd-analyze security --offline=true --no-pager "$dir/lib/systemd/system/$2" 2>&1)")
  rm -rf "$dir"
  [ -n "$offline" ] && [ "$3" = "$offline" ] ||
    die "$2: exposure $3 on the board, $offline offline"
  awk -v e="$offline" -v l="$4" 'BEGIN { exit !(e <= l) }' ||
    die "$2: exposure $offline, above $4"
  echo "board: $2: exposure $offline on the board and offline"
}
