#!/usr/bin/env bash
# Builds this source's Debian packages twice for each architecture named,
# as Debian builds them (scripts/packages.sh), and checks that the two
# builds are the same to the byte, though they differ in folder, time (a
# minute apart at least), umask, locale and time zone: every file of the
# two uploads but the .buildinfo and .changes, and the checksums that the
# two .buildinfo files record. On a difference it shows diffoscope's
# report of the pair.
#
# Usage: reproducible_test.sh SOURCE_DIR ARCH...
set -euo pipefail
src=$(cd "$1" && pwd)
shift
arches=("$@")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# build N: one build of every architecture's packages, in build N's own
# conditions.
build() {
  local n=$1 out
  if [ "$n" = 1 ]; then
    out="$work/one"
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
  date +%s >"$work/build-$n.done"
}

# The checksums a .buildinfo records, one "sum size name" line each.
recorded() {
  awk '/^Checksums-Sha256:/ { on = 1; next } /^[^ ]/ { on = 0 } on' "$1" | sort
}

build 1
# A minute apart at least, so that any time stamp would show.
wait_s=$(($(cat "$work/build-1.done") + 61 - $(date +%s)))
[ "$wait_s" -le 0 ] || sleep "$wait_s"
build 2

differ=0
for arch in "${arches[@]}"; do
  one="$work/one/$arch" two="$work/build-number-two/elsewhere/$arch"
  names=$(cd "$one" && ls | grep -v -e '\.buildinfo$' -e '\.changes$' -e '^build\.log$')
  [ -n "$(grep '\.deb$' <<<"$names")" ] || fail "$arch: no packages built"
  [ "$names" = "$(cd "$two" && ls | grep -v -e '\.buildinfo$' -e '\.changes$' -e '^build\.log$')" ] ||
    fail "$arch: the two builds made different files"
  for name in $names; do
    if cmp -s "$one/$name" "$two/$name"; then
      echo "$arch: $(sha256sum <"$one/$name" | cut -d' ' -f1)  $name (both builds)"
    else
      echo "$arch: $name differs between the two builds"
      differ=1
      . "$src/scripts/deps.sh"
      install_missing diffoscope
      diffoscope --text - "$one/$name" "$two/$name" || true
    fi
  done
  info1=$(ls "$one"/*.buildinfo) info2=$(ls "$two"/*.buildinfo)
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
