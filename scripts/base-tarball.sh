#!/usr/bin/env bash
# Prints the path of a clean Debian system for this machine's architecture
# and suite, as a gzip'd tarball: by default mmdebstrap's buildd variant
# (essential packages and build-essential), which sbuild (unshare mode)
# builds in and piuparts tests in; or minbase (essential packages and apt),
# a fresh machine for the README's commands. Made from the archive this
# machine's apt uses and nothing else; the build system leaves out the
# security suite, as Debian's own build systems do, since a cross build
# needs every architecture's index of every suite to agree (a mirror's
# armhf security index was seen out of step with its Release file for
# hours, and the armhf packages that only it holds then cannot be had).
# It is made once and cached with the board's cache, named after the
# sources and the versions of its main packages, so a change in the
# archive makes a new one. Each copy of it is unpacked, used once and
# thrown away, so its dpkg does not sync every file it writes
# (force-unsafe-io, kept in the system): what a sync guards against, a
# power cut, cannot harm it, and sbuild's cross build installs its tools
# in two thirds of the time.
#
# Usage: scripts/base-tarball.sh [buildd | minbase]   (as root)
set -euo pipefail
. "$(cd "$(dirname "$0")/.." && pwd)/board/lib.sh"
[ "$(id -u)" -eq 0 ] || die "needs root (mmdebstrap)"
install_missing "${ROOTFS_PACKAGES[@]}"

variant=${1:-buildd}
case $variant in buildd | minbase) ;; *) die "no such variant: $variant" ;; esac
. /etc/os-release
suite=$VERSION_CODENAME
arch=$(dpkg --print-architecture)
mapfile -t sources < <(archive_sources)
if [ "$variant" = buildd ]; then
  filtered=$(mktemp -d)
  trap 'rm -rf "$filtered"' EXIT
  for i in "${!sources[@]}"; do
    # Keep each file's name: mmdebstrap tells the two formats by it.
    out="$filtered/$i-$(basename "${sources[$i]}")"
    case ${sources[$i]} in
    # deb822: one paragraph a stanza.
    *.sources) awk 'BEGIN { RS = ""; ORS = "\n\n" } !/(^|\n)Suites:[^\n]*-security/' \
      "${sources[$i]}" >"$out" ;;
    *) grep -vE '^[[:space:]]*deb(-src)?[[:space:]].*-security' "${sources[$i]}" >"$out" || true ;;
    esac
    sources[$i]=$out
  done
fi
key=$(
  {
    echo "base-2 $variant $arch $suite"
    cat "${sources[@]}" </dev/null
    for p in libc6 base-files dpkg apt gcc-12 libstdc++6; do candidate "$p"; done
  } | sha256sum | cut -c1-16
)
tarball="$cache_dir/chroots/$suite-$arch-$variant-$key.tar.gz"
mkdir -p "$cache_dir/chroots"
# Tests that run side by side make it once.
exec 9>"$cache_dir/chroots/.lock"
flock 9
if [ ! -s "$tarball" ]; then
  echo "base-tarball: building the clean $suite $arch system (about a minute)" >&2
  # mmdebstrap picks the output's format by its name.
  partial="${tarball%.tar.gz}.partial.tar.gz"
  mmdebstrap --quiet --variant="$variant" --architectures="$arch" --mode=root \
    --dpkgopt=force-unsafe-io \
    "$suite" "$partial" "${sources[@]}" >&2 || die "mmdebstrap"
  mv "$partial" "$tarball"
fi
# A changed archive leaves the old system behind, 60 to 160 MB each: only
# the current one of each variant is kept.
for f in "$cache_dir/chroots/$suite-$arch-$variant-"*.tar.gz; do
  [ "$f" = "$tarball" ] || rm -f "$f"
done
echo "$tarball"
