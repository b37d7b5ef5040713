#!/usr/bin/env bash
# Builds the Debian packages the way Debian builds them: dpkg-buildpackage
# on a clean copy of the source, natively for this machine and cross for a
# foreign architecture (with the cross build profile, as sbuild gives it).
# Each architecture gets a folder of its own, build/packages/ARCH (or
# $QUELMAR_PACKAGES_DIR/ARCH), holding a whole upload: the source package
# (.dsc, .tar.xz), the binary packages and their -dbgsym packages, the
# .buildinfo and the .changes. The log is build.log there, and
# source.manifest says what source it was built from: a digest of every
# file, and the release.
#
# Usage: scripts/packages.sh [--source | ARCH...]
#        scripts/packages.sh --manifest
#   --manifest         print the manifest this source would be built with
#   (default: this machine's architecture, and armhf)
#   --source           build the source package alone, into .../source
# DEB_BUILD_PROFILES and DEB_BUILD_OPTIONS pass through; nocheck in either
# skips the tests that the package build runs, and parallel= (every core
# by default) sets the build's jobs.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
. "$src/scripts/deps.sh"
native=$(dpkg --print-architecture)
source_only=0 manifest_only=0
if [ "${1:-}" = --manifest ]; then
  manifest_only=1
  shift
fi
if [ "${1:-}" = --source ]; then
  source_only=1
  shift
fi
arches=("$@")
[ ${#arches[@]} -gt 0 ] || arches=("$native" armhf)
[ "$source_only" -eq 0 ] || arches=(source)
out=${QUELMAR_PACKAGES_DIR:-$src/build/packages}
install_missing "${PACKAGING_PACKAGES[@]}"
for arch in "${arches[@]}"; do
  [ "$arch" = "$native" ] || [ "$arch" = source ] || {
    enable_arch "$arch"
    install_missing "crossbuild-essential-$arch"
  }
done

# What the source package holds: what git tracks (and would track), or,
# outside a checkout, the tree without its build folders. The folders it
# makes get the modes git would give them, whatever the caller's umask:
# dpkg-source packs the modes it finds.
copy_source() {
  umask 022
  mkdir -p "$1"
  if git -C "$src" rev-parse --git-dir >/dev/null 2>&1; then
    git -C "$src" ls-files -z -co --exclude-standard |
      tar -C "$src" --null -T - -cf - | tar -C "$1" -xf -
  else
    tar -C "$src" --exclude=./build --exclude=./.git --exclude='./obj-*' \
      -cf - . | tar -C "$1" -xf -
  fi
}

# What a build of this source holds, file by file: it tells a fresh upload
# from a stale one by content, in a checkout or not.
manifest() {
  local tmp
  tmp=$(mktemp -d)
  copy_source "$tmp/src"
  (cd "$tmp/src" && find . -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum)
  echo "release current"
  rm -rf "$tmp"
}
if [ "$manifest_only" -eq 1 ]; then
  manifest
  exit 0
fi

version=$(dpkg-parsechangelog -l "$src/debian/changelog" -SVersion)
source_manifest=$(manifest)
for arch in "${arches[@]}"; do
  start=$(date +%s)
  dir="$out/$arch"
  rm -rf "$dir"
  copy_source "$dir/quelmar-mcu-probe-$version"
  args=(-us -uc)
  profiles=${DEB_BUILD_PROFILES:-}
  if [ "$arch" = source ]; then
    args+=(-S)
  elif [ "$arch" != "$native" ]; then
    args+=("-a$arch")
    profiles="cross${profiles:+ $profiles}"
  fi
  [ -z "$profiles" ] || args+=("-P${profiles// /,}")
  # debhelper copies nocheck from the profiles into the options anyway.
  options=${DEB_BUILD_OPTIONS:-}
  if grep -qw nocheck <<<"$profiles" && ! grep -qw nocheck <<<"$options"; then
    options="nocheck${options:+ $options}"
  fi
  # debhelper builds with one job unless told: every core, unless the
  # caller says otherwise.
  grep -q 'parallel=' <<<"$options" || options="parallel=$(nproc)${options:+ $options}"
  (cd "$dir/quelmar-mcu-probe-$version" &&
    DEB_BUILD_OPTIONS=$options dpkg-buildpackage "${args[@]}") \
    >"$dir/build.log" 2>&1 ||
    { tail -40 "$dir/build.log"; echo "dpkg-buildpackage for $arch failed; log: $dir/build.log" >&2; exit 1; }
  rm -rf "$dir/quelmar-mcu-probe-$version"
  echo "$source_manifest" >"$dir/source.manifest"
  took="in $dir ($(($(date +%s) - start)) s)"
  if [ "$arch" = source ]; then
    echo "source: the source package $took"
  else
    echo "$arch: the source package and $(cd "$dir" && ls | grep -c '\.deb$') binary packages $took"
  fi
done
