# Installs, with apt-get, the Debian packages named as arguments that are
# not installed yet. A foreign package (libc6:armhf) brings its
# architecture in first, so no caller can ask for one too early. Sourced by
# the other scripts.
install_missing() {
  local missing=() archs=()
  local pkg
  for pkg in "$@"; do
    # Here-strings, not pipes into grep -q: under pipefail the producer's
    # SIGPIPE would count as a failure.
    grep -q 'install ok installed' \
      <<<"$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null)" ||
      missing+=("$pkg")
    case $pkg in *:*) archs+=("${pkg#*:}") ;; esac
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  local arch added=()
  for arch in "${archs[@]}"; do
    if ! known_arch "$arch"; then
      dpkg --add-architecture "$arch"
      added+=("$arch")
    fi
  done
  # The lists are fetched once every architecture is in, so that they name
  # them all; and only when needed: an architecture is new, there are no
  # lists yet, or the ones there are older than the archive (the install
  # fails). Each fetch is one more chance to meet a mirror mid-sync.
  if [ ${#added[@]} -gt 0 ] || ! have_lists; then
    update_lists
  fi
  local err
  if ! err=$(apt-get install -y -qq --no-install-recommends "${missing[@]}" 2>&1 >/dev/null); then
    update_lists
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
  [ ${#added[@]} -eq 0 ] || echo "Added the architectures: ${added[*]}"
}

have_lists() { compgen -G '/var/lib/apt/lists/*_Packages*' >/dev/null; }

# Fetches apt's lists. A mirror caught mid-sync ("File has unexpected size
# ... Mirror sync in progress?") fails for a while, then mends itself: three
# tries, 20 s apart; after that, lists fetched before still serve.
update_lists() {
  local try
  for try in 1 2 3; do
    apt-get update -qq && return 0
    [ "$try" -eq 3 ] || {
      echo "apt-get update failed: trying again in 20 s" >&2
      sleep 20
    }
  done
  have_lists || return 1
  echo "apt-get update failed three times: going on with the lists there are" >&2
}

# Whether dpkg knows the architecture (the native one, or a foreign one).
known_arch() {
  [ "$1" = "$(dpkg --print-architecture)" ] ||
    grep -qx "$1" <<<"$(dpkg --print-foreign-architectures)"
}

# Foreign packages come from Debian's multiarch archive: armhf for the
# runtime qemu runs the board's binaries with, arm64 for the emulated
# board's kernel. For callers that need an architecture without installing
# a package of it (cross builds, mmdebstrap).
enable_arch() {
  if ! known_arch "$1"; then
    dpkg --add-architecture "$1"
    update_lists
  fi
}

BUILD_PACKAGES=(cmake ninja-build g++ libgtest-dev libgmock-dev googletest dpkg-dev)
# dpkg-buildpackage checks for build-essential whatever the compiler.
PACKAGING_PACKAGES=(build-essential dpkg-dev debhelper)
# What the package tests check the uploads with, which building them does
# not need: the demo's board gets its packages without them.
PACKAGE_CHECK_PACKAGES=(lintian systemd pkg-config elfutils gdb-multiarch)
# The packages tried in clean systems: sbuild (unshare mode), piuparts, and
# the local repository of the previous release.
CLEAN_ROOM_PACKAGES=(mmdebstrap sbuild uidmap piuparts apt-utils)
FUZZ_PACKAGES=(clang libclang-rt-14-dev)
# The system-call fault sweeps (procps for pgrep) and the coverage report.
FAULT_PACKAGES=(strace gcovr procps)
ARMHF_PACKAGES=(g++-arm-linux-gnueabihf qemu-user libc6:armhf libstdc++6:armhf)
# The emulated board, and the Debian system its systemd image boots.
BOARD_PACKAGES=(qemu-system-arm device-tree-compiler cpio e2fsprogs iproute2)
ROOTFS_PACKAGES=(mmdebstrap arch-test)
# The board's own kernel, built from Debian's kernel source.
KERNEL_PACKAGES=(linux-source-6.1 gcc-arm-linux-gnueabihf make bc bison flex
  libssl-dev xz-utils)
