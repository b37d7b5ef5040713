#!/usr/bin/env bash
# Builds this source's Debian packages twice for each architecture named,
# as Debian builds them (scripts/packages.sh), and checks that the two
# builds are the same to the byte, though they differ in folder, time (a
# minute apart at least), umask, locale and time zone: every file of the
# two uploads but the .buildinfo and .changes, and the checksums that the
# two .buildinfo files record. On a difference it shows diffoscope's
# report of the pair.
#
# Usage: reproducible_test.sh ARCH...               both builds, then compare
#        reproducible_test.sh first DIR ARCH...     build 1 only, into DIR
#        reproducible_test.sh second DIR ARCH...    build 2, compared with
#                                                   the build 1 in DIR
# Build 1's uploads serve the other package tests too, so the suite makes
# them once (first), and this test then makes only the second.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
mode=both one=
case "${1:-}" in
first | second) mode=$1 one=$(mkdir -p "$2" && cd "$2" && pwd) && shift 2 ;;
esac
arches=("$@")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
[ -n "$one" ] || one="$work/one"
. "$src/tests/lib.sh"

# build N: one build of every architecture's packages, in build N's own
# conditions.
build() {
  local n=$1 out
  if [ "$n" = 1 ]; then
    out=$one
  else
    out="$work/build-number-two/elsewhere"
  fi
  (
    if [ "$n" = 1 ]; then
      umask 022
      export LC_ALL=C.UTF-8 TZ=UTC
    else
      umask 077
      export LC_ALL=C TZ=NPT-05:45
    fi
    QUELMAR_PACKAGES_DIR=$out DEB_BUILD_PROFILES=nocheck \
      "$src/scripts/packages.sh" "${arches[@]}"
  ) >"$work/build-$n.log" 2>&1 || { tail -40 "$work/build-$n.log"; fail "build $n"; }
  date +%s >"$out/build.done"
}

# The checksums a .buildinfo records, one "sum size name" line each.
recorded() {
  awk '/^Checksums-Sha256:/ { on = 1; next } /^[^ ]/ { on = 0 } on' "$1" | sort
}

[ "$mode" = second ] || build 1
if [ "$mode" = first ]; then
  echo "build 1 of ${arches[*]} in $one"
  exit 0
fi
[ -s "$one/build.done" ] || fail "no build 1 in $one"
# A minute apart at least, so that any time stamp would show.
wait_s=$(($(cat "$one/build.done") + 61 - $(date +%s)))
[ "$wait_s" -le 0 ] || sleep "$wait_s"
build 2

differ=0
for arch in "${arches[@]}"; do
  a="$one/$arch" b="$work/build-number-two/elsewhere/$arch"
  names=$(cd "$a" && ls | grep -v -e '\.buildinfo$' -e '\.changes$' -e '^build\.log$')
  [ -n "$(grep '\.deb$' <<<"$names")" ] || fail "$arch: no packages built"
  [ "$names" = "$(cd "$b" && ls | grep -v -e '\.buildinfo$' -e '\.changes$' -e '^build\.log$')" ] ||
    fail "$arch: the two builds made different files"
  for name in $names; do
    if cmp -s "$a/$name" "$b/$name"; then
      echo "$arch: $(sha256sum <"$a/$name" | cut -d' ' -f1)  $name (both builds)"
    else
      echo "$arch: $name differs between the two builds"
      differ=1
      . "$src/scripts/deps.sh"
      install_missing diffoscope
      diffoscope --text - "$a/$name" "$b/$name" || true
    fi
  done
  info1=$(ls "$a"/*.buildinfo) info2=$(ls "$b"/*.buildinfo)
  if [ "$(recorded "$info1")" = "$(recorded "$info2")" ]; then
    echo "$arch: the two .buildinfo files record the same $(recorded "$info1" | wc -l) checksums:"
    recorded "$info1" | sed 's/^ */  /'
  else
    echo "$arch: the .buildinfo files record different checksums:"
    diff <(recorded "$info1") <(recorded "$info2") || true
    differ=1
  fi
done
[ "$differ" -eq 0 ] || fail "the packages are not reproducible"
echo "reproducible: ${arches[*]}"
