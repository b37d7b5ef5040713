#!/usr/bin/env bash
# Prints the path of a clean Debian system for this machine's architecture
# and suite, as a gzip'd tarball that sbuild (unshare mode) builds in and
# piuparts tests in: mmdebstrap's buildd variant (essential packages and
# build-essential), made from the archive this machine's apt uses and
# nothing else. It is made once and cached with the board's cache, named
# after the sources and the versions of its main packages, so a change in
# the archive makes a new one.
#
# Usage: scripts/base-tarball.sh   (as root)
set -euo pipefail
. "$(cd "$(dirname "$0")/.." && pwd)/board/lib.sh"
[ "$(id -u)" -eq 0 ] || die "needs root (mmdebstrap)"
install_missing "${ROOTFS_PACKAGES[@]}"

. /etc/os-release
suite=$VERSION_CODENAME
arch=$(dpkg --print-architecture)
mapfile -t sources < <(archive_sources)
key=$(
  {
    echo "base-1 buildd $arch $suite"
    cat "${sources[@]}" </dev/null
    for p in libc6 base-files dpkg apt gcc-12 libstdc++6; do candidate "$p"; done
  } | sha256sum | cut -c1-16
)
tarball="$cache_dir/chroots/$suite-$arch-buildd-$key.tar.gz"
mkdir -p "$cache_dir/chroots"
# Tests that run side by side make it once.
exec 9>"$cache_dir/chroots/.lock"
flock 9
if [ ! -s "$tarball" ]; then
  echo "base-tarball: building the clean $suite $arch system (about a minute)" >&2
  # mmdebstrap picks the output's format by its name.
  partial="${tarball%.tar.gz}.partial.tar.gz"
  mmdebstrap --quiet --variant=buildd --architectures="$arch" --mode=root \
    "$suite" "$partial" "${sources[@]}" >&2 || die "mmdebstrap"
  mv "$partial" "$tarball"
fi
echo "$tarball"
