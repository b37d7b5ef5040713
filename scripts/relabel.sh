#!/usr/bin/env bash
# Makes "the previous release" for the upgrade tests out of this source's
# binary packages: each .deb of FROM/ARCH copied to TO/ARCH with its
# version, and the exact-version relations between our own packages (a
# -dbgsym package's Depends), set to VERSION. The upgrade tests check what
# the maintainer scripts do with the administrator's choice across an
# upgrade; the previous release's scripts and files are this source's
# either way, so building the source again under the old changelog entry
# would give the same packages under another number, at the cost of a
# whole build per architecture. TO/ARCH/source.manifest is FROM's with
# the release named, so a stale copy shows as one.
#
# Usage: scripts/relabel.sh VERSION FROM TO ARCH...
set -euo pipefail
[ $# -ge 4 ] || { echo "usage: $0 VERSION FROM TO ARCH..." >&2; exit 2; }
version=$1 from=$2 to=$3
shift 3
epoch=$(dpkg-parsechangelog -l "$(dirname "$0")/../debian/changelog" -STimestamp)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for arch in "$@"; do
  src="$from/$arch" dst="$to/$arch"
  debs=("$src"/*.deb)
  [ -s "$src/source.manifest" ] && [ -e "${debs[0]}" ] ||
    { echo "no upload in $src" >&2; exit 1; }
  rm -rf "$dst"
  mkdir -p "$dst"
  for deb in "${debs[@]}"; do
    rm -rf "$work/pkg"
    dpkg-deb -R "$deb" "$work/pkg"
    old=$(dpkg-deb -f "$deb" Version) name=$(dpkg-deb -f "$deb" Package)
    sed -i -e "s/^Version: .*/Version: $version/" \
      -e "/^\(Depends\|Pre-Depends\|Recommends\|Breaks\|Replaces\|Conflicts\):/ s/(= $old)/(= $version)/g" \
      "$work/pkg/DEBIAN/control"
    SOURCE_DATE_EPOCH=$epoch dpkg-deb --root-owner-group -b "$work/pkg" \
      "$dst/${name}_${version}_${arch}.deb" >/dev/null
  done
  sed "s/^release .*/release $version/" "$src/source.manifest" >"$dst/source.manifest"
  echo "$arch: ${#debs[@]} packages of $src relabelled $version in $dst"
done
